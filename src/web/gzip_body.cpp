#include "web/gzip_body.h"

#include <zlib.h>

#include <QList>

namespace gzip_body {

bool Accepted(const QByteArray& acceptEncoding) {
  for (const QByteArray& item : acceptEncoding.split(',')) {
    const QList<QByteArray> parts = item.split(';');
    const QByteArray coding = parts.front().trimmed().toLower();
    if (coding != "gzip" && coding != "*") continue;
    bool refused = false;
    for (qsizetype i = 1; i < parts.size(); ++i) {
      const QByteArray parameter = parts[i].trimmed().toLower();
      if (parameter.startsWith("q=") && parameter.mid(2).toDouble() == 0) refused = true;
    }
    if (!refused) return true;
  }
  return false;
}

std::optional<QByteArray> Compress(const QByteArray& body) {
  z_stream stream{};
  constexpr int kGzipWindow = 15 + 16;  // the gzip wrapper instead of zlib's
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindow, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK)
    return std::nullopt;
  QByteArray out(static_cast<qsizetype>(deflateBound(&stream, static_cast<uLong>(body.size()))),
                 Qt::Uninitialized);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.constData()));
  stream.avail_in = static_cast<uInt>(body.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, Z_FINISH);
  const auto written = static_cast<qsizetype>(stream.total_out);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) return std::nullopt;
  out.truncate(written);
  return out;
}

}  // namespace gzip_body
