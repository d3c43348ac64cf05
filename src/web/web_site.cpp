#include "web/web_site.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include "store/plot_time.h"
#include "web/json_text.h"
#include "web/metrics_page.h"
#include "web/web_state.h"

namespace {

QByteArray ContentTypeOf(const QString& name) {
  if (name.endsWith(QStringLiteral(".js"))) return "text/javascript; charset=utf-8";
  if (name.endsWith(QStringLiteral(".css"))) return "text/css; charset=utf-8";
  if (name.endsWith(QStringLiteral(".html"))) return "text/html; charset=utf-8";
  return "application/octet-stream";
}

HttpReply FileContent(const QString& path, const QString& name) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return HttpReply::Text(404, "Not found.\n");
  HttpReply reply;
  reply.contentType = ContentTypeOf(name);
  reply.body = file.readAll();
  return reply;
}

QJsonObject PortJson(const char* name, const char* protocol, const PortState& port) {
  return {{"name", name}, {"protocol", protocol}, {"port", port.port}, {"serving", port.serving}};
}

}  // namespace

std::string QueryText(const QUrlQuery& query, const QString& key) {
  return query.queryItemValue(key, QUrl::FullyDecoded).toLatin1().toStdString();
}

WebSite::WebSite(std::shared_ptr<WebState> state, const std::string& startDirectory)
    : state_(std::move(state)), tree_(startDirectory), treePages_(tree_), sensorPages_(tree_, state_->RetentionDays()) {}

HttpReply WebSite::Answer(const QString& path, const QUrlQuery& query) {
  static const QStringList pages{"sensors", "pictures", "alarms", "files"};
  if (path == QStringLiteral("/")) return Page(QStringLiteral("overview"));
  if (pages.contains(path.mid(1))) return Page(path.mid(1));
  if (path.startsWith(QStringLiteral("/static/"))) return Static(path.mid(8));
  if (path == QStringLiteral("/api/overview")) return Overview();
  if (path == QStringLiteral("/healthz")) return Health();
  if (path == QStringLiteral("/metrics")) return Metrics();
  if (path == QStringLiteral("/api/units")) return sensorPages_.Units();
  if (path == QStringLiteral("/api/zone"))  // the data unit's time zone, by name
    return HttpReply::Json(
        QJsonDocument(QJsonObject{{"zone", QString::fromUtf8(QTimeZone::systemTimeZoneId())}})
            .toJson(QJsonDocument::Compact));
  if (path == QStringLiteral("/api/sensors")) return SensorFreshness();
  if (path == QStringLiteral("/api/series"))
    return sensorPages_.Series(QueryText(query, "unit"), QueryText(query, "sensor"));
  if (path == QStringLiteral("/api/pictures"))
    return sensorPages_.Pictures(QueryText(query, "unit"));
  if (path == QStringLiteral("/picture"))
    return sensorPages_.Picture(QueryText(query, "unit"), QueryText(query, "camera"));
  if (path == QStringLiteral("/api/alarms")) return treePages_.Alarms();
  if (path == QStringLiteral("/api/files")) return treePages_.List(QueryText(query, "path"));
  if (path == QStringLiteral("/download")) return treePages_.Download(QueryText(query, "path"));
  return HttpReply::Text(404, "Not found.\n");
}

HttpReply WebSite::Page(const QString& name) const {
  return FileContent(QStringLiteral(":/web/") + name + QStringLiteral(".html"),
                     name + QStringLiteral(".html"));
}

// The pages' own files, and the plotting library from the system's copy.
HttpReply WebSite::Static(const QString& name) const {
  static const QStringList own{"web.css",     "common.js", "overview.js", "sensors.js",
                               "pictures.js", "alarms.js", "files.js"};
  static const QStringList library{"dygraph.min.js", "dygraph.min.css"};
  if (own.contains(name)) return FileContent(QStringLiteral(":/web/") + name, name);
  if (library.contains(name)) return FileContent(QStringLiteral(DC_DYGRAPHS_DIR "/") + name, name);
  return HttpReply::Text(404, "Not found.\n");
}

HttpReply WebSite::Overview() const {
  OverviewSnapshot snapshot = state_->Read();
  const OverviewState& state = snapshot.state;
  QJsonObject lastSeen;
  for (const auto& [unit, second] : state.lastSeen)
    lastSeen[json_text::Latin1(unit)] = json_text::Time(QDateTime::fromSecsSinceEpoch(second));
  QJsonObject json{{"units", json_text::Array(state.units)},
                   {"lastSeen", lastSeen},
                   {"count", static_cast<int>(state.units.size())},
                   {"alarmUnit", json_text::Latin1(state.alarmUnit)},
                   {"controlUnit", json_text::Latin1(state.controlUnit)},
                   {"actions", json_text::Array(snapshot.actions)},
                   {"commands", json_text::Array(snapshot.commands)},
                   {"ports", QJsonArray{PortJson("unit link", "TCP", state.unitLink),
                                        PortJson("file transfer", "UDP", state.fileTransfer)}},
                   {"connections", state.connections},
                   {"version", QString::number(snapshot.version)}};
  return HttpReply::Json(QJsonDocument(json).toJson(QJsonDocument::Compact));
}

HttpReply WebSite::Health() const {
  if (!state_->Serving()) return HttpReply::Text(503, "not serving\n");
  std::string failure = TreeWriteFailure(tree_);
  if (!failure.empty())
    return HttpReply::Text(503, QByteArray::fromStdString("not storing: " + failure + "\n"));
  return HttpReply::Text(200, "serving\n");
}

// Per sensor its newest record's time, marked when older than the stale limit.
HttpReply WebSite::SensorFreshness() const {
  const long long now = plot_time::NowLocalSecond();
  QJsonArray sensors;
  for (const NewestRecord& newest : sensorPages_.Newest().records) {
    const long long second = newest.point.localSecond;
    sensors.append(QJsonObject{
        {"unit", json_text::Latin1(newest.unit)},
        {"sensor", json_text::Latin1(newest.sensor)},
        {"time", json_text::Time(QDateTime::fromMSecsSinceEpoch(plot_time::EpochMs(second)))},
        {"stale", now - second > state_->StaleAfterSeconds()}});
  }
  return HttpReply::Json(QJsonDocument(QJsonObject{{"staleAfter", state_->StaleAfterSeconds()},
                                                   {"sensors", sensors}})
                             .toJson(QJsonDocument::Compact));
}

HttpReply WebSite::Metrics() {
  HttpReply reply;
  reply.contentType = "text/plain; version=0.0.4; charset=utf-8";
  reply.body = MetricsText(state_->Read().state, sensorPages_.Newest(), tree_);
  return reply;
}
