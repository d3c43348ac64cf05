#include "web/sensor_pages.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <ctime>

#include "store/camera_folder.h"
#include "store/local_calendar.h"
#include "store/picture_decoder.h"
#include "store/plot_time.h"
#include "web/json_text.h"
#include "web/tree_pages.h"

namespace {

constexpr int kPictureWidth = 320;
constexpr int kPictureHeight = 240;
constexpr std::size_t kCachedPictures = 16;

int CurrentYear() { return local_calendar::ToLocal(std::time(nullptr)).year; }

QString HostName(const std::string& host) {
  return QFile::decodeName(QByteArray::fromStdString(host));
}

std::string EightBit(const QString& name) { return QFile::encodeName(name).toStdString(); }

QStringList Entries(const QString& directory, QDir::Filters filters,
                    const QStringList& patterns = {}) {
  QStringList names = QDir(directory).entryList(patterns, filters, QDir::Name);
  if (names.size() > SensorPages::kMaxUnits) names.resize(SensorPages::kMaxUnits);
  return names;
}

QStringList SensorsOf(const QString& unitDirectory) {
  QStringList sensors;
  for (const QString& file : Entries(unitDirectory, QDir::Files, {QStringLiteral("*.dat")})) {
    if (file.compare(QStringLiteral("alllog.dat"), Qt::CaseInsensitive) != 0)
      sensors.append(file.chopped(4));
  }
  return sensors;
}

QJsonArray Latin1Array(const QStringList& names) {
  QJsonArray array;
  for (const QString& name : names) array.append(json_text::Latin1(EightBit(name)));
  return array;
}

// A name that stays one component of the tree: not empty, ".", "..", and
// without a separator or NUL byte.
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// The newest picture of a camera folder, by the window's rule (CameraFolder).
std::optional<QFileInfo> NewestPicture(const QString& folder) {
  CameraFolder camera(EightBit(folder));
  camera.Refresh();
  if (!camera.Newest()) return std::nullopt;
  return QFileInfo(folder + QLatin1Char('/') +
                   QFile::decodeName(QByteArray::fromStdString(camera.Newest()->name)));
}

// The window's bounded decoder, straight to the shown size; empty when the
// file is no picture or too large to decode.
QByteArray ScaledJpeg(const QString& path) {
  QImage image = PictureDecoder::Decode(path, QSize(kPictureWidth, kPictureHeight)).image;
  if (image.isNull()) return {};
  QByteArray jpeg;
  QBuffer buffer(&jpeg);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "JPEG", 85);
  return jpeg;
}

// [[epoch ms, value], ...], written directly: a plot is polled every second
// and holds up to 2 000 points. Values are finite (record_point reads no other).
QByteArray PointsJson(const std::vector<RecordPoint>& points) {
  QByteArray json = "[";
  plot_time::EpochClock clock;
  for (const RecordPoint& point : points) {
    if (json.size() > 1) json += ',';
    json += '[' + QByteArray::number(clock.Ms(point.localSecond)) + ',' +
            QByteArray::number(point.value, 'g', 17) + ']';
  }
  return json + ']';
}

}  // namespace

SensorPages::SensorPages(const PathResolver& tree, int retentionDays)
    : tree_(tree), format_(ShortDateFormat::FromEnvironment()), retentionDays_(retentionDays) {}

HttpReply SensorPages::Units() const {
  QString log = HostName(tree_.Resolve("log"));
  QJsonArray units;
  for (const QString& unit : Entries(log, QDir::Dirs | QDir::NoDotAndDotDot)) {
    QString directory = log + QLatin1Char('/') + unit;
    units.append(QJsonObject{
        {"name", json_text::Latin1(EightBit(unit))},
        {"sensors", Latin1Array(SensorsOf(directory))},
        {"cameras", Latin1Array(Entries(directory, QDir::Dirs | QDir::NoDotAndDotDot))}});
  }
  return HttpReply::Json(
      QJsonDocument(QJsonObject{{"units", units}}).toJson(QJsonDocument::Compact));
}

HttpReply SensorPages::Pictures(const std::string& unit) const {
  if (!IsPlainName(unit)) return HttpReply::Text(404, "No such unit.\n");
  std::optional<std::string> host = tree_.ResolveConfined("log/" + unit, {"log"});
  if (!host) return HttpReply::Text(404, "No such unit.\n");
  QString directory = HostName(*host);
  QJsonArray cameras;
  for (const QString& camera : Entries(directory, QDir::Dirs | QDir::NoDotAndDotDot)) {
    std::optional<QFileInfo> newest = NewestPicture(directory + QLatin1Char('/') + camera);
    QJsonObject json{{"camera", json_text::Latin1(EightBit(camera))}};
    if (newest) {
      json["file"] = json_text::Latin1(EightBit(newest->fileName()));
      json["time"] = json_text::Time(newest->lastModified());
    }
    cameras.append(json);
  }
  return HttpReply::Json(
      QJsonDocument(QJsonObject{{"cameras", cameras}}).toJson(QJsonDocument::Compact));
}

HttpReply SensorPages::Picture(const std::string& unit, const std::string& camera) {
  if (!IsPlainName(unit) || !IsPlainName(camera)) return HttpReply::Text(404, "No picture.\n");
  std::optional<std::string> host = tree_.ResolveConfined("log/" + unit + "/" + camera, {"log"});
  std::optional<QFileInfo> newest = host ? NewestPicture(HostName(*host)) : std::nullopt;
  if (!newest) return HttpReply::Text(404, "No picture.\n");
  auto cached = std::find_if(pictures_.begin(), pictures_.end(), [&](const ScaledPicture& p) {
    return p.path == newest->filePath() && p.time == newest->lastModified();
  });
  if (cached == pictures_.end()) {
    pictures_.push_front(
        {newest->filePath(), newest->lastModified(), ScaledJpeg(newest->filePath())});
    if (pictures_.size() > kCachedPictures) pictures_.pop_back();
  } else {
    pictures_.splice(pictures_.begin(), pictures_, cached);
  }
  if (pictures_.front().jpeg.isEmpty()) return HttpReply::Text(415, "Not a readable picture.\n");
  HttpReply reply;
  reply.contentType = "image/jpeg";
  reply.body = pictures_.front().jpeg;
  return reply;
}

SensorPages::FollowedSeries& SensorPages::Followed(const std::string& hostPath) {
  auto found = std::find_if(series_.begin(), series_.end(),
                            [&](const FollowedSeries& f) { return f.hostPath == hostPath; });
  if (found != series_.end()) {
    series_.splice(series_.begin(), series_, found);
    return series_.front();
  }
  series_.push_front(
      {hostPath,
       std::make_unique<SensorSeries>(hostPath, format_, VisibleRange(retentionDays_)),
       {},
       {}});
  if (series_.size() > kFollowedSeries) series_.pop_back();
  return series_.front();
}

// The points as [epoch ms, value] pairs, with what the plot leaves out.
HttpReply SensorPages::Series(const std::string& unit, const std::string& sensor) {
  std::optional<std::string> host =
      IsPlainName(unit) && IsPlainName(sensor)
          ? tree_.ResolveConfined("log/" + unit + "/" + sensor + ".dat", {"log"})
          : std::nullopt;
  if (!host || !QFileInfo(HostName(*host)).isFile())
    return HttpReply::Text(404, "No such sensor.\n");
  FollowedSeries& followed = Followed(*host);
  long long now = plot_time::NowLocalSecond();
  bool more = false;
  for (int slice = 0; slice < kSlicesPerRequest; ++slice)
    if (!(more = followed.series->ReadSlice(now, CurrentYear()))) break;
  if (followed.series->Dirty()) {
    followed.snapshot = followed.series->TakeSnapshot();
    followed.pointsJson = PointsJson(followed.snapshot.points);
  }
  const SensorSeries::Snapshot& snapshot = followed.snapshot;
  QByteArray json = "{\"points\":" + followed.pointsJson;
  json += ",\"plotted\":" + QByteArray::number(snapshot.plotted);
  json += ",\"notPlotted\":" + QByteArray::number(snapshot.notPlotted);
  json += ",\"outside\":" + QByteArray::number(snapshot.outside);
  if (snapshot.lastOutside)
    json += ",\"lastOutside\":" +
            QByteArray::number(plot_time::EpochMs(snapshot.lastOutside->localSecond));
  json += more ? ",\"more\":true}" : ",\"more\":false}";
  return HttpReply::Json(json);
}

std::vector<NewestRecord> SensorPages::NewestRecords() const {
  std::vector<NewestRecord> newest;
  std::size_t looked = 0;
  int year = CurrentYear();
  QString log = HostName(tree_.Resolve("log"));
  for (const QString& unit : Entries(log, QDir::Dirs | QDir::NoDotAndDotDot)) {
    QString directory = log + QLatin1Char('/') + unit;
    for (const QString& sensor : SensorsOf(directory)) {
      if (++looked > kMaxNewestRecords) return newest;
      std::string path = EightBit(directory + QLatin1Char('/') + sensor + QStringLiteral(".dat"));
      std::vector<std::string> lines = LastLines(path, kNewestTailBytes, 64);
      for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        if (std::optional<RecordPoint> point = record_point::Read(*line, format_, year)) {
          newest.push_back({EightBit(unit), EightBit(sensor), *point});
          break;
        }
      }
    }
  }
  return newest;
}
