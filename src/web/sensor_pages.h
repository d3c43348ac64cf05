// The Sensors and Pictures pages' data, and the newest record of each sensor
// for the metrics: the units of the log directory with their sensors and
// camera folders, a sensor's plot points, each camera's newest picture
// scaled on the server. Everything is opened and listed by the tree's one
// confined open; names are the bytes on disk, as Latin-1 characters.
// Bounded: at most kMaxSensors sensors (units and sensors in the order of
// their bytes) are listed and exported; those beyond are counted. Read only.
// Web server's thread only; raises nothing (an unreadable file answers an error).
#pragma once

#include <QByteArray>
#include <ctime>
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

struct NewestRecords {
  std::vector<NewestRecord> records;
  std::size_t beyondLimit = 0;  // sensors past the limit, not looked at
};

class SensorPages {
 public:
  // Sensors listed and exported at most (see the README for the figures).
  static constexpr std::size_t kMaxSensors = 100000;
  static constexpr qint64 kNewestTailBytes = 4096;
  // Series followed at once (each bounded by its decimation), and the slices
  // one request may read before it answers with what it has ("more": true).
  static constexpr std::size_t kFollowedSeries = 32;
  static constexpr int kSlicesPerRequest = 16;
  // retentionDays: the days shown, as the sweep keeps them.
  SensorPages(const PathResolver& tree, int retentionDays, std::size_t maxSensors = kMaxSensors);

  HttpReply Units() const;
  HttpReply Series(const std::string& unit, const std::string& sensor);
  HttpReply Pictures(const std::string& unit) const;
  HttpReply Picture(const std::string& unit, const std::string& camera);
  // The newest record of each sensor file, by the plots' rule, among its
  // last lines (of the first maxSensors files).
  NewestRecords Newest() const;

 private:
  struct ScaledPicture {
    std::string path;  // in the tree
    std::timespec modified;
    QByteArray jpeg;
  };

  struct FollowedSeries {
    std::string treePath;
    std::unique_ptr<SensorSeries> series;
    SensorSeries::Snapshot snapshot;
    QByteArray pointsJson;  // of snapshot
  };
  FollowedSeries& Followed(const std::string& treePath);

  const PathResolver& tree_;
  std::list<FollowedSeries> series_;  // newest use first
  ShortDateFormat format_;
  int retentionDays_;
  std::size_t maxSensors_;
  std::list<ScaledPicture> pictures_;  // newest use first, at most a few
};
