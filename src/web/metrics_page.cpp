#include "web/metrics_page.h"

#include <sys/statvfs.h>

#include <cmath>
#include <ctime>

#include "forward/forward_counters.h"
#include "store/store_counters.h"
#include "tftp/session_budget.h"
#include "tftp/transfer_counters.h"
#include "web/process_metrics.h"

namespace {

// Label values: backslash, double quote and line feed escaped; bytes as Latin-1 in UTF-8.
QByteArray Label(const std::string& text) {
  QByteArray utf8 = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())).toUtf8();
  QByteArray escaped;
  for (char c : utf8) {
    if (c == '\\')
      escaped += "\\\\";
    else if (c == '"')
      escaped += "\\\"";
    else if (c == '\n')
      escaped += "\\n";
    else
      escaped += c;
  }
  return escaped;
}

QByteArray Number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  return QByteArray::number(value, 'g', 17);
}

class Exposition {
 public:
  void Family(const char* name, const char* type, const char* help) {
    text_ += QByteArray("# HELP ") + name + " " + help + "\n";
    text_ += QByteArray("# TYPE ") + name + " " + type + "\n";
  }
  void Sample(const char* name, const QByteArray& labels, double value) {
    text_ += name;
    if (!labels.isEmpty()) text_ += "{" + labels + "}";
    text_ += " " + Number(value) + "\n";
  }
  void One(const char* name, const char* type, const char* help, double value) {
    Family(name, type, help);
    Sample(name, {}, value);
  }
  const QByteArray& Text() const { return text_; }

 private:
  QByteArray text_;
};

// Seconds since the epoch of a local wall-clock second (as records are read).
double EpochOfLocal(long long localSecond) {
  std::time_t wall = static_cast<std::time_t>(localSecond);
  std::tm fields{};
  gmtime_r(&wall, &fields);
  fields.tm_isdst = -1;
  return static_cast<double>(std::mktime(&fields));
}

double FreeBytes(const PathResolver& tree) {
  struct statvfs space {};
  if (::statvfs(tree.StartDirectory().c_str(), &space) != 0) return NAN;
  return static_cast<double>(space.f_bavail) * static_cast<double>(space.f_frsize);
}

void LostMetrics(Exposition& out, const char* name, const char* help,
                 const std::map<std::string, std::uint64_t, std::less<>>& byReason) {
  out.Family(name, "counter", help);
  for (const auto& [reason, count] : byReason)
    out.Sample(name, "reason=\"" + Label(reason) + "\"", static_cast<double>(count));
}

void StoreMetrics(Exposition& out) {
  StoreCounters::Values store = StoreCounters::Process().Read();
  out.Family("datacontroller_records_stored_total", "counter",
             "Records stored (DU_SAVELOG) since the program started, per unit.");
  for (const auto& [unit, count] : store.recordsByUnit)
    out.Sample("datacontroller_records_stored_total", "unit=\"" + Label(unit) + "\"",
               static_cast<double>(count));
  out.One("datacontroller_records_stored_other_units_total", "counter",
          "Records of units beyond the first 1000 names counted.",
          static_cast<double>(store.recordsOfOtherUnits));
  out.One("datacontroller_alarms_total", "counter", "Alarm lines stored since the program started.",
          static_cast<double>(store.alarms));
  LostMetrics(out, "datacontroller_records_lost_total",
              "Records that could not be written, by reason.", store.recordsLostByReason);
  LostMetrics(out, "datacontroller_alarms_lost_total",
              "Alarm lines that could not be written, by reason.", store.alarmsLostByReason);
  if (!store.swept) return;
  out.One("datacontroller_sweep_last_duration_seconds", "gauge",
          "How long the last retention sweep took.", store.sweepSeconds);
  out.One("datacontroller_sweep_last_lines_removed", "gauge",
          "Log lines the last retention sweep removed.",
          static_cast<double>(store.sweepLinesRemoved));
}

void TransferMetrics(Exposition& out) {
  TransferCounters::Values transfers = TransferCounters::Process().Read();
  const char* name = "datacontroller_tftp_transfers_total";
  out.Family(name, "counter", "File transfers ended since the program started.");
  out.Sample(name, "direction=\"read\",result=\"completed\"", transfers.readsCompleted);
  out.Sample(name, "direction=\"read\",result=\"failed\"", transfers.readsFailed);
  out.Sample(name, "direction=\"write\",result=\"completed\"", transfers.writesCompleted);
  out.Sample(name, "direction=\"write\",result=\"failed\"", transfers.writesFailed);
  name = "datacontroller_tftp_bytes_total";
  out.Family(name, "counter", "Bytes of files moved by ended transfers.");
  out.Sample(name, "direction=\"read\"", transfers.bytesRead);
  out.Sample(name, "direction=\"write\"", transfers.bytesWritten);
  out.One("datacontroller_tftp_sessions_open", "gauge", "File transfers under way.",
          SessionBudget::Process().LiveCount());
}

void LinkMetrics(Exposition& out, const OverviewState& state) {
  out.One("datacontroller_registered_units", "gauge", "Names registered on the unit link.",
          static_cast<double>(state.units.size()));
  out.One("datacontroller_unit_link_connections", "gauge", "Open connections on the unit link.",
          state.connections);
  const char* name = "datacontroller_port_serving";
  out.Family(name, "gauge", "1 while the port serves.");
  out.Sample(name, "port=\"unit_link\"", state.unitLink.serving ? 1 : 0);
  out.Sample(name, "port=\"file_transfer\"", state.fileTransfer.serving ? 1 : 0);
  const char* refused = "datacontroller_refused_senders_total";
  out.Family(refused, "counter", "Connections and datagrams refused by the allow list.");
  for (const auto& [address, count] : state.refusedSenders)
    out.Sample(refused, "address=\"" + Label(address) + "\"", static_cast<double>(count));
  const char* seen = "datacontroller_unit_last_seen_seconds";
  out.Family(seen, "gauge", "When each unit last sent a text or file report (Unix time).");
  for (const auto& [unit, second] : state.lastSeen)
    out.Sample(seen, "unit=\"" + Label(unit) + "\"", static_cast<double>(second));
}

void SensorMetrics(Exposition& out, const NewestRecords& newest) {
  const std::vector<NewestRecord>& sensors = newest.records;
  out.One("datacontroller_sensors_beyond_limit", "gauge",
          "Sensor files past the limit of sensors exported, not looked at.",
          static_cast<double>(newest.beyondLimit));
  out.Family("datacontroller_sensor_value", "gauge", "The newest record's value of each sensor.");
  for (const NewestRecord& record : sensors)
    out.Sample("datacontroller_sensor_value",
               "unit=\"" + Label(record.unit) + "\",sensor=\"" + Label(record.sensor) + "\"",
               record.point.value);
  out.Family("datacontroller_sensor_timestamp_seconds", "gauge",
             "The newest record's time of each sensor (seconds since 1970, UTC).");
  for (const NewestRecord& record : sensors)
    out.Sample("datacontroller_sensor_timestamp_seconds",
               "unit=\"" + Label(record.unit) + "\",sensor=\"" + Label(record.sensor) + "\"",
               EpochOfLocal(record.point.localSecond));
}

// Only while records are forwarded to a broker (--mqtt).
void ForwardMetrics(Exposition& out) {
  ForwardCounters& forward = ForwardCounters::Process();
  if (!forward.enabled) return;
  out.One("datacontroller_broker_connected", "gauge",
          "1 while the MQTT broker has accepted the forwarder's connection.",
          forward.connected ? 1 : 0);
  out.One("datacontroller_broker_records_forwarded_total", "counter",
          "Records the broker acknowledged.", static_cast<double>(forward.recordsForwarded));
  out.One("datacontroller_broker_alarms_forwarded_total", "counter",
          "Alarm lines the broker acknowledged.", static_cast<double>(forward.alarmsForwarded));
  out.One("datacontroller_broker_backlog_records", "gauge",
          "Stored lines not yet acknowledged by the broker (counted as far as read).",
          static_cast<double>(forward.backlogRecords));
  out.One("datacontroller_broker_backlog_bytes", "gauge",
          "Bytes of stored lines not yet acknowledged by the broker.",
          static_cast<double>(forward.backlogBytes));
  out.One("datacontroller_broker_backlog_age_seconds", "gauge",
          "How long the oldest waiting lines have waited.", forward.backlogAgeSeconds);
  out.One("datacontroller_broker_expired_records_total", "counter",
          "Lines the retention sweep removed before they were forwarded.",
          static_cast<double>(forward.expiredRecords));
}

}  // namespace

std::string TreeWriteFailure(const PathResolver& tree) {
  std::string failure = StoreCounters::Process().WriteFailure();
  if (!failure.empty()) return failure;
  struct statvfs space {};
  if (::statvfs(tree.StartDirectory().c_str(), &space) == 0 && (space.f_flag & ST_RDONLY) != 0)
    return tree.StartDirectory() + ": Read-only file system";
  return {};
}

QByteArray MetricsText(const OverviewState& state, const NewestRecords& sensors,
                       const PathResolver& tree) {
  Exposition out;
  StoreMetrics(out);
  LinkMetrics(out, state);
  TransferMetrics(out);
  out.One("datacontroller_tree_free_bytes", "gauge",
          "Free space of the file system that holds the data tree.", FreeBytes(tree));
  ForwardMetrics(out);
  out.One("datacontroller_tree_writable", "gauge",
          "1 while records can be written (the last writes lost nothing, not mounted read-only).",
          TreeWriteFailure(tree).empty() ? 1 : 0);
  SensorMetrics(out, sensors);
  return out.Text() + process_metrics::Text();
}
