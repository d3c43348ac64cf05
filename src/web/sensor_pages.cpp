#include "web/sensor_pages.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

#include <QBuffer>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
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

const std::initializer_list<std::string_view> kLog{"log"};

bool EndsWithDat(const std::string& name) {
  return name.size() > 4 && ::strcasecmp(name.c_str() + name.size() - 4, ".dat") == 0;
}

// The names of a confined directory of the log tree, sorted by their bytes:
// its directories, or (directories false) its files.
std::vector<std::string> Names(const PathResolver& tree, const std::string& treePath,
                               bool directories) {
  std::vector<std::string> names;
  for (const PathResolver::Entry& entry :
       tree.ListConfined(treePath, kLog).value_or(std::vector<PathResolver::Entry>{})) {
    if (entry.directory == directories && entry.name.front() != '.') names.push_back(entry.name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> SensorsOf(const PathResolver& tree, const std::string& unit) {
  std::vector<std::string> sensors;
  for (const std::string& file : Names(tree, "log/" + unit, false)) {
    if (EndsWithDat(file) && ::strcasecmp(file.c_str(), "alllog.dat") != 0)
      sensors.push_back(file.substr(0, file.size() - 4));
  }
  return sensors;
}

// A name that stays one component of the tree: not empty, ".", "..", and
// without a separator or NUL byte.
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// The newest picture of a camera folder, by the window's rule (CameraFolder),
// looked at through the tree's confined open.
std::optional<CameraFolder::Picture> NewestPicture(const PathResolver& tree,
                                                   const std::string& folder) {
  CameraFolder camera(folder, [&tree, folder](std::string_view name, int flags) {
    std::string path = name.empty() ? folder : folder + "/" + std::string(name);
    return tree.OpenConfined(path, kLog, flags).fd.Release();
  });
  camera.Refresh();
  return camera.Newest();
}

QString TimeText(const std::timespec& time) {
  return json_text::Time(QDateTime::fromSecsSinceEpoch(time.tv_sec));
}

// The window's bounded decoder, straight to the shown size; empty when the
// file is no picture or too large to decode.
QByteArray ScaledJpeg(int fd) {
  QImage image = PictureDecoder::Decode(fd, QSize(kPictureWidth, kPictureHeight)).image;
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

SensorPages::SensorPages(const PathResolver& tree, int retentionDays, std::size_t maxSensors)
    : tree_(tree),
      format_(ShortDateFormat::FromEnvironment()),
      retentionDays_(retentionDays),
      maxSensors_(maxSensors) {}

HttpReply SensorPages::Units() const {
  QJsonArray units;
  std::size_t listed = 0, beyond = 0;
  for (const std::string& unit : Names(tree_, "log", true)) {
    QJsonArray sensors;
    for (const std::string& sensor : SensorsOf(tree_, unit)) {
      if (listed == maxSensors_ && ++beyond) continue;
      ++listed;
      sensors.append(json_text::Latin1(sensor));
    }
    units.append(QJsonObject{{"name", json_text::Latin1(unit)},
                             {"sensors", sensors},
                             {"cameras", json_text::Array(Names(tree_, "log/" + unit, true))}});
  }
  QJsonObject json{{"units", units},
                   {"sensorsBeyondLimit", static_cast<double>(beyond)},
                   {"sensorLimit", static_cast<double>(maxSensors_)}};
  return HttpReply::Json(QJsonDocument(json).toJson(QJsonDocument::Compact));
}

HttpReply SensorPages::Pictures(const std::string& unit) const {
  if (!IsPlainName(unit) || !tree_.ListConfined("log/" + unit, kLog))
    return HttpReply::Text(404, "No such unit.\n");
  QJsonArray cameras;
  for (const std::string& camera : Names(tree_, "log/" + unit, true)) {
    std::optional<CameraFolder::Picture> newest =
        NewestPicture(tree_, "log/" + unit + "/" + camera);
    QJsonObject json{{"camera", json_text::Latin1(camera)}};
    if (newest) {
      json["file"] = json_text::Latin1(newest->name);
      json["time"] = TimeText(newest->modified);
    }
    cameras.append(json);
  }
  return HttpReply::Json(
      QJsonDocument(QJsonObject{{"cameras", cameras}}).toJson(QJsonDocument::Compact));
}

HttpReply SensorPages::Picture(const std::string& unit, const std::string& camera) {
  if (!IsPlainName(unit) || !IsPlainName(camera)) return HttpReply::Text(404, "No picture.\n");
  std::string folder = "log/" + unit + "/" + camera;
  std::optional<CameraFolder::Picture> newest = NewestPicture(tree_, folder);
  if (!newest) return HttpReply::Text(404, "No picture.\n");
  std::string path = folder + "/" + newest->name;
  auto cached = std::find_if(pictures_.begin(), pictures_.end(), [&](const ScaledPicture& p) {
    return p.path == path && p.modified.tv_sec == newest->modified.tv_sec &&
           p.modified.tv_nsec == newest->modified.tv_nsec;
  });
  if (cached == pictures_.end()) {
    PathResolver::Opened opened = tree_.OpenConfined(path, kLog, O_RDONLY);
    if (!opened.fd.Valid()) return HttpReply::Text(404, "No picture.\n");
    pictures_.push_front({path, newest->modified, ScaledJpeg(opened.fd.Get())});
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

SensorPages::FollowedSeries& SensorPages::Followed(const std::string& treePath) {
  auto found = std::find_if(series_.begin(), series_.end(),
                            [&](const FollowedSeries& f) { return f.treePath == treePath; });
  if (found != series_.end()) {
    series_.splice(series_.begin(), series_, found);
    return series_.front();
  }
  // Opened anew through the confined open at every read, as the file is followed.
  auto open = [tree = tree_, treePath] {
    return tree.OpenConfined(treePath, kLog, O_RDONLY).fd.Release();
  };
  series_.push_front(
      {treePath,
       std::make_unique<SensorSeries>(treePath, open, format_, VisibleRange(retentionDays_)),
       {},
       {}});
  if (series_.size() > kFollowedSeries) series_.pop_back();
  return series_.front();
}

// The points as [epoch ms, value] pairs, with what the plot leaves out.
HttpReply SensorPages::Series(const std::string& unit, const std::string& sensor) {
  std::string treePath = "log/" + unit + "/" + sensor + ".dat";
  struct stat info;
  PathResolver::Opened opened = IsPlainName(unit) && IsPlainName(sensor)
                                    ? tree_.OpenConfined(treePath, kLog, O_RDONLY)
                                    : PathResolver::Opened{};
  if (!opened.fd.Valid() || ::fstat(opened.fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
    return HttpReply::Text(404, "No such sensor.\n");
  FollowedSeries& followed = Followed(treePath);
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

// Each sensor's newest record by the views' rule (VisibleRange): a record
// dated more than a day ahead of now never counts as the newest.
NewestRecords SensorPages::Newest() const {
  NewestRecords newest;
  std::size_t looked = 0;
  int year = CurrentYear();
  long long now = plot_time::NowLocalSecond();
  for (const std::string& unit : Names(tree_, "log", true)) {
    for (const std::string& sensor : SensorsOf(tree_, unit)) {
      if (looked == maxSensors_ && ++newest.beyondLimit) continue;
      ++looked;
      PathResolver::Opened opened =
          tree_.OpenConfined("log/" + unit + "/" + sensor + ".dat", kLog, O_RDONLY);
      if (!opened.fd.Valid()) continue;
      VisibleRange range(retentionDays_);
      std::optional<RecordPoint> found;
      for (const std::string& line : LastLines(opened.fd.Get(), kNewestTailBytes, 64)) {
        std::optional<RecordPoint> point = record_point::Read(line, format_, year);
        if (!point) continue;
        range.Take(point->localSecond, now);
        if (range.Known() && range.To() == point->localSecond) found = point;
      }
      if (found) newest.records.push_back({unit, sensor, *found});
    }
  }
  return newest;
}
