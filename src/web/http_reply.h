// One answer of the web view: status, content type and body, or a file
// streamed from disk. A value built on the web server's thread.
#pragma once

#include <QByteArray>
#include <QFile>
#include <memory>
#include <utility>
#include <vector>

#include "store/busy_files.h"

struct HttpReply {
  int status = 200;
  QByteArray contentType = "text/plain; charset=utf-8";
  QByteArray body;
  std::vector<std::pair<QByteArray, QByteArray>> headers;  // beside the common ones
  std::unique_ptr<QFile> file;  // when set, sent instead of body, in slices
  BusyFiles::Mark readMark;     // held while the file is sent

  static HttpReply Text(int status, QByteArray text) {
    HttpReply reply;
    reply.status = status;
    reply.body = std::move(text);
    return reply;
  }
  static HttpReply Json(QByteArray json) {
    HttpReply reply;
    reply.contentType = "application/json";
    reply.body = std::move(json);
    return reply;
  }
};
