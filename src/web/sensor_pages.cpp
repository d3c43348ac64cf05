#include "web/sensor_pages.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <ctime>

#include "store/local_calendar.h"
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

// The newest ".jpg" by last-write time, as the retention sweep keeps it.
std::optional<QFileInfo> NewestPicture(const QString& folder) {
  QFileInfoList pictures =
      QDir(folder).entryInfoList({QStringLiteral("*.jpg")}, QDir::Files, QDir::Time);
  if (pictures.isEmpty()) return std::nullopt;
  return pictures.front();
}

// Decodes straight to the shown size (the JPEG decoder scales while it
// reads), within Qt's allocation limit; empty when the file is no picture.
QByteArray ScaledJpeg(const QString& path) {
  QImageReader reader(path);
  QSize size = reader.size();
  if (size.isValid())
    reader.setScaledSize(size.scaled(kPictureWidth, kPictureHeight, Qt::KeepAspectRatio));
  QImage image = reader.read();
  if (image.isNull()) return {};
  QByteArray jpeg;
  QBuffer buffer(&jpeg);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "JPEG", 85);
  return jpeg;
}

}  // namespace

SensorPages::SensorPages(const PathResolver& tree)
    : tree_(tree), format_(ShortDateFormat::FromEnvironment()) {}

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
      json["time"] = newest->lastModified().toString(Qt::ISODate);
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

HttpReply SensorPages::Series(const std::string&, const std::string&) {
  return HttpReply::Text(503, "Not yet.\n");
}

std::vector<NewestRecord> SensorPages::NewestRecords() const {
  std::vector<NewestRecord> newest;
  int year = CurrentYear();
  QString log = HostName(tree_.Resolve("log"));
  for (const QString& unit : Entries(log, QDir::Dirs | QDir::NoDotAndDotDot)) {
    QString directory = log + QLatin1Char('/') + unit;
    for (const QString& sensor : SensorsOf(directory)) {
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
