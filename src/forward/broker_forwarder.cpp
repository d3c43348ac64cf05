#include "forward/broker_forwarder.h"

#include <dirent.h>
#include <strings.h>

#include "forward/broker_session.h"
#include "forward/forward_counters.h"
#include "forward/forward_message.h"
#include "forward/topic_text.h"
#include "store/forward_ledger.h"
#include "store/local_calendar.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kLongestRetry{5000};
constexpr milliseconds kDiscoveryInterval{1000};
constexpr milliseconds kFollowInterval{100};
constexpr milliseconds kCommitInterval{200};
constexpr milliseconds kIdleStep{20};
constexpr std::size_t kReadPerFile = 256 << 10;
constexpr std::size_t kCountPerFile = 256 << 10;
constexpr int kCloseWaitMs = 1000;

// The names in directory, with whether each is a directory.
std::vector<std::pair<std::string, bool>> List(const std::string& directory) {
  std::vector<std::pair<std::string, bool>> names;
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return names;
  while (dirent* item = ::readdir(listing)) {
    std::string name = item->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name, item->d_type == DT_DIR);
  }
  ::closedir(listing);
  return names;
}

bool EndsWithIgnoringCase(const std::string& name, const std::string& end) {
  return name.size() > end.size() &&
         ::strcasecmp(name.c_str() + name.size() - end.size(), end.c_str()) == 0;
}

}  // namespace

BrokerForwarder::BrokerForwarder(Setup setup, ForwardLedger& ledger)
    : setup_(std::move(setup)),
      ledger_(ledger),
      statusTopic_(setup_.broker.topicPrefix + "/status"),
      thread_([this] { Run(); }) {
  ForwardCounters::Process().enabled = true;
}

BrokerForwarder::~BrokerForwarder() {
  stop_ = true;
  thread_.join();
}

void BrokerForwarder::SetRegisteredUnits(const std::vector<std::string>& names) {
  std::lock_guard lock(unitsMutex_);
  registered_ = std::set<std::string>(names.begin(), names.end());
  everSeen_.insert(names.begin(), names.end());
  unitsChanged_ = true;
}

void BrokerForwarder::Run() {
  std::string lastFailure;
  while (!stop_) {
    try {
      Turn();
      lastFailure.clear();
    } catch (const std::exception& failure) {
      if (failure.what() != lastFailure) Notice(std::string("Forwarding: ") + failure.what());
      lastFailure = failure.what();
      std::this_thread::sleep_for(kDiscoveryInterval);
    }
  }
  try {
    TakeAcknowledged();
    for (auto& [path, file] : files_) file->Commit(milliseconds(0));
    if (session_) session_->Close(statusTopic_, kCloseWaitMs);
  } catch (const std::exception& failure) {
    Notice(std::string("Forwarding: ") + failure.what());
  }
}

void BrokerForwarder::Turn() {
  Clock::time_point now = Clock::now();
  if (now >= nextDiscovery_) {
    currentYear_ = local_calendar::ToLocal(std::time(nullptr)).year;
    Discover();
    nextDiscovery_ = now + kDiscoveryInterval;
  }
  if (now >= nextFollow_) {
    FollowFiles();
    UpdateBacklog();
    nextFollow_ = now + kFollowInterval;
  }
  if (!session_) {
    if (now >= nextAttempt_) return Connect();
    return std::this_thread::sleep_for(kIdleStep);
  }
  // Without lines to send the thread waits on the socket, and new lines are
  // looked for at the next follow.
  const bool room = inFlight_.size() < kWindow && inFlightBytes_ < kWindowBytes;
  if (!session_->Step(session_->Connected() && room && sentLastTurn_ ? 0 : kIdleStep.count()))
    return LoseConnection();
  if (!session_->Connected()) return;
  if (published_.empty() || toldAway_ || !everConnected_) {
    if (!everConnected_)
      Notice("Forwarding records and alarms to the broker at " + setup_.broker.url + " below " +
             setup_.broker.topicPrefix);
    else if (toldAway_)
      Notice("The broker at " + setup_.broker.url + " is back: forwarding goes on");
    toldAway_ = false;
    everConnected_ = true;
    retryDelay_ = milliseconds(500);
    ForwardCounters::Process().connected = true;
    session_->Publish(statusTopic_, "online", true);
    std::lock_guard lock(unitsMutex_);
    unitsChanged_ = true;
    published_[""] = true;  // this session has announced itself
  }
  TakeAcknowledged();
  PublishUnitStates();
  FillWindow();
  for (auto& [path, file] : files_) file->Commit(kCommitInterval);
}

void BrokerForwarder::Connect() {
  published_.clear();
  session_ = std::make_unique<BrokerSession>(setup_.broker);
}

// The lines in flight are read again from the acknowledged positions.
void BrokerForwarder::LoseConnection() {
  std::string why = session_->Failure();
  TakeAcknowledged();
  session_.reset();
  inFlight_.clear();
  inFlightBytes_ = 0;
  for (auto& [path, file] : files_) {
    file->Rewind();
    file->Commit(milliseconds(0));
  }
  ForwardCounters::Process().connected = false;
  if (!toldAway_)
    Notice("The broker at " + setup_.broker.url +
           (everConnected_ ? " went away: " : " cannot be reached: ") + why +
           "; records and alarms wait in the tree");
  toldAway_ = true;
  nextAttempt_ = Clock::now() + retryDelay_;
  retryDelay_ = std::min(retryDelay_ * 2, kLongestRetry);
}

void BrokerForwarder::Discover() {
  for (const auto& [unit, isDirectory] : List(setup_.hostLogDirectory)) {
    if (!isDirectory) continue;
    std::string unitDirectory = setup_.hostLogDirectory + "/" + unit;
    for (const auto& [name, nameIsDirectory] : List(unitDirectory)) {
      if (nameIsDirectory || ::strcasecmp(name.c_str(), setup_.allLogName.c_str()) != 0) continue;
      AddFile(unitDirectory + "/" + name, ForwardedFile::Kind::kRecords, unit);
      break;
    }
  }
  for (const auto& [name, isDirectory] : List(setup_.hostAlarmDirectory)) {
    if (isDirectory || !EndsWithIgnoringCase(name, setup_.dataExt)) continue;
    AddFile(setup_.hostAlarmDirectory + "/" + name, ForwardedFile::Kind::kAlarms,
            name.substr(0, name.size() - setup_.dataExt.size()));
  }
}

void BrokerForwarder::AddFile(const std::string& hostPath, ForwardedFile::Kind kind,
                              const std::string& name) {
  if (files_.count(hostPath) != 0) return;
  try {
    files_.emplace(hostPath, std::make_unique<ForwardedFile>(hostPath, kind, name, ledger_));
    unreadable_.erase(hostPath);
  } catch (const Exception& failure) {  // the others go on; this one is looked at again
    if (unreadable_.insert(hostPath).second)
      Notice("Forwarding skips " + hostPath + " for now: " + failure.Message());
  }
}

void BrokerForwarder::FollowFiles() {
  for (auto file = files_.begin(); file != files_.end();) {
    if (file->second->Follow()) {
      ++file;
      continue;
    }
    std::erase_if(inFlight_, [&](const auto& sent) {
      if (sent.second.file != file->second.get()) return false;
      inFlightBytes_ -= sent.second.bytes;
      return true;
    });
    file = files_.erase(file);
  }
}

void BrokerForwarder::FillWindow() {
  const std::size_t before = inFlight_.size();
  FillFromFiles();
  sentLastTurn_ = inFlight_.size() != before;
}

void BrokerForwarder::FillFromFiles() {
  for (auto& [path, file] : files_) {
    if (inFlight_.size() >= kWindow || inFlightBytes_ >= kWindowBytes) return;
    std::size_t bytes = std::min(kReadPerFile, kWindowBytes - inFlightBytes_);
    for (const ForwardedFile::Line& line : file->Read(bytes, kWindow - inFlight_.size()))
      if (!PublishLine(*file, line)) return;
  }
}

bool BrokerForwarder::PublishLine(ForwardedFile& file, const ForwardedFile::Line& line) {
  ForwardMessage message = file.FileKind() == ForwardedFile::Kind::kRecords
                               ? forward_message::Record(setup_.broker.topicPrefix, file.Name(),
                                                         line.text, setup_.format, currentYear_)
                               : forward_message::Alarm(setup_.broker.topicPrefix, file.Name(),
                                                        line.text, setup_.format, currentYear_);
  int mid = session_->Publish(message.topic, message.payload, false);
  if (mid < 0) return false;
  inFlight_[mid] = {&file, file.Generation(), line.end, message.payload.size()};
  inFlightBytes_ += message.payload.size();
  return true;
}

void BrokerForwarder::TakeAcknowledged() {
  if (!session_) return;
  ForwardCounters& counters = ForwardCounters::Process();
  for (int mid : session_->TakeAcknowledged()) {
    auto sent = inFlight_.find(mid);
    if (sent == inFlight_.end()) continue;  // a status message
    InFlight done = sent->second;
    inFlight_.erase(sent);
    inFlightBytes_ -= done.bytes;
    if (done.file->Generation() != done.generation) continue;
    done.file->Acknowledge(done.end);
    ++(done.file->FileKind() == ForwardedFile::Kind::kRecords ? counters.recordsForwarded
                                                              : counters.alarmsForwarded);
  }
}

void BrokerForwarder::PublishUnitStates() {
  std::lock_guard lock(unitsMutex_);
  if (!unitsChanged_) return;
  unitsChanged_ = false;
  for (const std::string& unit : everSeen_) {
    const bool online = registered_.count(unit) != 0;
    auto known = published_.find("/" + unit);
    if (known != published_.end() && known->second == online) continue;
    std::string topic = setup_.broker.topicPrefix + "/" + topic_text::Level(unit) + "/status";
    std::string payload = "{\"unit\":" + topic_text::JsonString(unit) + ",\"status\":\"" +
                          (online ? "online" : "offline") + "\"}";
    if (session_->Publish(topic, payload, true) < 0) return;
    published_["/" + unit] = online;
  }
}

void BrokerForwarder::UpdateBacklog() {
  ForwardCounters& counters = ForwardCounters::Process();
  long long bytes = 0, lines = 0;
  Clock::time_point now = Clock::now(), oldest = now;
  for (auto& [path, file] : files_) {
    long long behind = file->BacklogBytes();
    bytes += behind;
    lines += file->BacklogLines(kCountPerFile);
    if (auto waiting = file->OldestWaiting()) oldest = std::min(oldest, *waiting);
  }
  counters.backlogBytes = bytes;
  counters.backlogRecords = lines;
  counters.backlogAgeSeconds = std::chrono::duration<double>(now - oldest).count();
  long long expired = ledger_.ExpiredLines();
  if (expired > expiredTold_) {
    Notice("The retention sweep removed " + std::to_string(expired - expiredTold_) +
           " lines older than the retention before they were forwarded to the broker");
    expiredTold_ = expired;
    counters.expiredRecords = expired;
  }
}

void BrokerForwarder::Notice(const std::string& line) const {
  if (setup_.notice) setup_.notice(line);
}
