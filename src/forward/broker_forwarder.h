// Forwards every record and alarm line written to the tree to an MQTT
// broker, at least once, from a thread of its own: it follows each unit's
// combined log and each alarm file, publishes with QoS 1 at most kWindow
// messages (and kWindowBytes) ahead of the broker's acknowledgements, and
// keeps each file's acknowledged position in the ForwardLedger. After a
// lost connection it connects again (every 0.5 s rising to 5 s) and goes on
// from the acknowledged positions, so only what was in flight is sent twice.
// Tells the journal once when the broker goes away and once when it is back.
// Construct and destroy on one thread; SetRegisteredUnits from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "forward/broker_settings.h"
#include "forward/forwarded_file.h"
#include "store/short_date_format.h"

class BrokerSession;
class ForwardLedger;

class BrokerForwarder {
 public:
  static constexpr std::size_t kWindow = 1000;
  static constexpr std::size_t kWindowBytes = 8 << 20;

  struct Setup {
    BrokerSettings broker;
    std::string hostLogDirectory;    // the units' directories with their combined logs
    std::string hostAlarmDirectory;  // the alarm files
    std::string allLogName;          // "alllog.dat", matched ignoring letter case
    std::string dataExt;             // ".dat"
    ShortDateFormat format;
    std::function<void(const std::string&)> notice;  // a line for the journal; any thread
  };

  // Starts the thread; ledger must outlive this object.
  BrokerForwarder(Setup setup, ForwardLedger& ledger);
  // Publishes the retained "offline" (waiting at most 1 s) and stops the thread.
  ~BrokerForwarder();
  BrokerForwarder(const BrokerForwarder&) = delete;
  BrokerForwarder& operator=(const BrokerForwarder&) = delete;

  // The units registered now; each one's retained PREFIX/<unit>/status follows.
  void SetRegisteredUnits(const std::vector<std::string>& names);

 private:
  struct InFlight {
    ForwardedFile* file;
    int generation;
    long long end;
    std::size_t bytes;
  };
  void Run();
  void Turn();
  void Connect();
  void LoseConnection();
  void Discover();
  void AddFile(const std::string& hostPath, ForwardedFile::Kind kind, const std::string& name);
  void FollowFiles();
  void FillWindow();
  void FillFromFiles();
  bool PublishLine(ForwardedFile& file, const ForwardedFile::Line& line);
  void TakeAcknowledged();
  void PublishUnitStates();
  void UpdateBacklog();
  void Notice(const std::string& line) const;

  Setup setup_;
  ForwardLedger& ledger_;
  std::string statusTopic_;
  std::unique_ptr<BrokerSession> session_;
  bool everConnected_ = false;
  bool toldAway_ = false;
  std::chrono::milliseconds retryDelay_{500};
  std::chrono::steady_clock::time_point nextAttempt_;
  std::chrono::steady_clock::time_point nextDiscovery_;
  std::chrono::steady_clock::time_point nextFollow_;
  std::map<std::string, std::unique_ptr<ForwardedFile>> files_;  // by host path
  std::unordered_map<int, InFlight> inFlight_;                   // by message id
  std::size_t inFlightBytes_ = 0;
  bool sentLastTurn_ = false;
  long long expiredTold_ = 0;
  std::set<std::string> unreadable_;  // files that could not be opened, told once
  int currentYear_ = 0;

  std::mutex unitsMutex_;
  std::set<std::string> registered_;       // guarded by unitsMutex_
  std::set<std::string> everSeen_;         // guarded by unitsMutex_
  bool unitsChanged_ = false;              // guarded by unitsMutex_
  std::map<std::string, bool> published_;  // this session's retained states; forwarder thread

  std::atomic<bool> stop_{false};
  std::thread thread_;
};
