// What the web view shows of the main thread's state: the registered units,
// the alarm and control unit, the ports, and its own bounded copies of the
// two panes' newest lines. The main thread publishes into it; the web
// server's thread reads copies. Thread safe; nobody else's object is touched.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct PortState {
  int port = 0;
  bool serving = false;
};

struct OverviewState {
  std::vector<std::string> units;  // in slot order
  std::string alarmUnit;
  std::string controlUnit;
  PortState unitLink;
  PortState fileTransfer;
  int connections = 0;  // open connections on the unit link
  // Connections and datagrams refused by the allow list, by sender address.
  std::map<std::string, std::uint64_t> refusedSenders;
  // Per unit name, when it last sent a text or a file report (seconds since the epoch).
  std::map<std::string, std::int64_t> lastSeen;
};

struct OverviewSnapshot {
  OverviewState state;
  std::vector<std::string> actions;   // oldest first
  std::vector<std::string> commands;  // oldest first
  std::uint64_t version = 0;          // grows with every change
};

class WebState {
 public:
  static constexpr std::size_t kActionLines = 40;
  static constexpr std::size_t kCommandLines = 200;
  static constexpr std::size_t kMaxLineBytes = 4096;  // longer lines are cut

  // retentionDays: the days the sweep keeps, which the plots show.
  // staleAfterSeconds: a sensor without a record this long is marked silent.
  explicit WebState(int retentionDays = 7, long long staleAfterSeconds = 3600)
      : retentionDays_(retentionDays), staleAfterSeconds_(staleAfterSeconds) {}
  int RetentionDays() const { return retentionDays_; }
  long long StaleAfterSeconds() const { return staleAfterSeconds_; }

  void Publish(OverviewState state);
  void AddAction(const std::string& line);
  void AddCommand(const std::string& line);
  void ClearPanes();

  OverviewSnapshot Read() const;
  // Both ports serve: what the health check answers 200 for.
  bool Serving() const;

 private:
  static void Keep(std::deque<std::string>& lines, std::size_t limit, const std::string& line);

  mutable std::mutex mutex_;
  OverviewState state_;               // guarded by mutex_
  std::deque<std::string> actions_;   // guarded by mutex_
  std::deque<std::string> commands_;  // guarded by mutex_
  std::uint64_t version_ = 0;         // guarded by mutex_
  const int retentionDays_;
  const long long staleAfterSeconds_;
};
