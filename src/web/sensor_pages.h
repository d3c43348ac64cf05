// The Sensors and Pictures pages' data, and the newest record of each sensor
// for the metrics: the units of the log directory with their sensors and
// camera folders, a sensor's plot points, each camera's newest picture
// scaled on the server. Bounded: at most kMaxUnits units and kMaxPerUnit
// sensors or cameras per unit are listed and looked at. Read only. Web
// server's thread only; raises nothing (an unreadable file answers an error).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "store/path_resolver.h"
#include "store/record_point.h"
#include "store/sensor_series.h"
#include "store/short_date_format.h"
#include "web/http_reply.h"

struct NewestRecord {
  std::string unit;
  std::string sensor;
  RecordPoint point;
};

class SensorPages {
 public:
  static constexpr int kMaxUnits = 1000;
  static constexpr int kMaxPerUnit = 1000;
  static constexpr qint64 kNewestTailBytes = 4096;
  // Sensor files one scrape of the metrics looks at, at most.
  static constexpr std::size_t kMaxNewestRecords = 4096;
  // Series followed at once (each bounded by its decimation), and the slices
  // one request may read before it answers with what it has ("more": true).
  static constexpr std::size_t kFollowedSeries = 32;
  static constexpr int kSlicesPerRequest = 16;
  // retentionDays: the days shown, as the sweep keeps them.
  SensorPages(const PathResolver& tree, int retentionDays);

  HttpReply Units() const;
  HttpReply Series(const std::string& unit, const std::string& sensor);
  HttpReply Pictures(const std::string& unit) const;
  HttpReply Picture(const std::string& unit, const std::string& camera);
  // The last line of each sensor file that reads as a point (of the first
  // kMaxNewestRecords files, units and sensors in name order).
  std::vector<NewestRecord> NewestRecords() const;

 private:
  struct ScaledPicture {
    QString path;
    QDateTime time;
    QByteArray jpeg;
  };

  struct FollowedSeries {
    std::string hostPath;
    std::unique_ptr<SensorSeries> series;
    SensorSeries::Snapshot snapshot;
    QByteArray pointsJson;  // of snapshot
  };
  FollowedSeries& Followed(const std::string& hostPath);

  const PathResolver& tree_;
  std::list<FollowedSeries> series_;  // newest use first
  ShortDateFormat format_;
  int retentionDays_;
  std::list<ScaledPicture> pictures_;  // newest use first, at most a few
};
