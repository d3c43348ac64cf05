// The pages and data of the web view, by path: the HTML pages and their
// scripts and styles, the JSON the pages fetch, /metrics and /healthz.
// Everything a unit sent reaches the browser only as JSON text (the pages
// put it in with textContent). Reads the data tree, never changes it. Used
// on the web server's thread only; raises nothing (failures are answers).
#pragma once

#include <QString>
#include <QUrlQuery>
#include <memory>
#include <string>

#include "store/path_resolver.h"
#include "web/http_reply.h"
#include "web/sensor_pages.h"
#include "web/tree_pages.h"

class WebState;

class WebSite {
 public:
  WebSite(std::shared_ptr<WebState> state, const std::string& startDirectory);

  HttpReply Answer(const QString& path, const QUrlQuery& query);

 private:
  HttpReply Page(const QString& name) const;
  HttpReply Static(const QString& name) const;
  HttpReply Overview() const;
  HttpReply SensorFreshness() const;
  HttpReply Health() const;
  HttpReply Metrics();

  std::shared_ptr<WebState> state_;
  PathResolver tree_;
  TreePages treePages_;
  SensorPages sensorPages_;
};

// A query value as the 8-bit text the units use (the pages send UTF-8).
std::string QueryText(const QUrlQuery& query, const QString& key);
