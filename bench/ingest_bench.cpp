// Record ingest against a syslog daemon, side by side in one run: 20 units
// send the same records over loopback TCP, first to the real datacontroller
// (DU_SAVELOG, one connection per unit), then to rsyslogd (imtcp, the unit as
// host name, the sensor as tag, one file per sender and one per sensor through
// dynamic file names, lines ended by CR LF). Each rate runs from the first
// byte sent until every record is in its files; afterwards every file of both
// trees must equal the expected bytes exactly (each record once, in order,
// CR LF). While the records flow, a further connection sends DU_CHECK in
// lock step to the data unit and the round trips' percentiles are printed.
//
// This runs once for each record size (the bytes of "sensor rest", padded with
// a last field of "v"s; 0: the short records as they are), with at most
// RECORDS_PER_UNIT records per unit and about 40 MB of records per size.
//
//   ingest_bench [RECORDS_PER_UNIT [SIZE...]]
//   (defaults 50000 and the sizes 50 500 2000 4000; needs root and rsyslogd)
//   ingest_bench web [RECORDS_PER_UNIT] [ROUNDS]
//
// "web" measures what the web view costs the ingest instead: the same run
// without and with 20 browsers that poll the overview and a plot of a sensor
// being written once a second each (as the pages do), alternating, ROUNDS
// times each (default 2), and prints the rates, the data unit's CPU time for
// the records, and their ratios.
//
// With INGEST_BENCH_PERF=FILE set, "perf record -g" samples the data unit
// while the records flow and writes FILE (for "perf report -i FILE"); with
// INGEST_BENCH_PERF_DWARF set as well, call graphs come from DWARF unwinding.
//
// It moves itself into a network namespace of its own first (the data unit's
// ports are fixed), so it never meets another instance on this machine.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../tests/e2e/program_under_test.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kUnits = 20;
constexpr int kSensors = 5;
constexpr int kSyslogPort = 10514;
constexpr std::size_t kBatchBytes = 16384;

std::string UnitName(int unit) { return "SU" + std::to_string(unit); }
std::string Sensor(int i) { return "T" + std::to_string(i % kSensors); }
// The bytes of "sensor rest" in this run; 0: as short as they come.
std::size_t gRecordBytes = 0;

// The record after its sensor name: a date in day.month.year and a value
// unique per record, then as many "v"s as make the record gRecordBytes long.
std::string Rest(int unit, int i) {
  std::string rest = "06.12.2026 " + std::to_string(unit) + "." + std::to_string(i);
  const std::size_t shortRecord = Sensor(i).size() + 1 + rest.size();
  if (gRecordBytes > shortRecord + 1)
    rest += " " + std::string(gRecordBytes - shortRecord - 1, 'v');
  return rest;
}

// The files both programs must write, relative to a tree of one directory per unit.
std::map<std::string, std::string> ExpectedFiles(int perUnit) {
  std::map<std::string, std::string> files;
  for (int u = 0; u < kUnits; ++u) {
    std::string all;
    std::vector<std::string> sensors(kSensors);
    for (int i = 0; i < perUnit; ++i) {
      all += Rest(u, i) + " " + Sensor(i) + "\r\n";
      sensors[i % kSensors] += Rest(u, i) + "\r\n";
    }
    files[UnitName(u) + "/alllog.dat"] = std::move(all);
    for (int s = 0; s < kSensors && s < perUnit; ++s)
      files[UnitName(u) + "/" + Sensor(s) + ".dat"] = sensors[s];
  }
  return files;
}

std::uintmax_t TreeBytes(const fs::path& root) {
  std::uintmax_t total = 0;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_regular_file(error)) total += it->file_size(error);
  }
  return total;
}

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
    end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Every expected file with its lines and no other file: "exact" when the bytes
// are equal, "same lines, another order" when only the order differs.
std::string CheckTree(const fs::path& root, const std::map<std::string, std::string>& expected) {
  std::size_t found = 0;
  bool reordered = false;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::string relative = fs::relative(entry.path(), root).string();
    auto wanted = expected.find(relative);
    if (wanted == expected.end()) return "unexpected file " + relative;
    std::string content = ReadWholeFile(entry.path());
    if (content != wanted->second && SortedLines(content) != SortedLines(wanted->second))
      return "FAULT: lines differ in " + relative;
    reordered = reordered || content != wanted->second;
    ++found;
  }
  if (found != expected.size())
    return "FAULT: files missing: " + std::to_string(expected.size() - found);
  return reordered ? "same lines, another order" : "exact";
}

// ---- a minimal blocking TCP client -------------------------------------

int ConnectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error("connect to port " + std::to_string(port) + ": " +
                             std::strerror(errno));
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void SendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t put = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) throw std::runtime_error(std::string("send: ") + std::strerror(errno));
    sent += static_cast<std::size_t>(put);
  }
}

// Reads into buffer until it holds text; the bytes up to and including it are
// consumed, and those before it returned.
std::string ReadUntil(int fd, std::string& buffer, const std::string& text,
                      std::chrono::milliseconds wait) {
  auto deadline = Clock::now() + wait;
  while (buffer.find(text) == std::string::npos) {
    pollfd ready{fd, POLLIN, 0};
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) <= 0)
      throw std::runtime_error("no " + text);
    char chunk[4096];
    ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) throw std::runtime_error("connection ended waiting for " + text);
    buffer.append(chunk, static_cast<std::size_t>(got));
  }
  std::size_t at = buffer.find(text);
  std::string before = buffer.substr(0, at);
  buffer.erase(0, at + text.size());
  return before;
}

// Sends the messages in batches of about kBatchBytes.
template <typename Message>
void SendInBatches(int fd, int count, Message message) {
  std::string batch;
  for (int i = 0; i < count; ++i) {
    batch += message(i);
    if (batch.size() >= kBatchBytes || i + 1 == count) {
      SendAll(fd, batch);
      batch.clear();
    }
  }
}

// ---- browsers polling the web view -------------------------------------

constexpr int kWebPort = 10078;
constexpr int kBrowsers = 20;

// One GET on a kept-alive connection; the body's length is returned. A
// sensor without records yet answers 404, as it does to a browser.
std::size_t HttpGet(int fd, std::string& input, const std::string& path) {
  std::string request = "GET ";
  request.append(path).append(" HTTP/1.1\r\nHost: du\r\n\r\n");
  SendAll(fd, request);
  std::string head = ReadUntil(fd, input, "\r\n\r\n", 30s);
  std::size_t at = head.find("Content-Length: ");
  bool answered = head.rfind("HTTP/1.1 200", 0) == 0 || head.rfind("HTTP/1.1 404", 0) == 0;
  if (!answered || at == std::string::npos)
    throw std::runtime_error("web view answered: " + head.substr(0, head.find('\r')));
  std::size_t length = std::stoul(head.substr(at + 16));
  while (input.size() < length) {
    char chunk[65536];
    ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) throw std::runtime_error("web view closed during an answer");
    input.append(chunk, static_cast<std::size_t>(got));
  }
  input.erase(0, length);
  return length;
}

// What one browser's overview and sensor pages fetch, once a second each,
// until stop; requests that were answered are counted.
void PollLikeABrowser(int browser, const std::atomic<bool>& stop, std::atomic<long>& answered) {
  int fd = ConnectLoopback(kWebPort);
  std::string input;
  std::string series = "/api/series?unit=";
  series.append(UnitName(browser % kUnits)).append("&sensor=T0");
  while (!stop) {
    auto next = Clock::now() + 1s;
    HttpGet(fd, input, "/api/overview");
    HttpGet(fd, input, series);
    answered += 2;
    while (!stop && Clock::now() < next) std::this_thread::sleep_for(10ms);
  }
  ::close(fd);
}

// ---- the data unit -----------------------------------------------------

const std::string kCheckReply = "CC_TEXT CHECK#";

struct Unit {
  int fd = -1;
  std::string input;
};

// Registers under the slot the data unit offers and waits until it answers.
void Register(Unit& unit, const std::string& name) {
  ReadUntil(unit.fd, unit.input, "CC_ADD_NAME ", 10s);
  std::string slot = ReadUntil(unit.fd, unit.input, "#", 10s);
  SendAll(unit.fd, "CS_ADD_NAME " + slot + " " + name + "#CS_TEXT " + name + " DU_CHECK#");
  ReadUntil(unit.fd, unit.input, kCheckReply, 10s);
}

// CHECK replies that arrive on unit 0's connection, counted by a reader thread.
class CheckCounter {
 public:
  void Arrived() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  bool WaitFor(int count, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, wait, [&] { return count_ >= count; });
  }
  int Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

void CountChecks(Unit& unit, CheckCounter& checks, const std::atomic<bool>& stop) {
  std::string buffer;
  while (!stop) {
    pollfd ready{unit.fd, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    char chunk[4096];
    ssize_t got = ::recv(unit.fd, chunk, sizeof chunk, 0);
    if (got <= 0) return;
    buffer.append(chunk, static_cast<std::size_t>(got));
    for (std::size_t at; (at = buffer.find(kCheckReply)) != std::string::npos;) {
      buffer.erase(0, at + kCheckReply.size());
      checks.Arrived();
    }
  }
}

// "perf record" attached to pid while it lives, when asked for; -1 when not.
pid_t StartProfiler(pid_t pid) {
  const char* file = std::getenv("INGEST_BENCH_PERF");
  if (file == nullptr || *file == '\0') return -1;
  std::string target = std::to_string(pid);
  pid_t profiler = ::fork();
  if (profiler == 0) {
    const char* graph = std::getenv("INGEST_BENCH_PERF_DWARF") ? "--call-graph=dwarf" : "-g";
    ::execlp("perf", "perf", "record", "-q", graph, "-F", "1000", "-o", file, "-p", target.c_str(),
             static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(500ms);  // perf attaches
  return profiler;
}

void StopProfiler(pid_t profiler) {
  if (profiler <= 0) return;
  ::kill(profiler, SIGINT);
  ::waitpid(profiler, nullptr, 0);
}

// The CPU time a process has used so far (user and system), in seconds.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat(fs::path("/proc") / std::to_string(pid) / "stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i >= 14) ticks += std::stod(field);
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct DataUnitResult {
  double rate = 0;
  double cpuSeconds = 0;  // the data unit's, while the records flowed
  long webAnswers = 0;
  std::vector<double> roundTripsMs;
  std::string check;
};

struct LoadState {
  std::atomic<int> othersDone{0};  // units 1.. whose last DU_CHECK was answered
  std::atomic<bool> probing{true};
  int probesSent = 0;
};

// Lock-step DU_CHECKs under unit 0's name from a connection of its own (the
// name table is full): the reply comes back on unit 0's connection. They go
// on while the data unit works through the other units' records.
void Probe(int fd, CheckCounter& checks, LoadState& state, std::vector<double>& roundTrips) {
  while (state.othersDone < kUnits - 1) {
    auto sent = Clock::now();
    SendAll(fd, "CS_TEXT " + UnitName(0) + " DU_CHECK#");
    ++state.probesSent;
    if (!checks.WaitFor(state.probesSent, 120s))
      throw std::runtime_error("a DU_CHECK was not answered");
    roundTrips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    std::this_thread::sleep_for(1ms);
  }
  state.probing = false;
}

void SendUnitRecords(Unit& unit, int index, int perUnit, LoadState& state, CheckCounter& checks) {
  std::string prefix = "CS_TEXT " + UnitName(index) + " DU_SAVELOG ";
  SendInBatches(unit.fd, perUnit,
                [&](int i) { return prefix + Sensor(i) + " " + Rest(index, i) + "#"; });
  // The reply to the last DU_CHECK comes after every record of this unit was handled.
  if (index != 0) {
    SendAll(unit.fd, "CS_TEXT " + UnitName(index) + " DU_CHECK#");
    ReadUntil(unit.fd, unit.input, kCheckReply, 300s);
    ++state.othersDone;
    return;
  }
  while (state.probing) std::this_thread::sleep_for(1ms);
  SendAll(unit.fd, "CS_TEXT " + UnitName(0) + " DU_CHECK#");
  if (!checks.WaitFor(state.probesSent + 1, 300s))
    throw std::runtime_error("the last DU_CHECK was not answered");
}

DataUnitResult RunDataUnit(int perUnit, const std::map<std::string, std::string>& expected,
                           int browsers = 0) {
  ProgramUnderTest program;
  program.Start();
  if (!program.WaitForUnitPort())
    throw std::runtime_error("the program did not start: " + program.StandardError());
  std::vector<Unit> units(kUnits);
  for (int u = 0; u < kUnits; ++u) {
    units[u].fd = ConnectLoopback(ProgramUnderTest::kUnitPort);
    Register(units[u], UnitName(u));
  }
  Unit prober;
  prober.fd = ConnectLoopback(ProgramUnderTest::kUnitPort);
  ReadUntil(prober.fd, prober.input, "#", 10s);  // its slot offer, left unanswered

  CheckCounter checks;
  std::atomic<bool> stopReading{false};
  std::thread reader(CountChecks, std::ref(units[0]), std::ref(checks), std::cref(stopReading));
  LoadState state;
  DataUnitResult result;
  pid_t profiler = StartProfiler(program.FirstPid());
  std::atomic<bool> stopBrowsing{false};
  std::atomic<long> webAnswers{0};
  std::vector<std::thread> pollers;
  for (int b = 0; b < browsers; ++b)
    pollers.emplace_back(PollLikeABrowser, b, std::cref(stopBrowsing), std::ref(webAnswers));
  auto start = Clock::now();
  double cpuAtStart = ProcessCpuSeconds(program.FirstPid());
  std::thread probe(Probe, prober.fd, std::ref(checks), std::ref(state),
                    std::ref(result.roundTripsMs));
  std::vector<std::thread> senders;
  for (int u = 0; u < kUnits; ++u)
    senders.emplace_back(SendUnitRecords, std::ref(units[u]), u, perUnit, std::ref(state),
                         std::ref(checks));
  for (auto& sender : senders) sender.join();
  result.rate = static_cast<double>(kUnits) * perUnit /
                std::chrono::duration<double>(Clock::now() - start).count();
  result.cpuSeconds = ProcessCpuSeconds(program.FirstPid()) - cpuAtStart;
  stopBrowsing = true;
  for (auto& poller : pollers) poller.join();
  result.webAnswers = webAnswers;
  StopProfiler(profiler);
  probe.join();
  stopReading = true;
  reader.join();
  result.check = CheckTree(program.Path("log"), expected);
  program.StopAll();
  for (Unit& unit : units) ::close(unit.fd);
  ::close(prober.fd);
  return result;
}

// ---- rsyslog -------------------------------------------------------------

std::string RsyslogConfig(const fs::path& dir) {
  std::string out = (dir / "out").string();
  return "global(workDirectory=\"" + (dir / "work").string() +
         "\")\n"
         "module(load=\"imtcp\")\n"
         "input(type=\"imtcp\" port=\"" +
         std::to_string(kSyslogPort) +
         "\" address=\"127.0.0.1\" ruleset=\"units\")\n"
         "template(name=\"allFile\" type=\"string\" string=\"" +
         out +
         "/%hostname%/alllog.dat\")\n"
         "template(name=\"sensorFile\" type=\"string\" string=\"" +
         out +
         "/%hostname%/%programname%.dat\")\n"
         "template(name=\"allLine\" type=\"string\" string=\"%msg:2:$% %programname%\\r\\n\")\n"
         "template(name=\"sensorLine\" type=\"string\" string=\"%msg:2:$%\\r\\n\")\n"
         "ruleset(name=\"units\") {\n"
         "  action(type=\"omfile\" dynaFile=\"allFile\" template=\"allLine\" "
         "dynaFileCacheSize=\"100\")\n"
         "  action(type=\"omfile\" dynaFile=\"sensorFile\" template=\"sensorLine\" "
         "dynaFileCacheSize=\"200\")\n"
         "}\n";
}

pid_t StartRsyslog(const fs::path& dir) {
  fs::create_directories(dir / "work");
  fs::create_directories(dir / "out");
  std::ofstream(dir / "rsyslog.conf") << RsyslogConfig(dir);
  std::string conf = (dir / "rsyslog.conf").string(), pidFile = (dir / "rsyslogd.pid").string();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/usr/sbin/rsyslogd", "rsyslogd", "-n", "-f", conf.c_str(), "-i", pidFile.c_str(),
            static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

int ConnectWhenListening(int port) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    try {
      return ConnectLoopback(port);
    } catch (const std::runtime_error&) {
      std::this_thread::sleep_for(20ms);
    }
  }
  throw std::runtime_error("rsyslogd did not listen");
}

struct RsyslogResult {
  double rate = 0;
  std::string check;
};

RsyslogResult RunRsyslog(int perUnit, const std::map<std::string, std::string>& expected) {
  char pattern[] = "/tmp/dc-ingest-rsyslog-XXXXXX";
  fs::path dir = ::mkdtemp(pattern);
  pid_t daemon = StartRsyslog(dir);
  std::vector<int> fds{ConnectWhenListening(kSyslogPort)};
  while (fds.size() < kUnits) fds.push_back(ConnectLoopback(kSyslogPort));
  std::uintmax_t total = 0;
  for (const auto& [path, content] : expected) total += content.size();
  RsyslogResult result;
  auto start = Clock::now();
  std::vector<std::thread> senders;
  for (int u = 0; u < kUnits; ++u) {
    senders.emplace_back([&, u] {
      std::string prefix = "<13>Dec  7 13:00:00 " + UnitName(u) + " ";
      SendInBatches(fds[u], perUnit,
                    [&](int i) { return prefix + Sensor(i) + ": " + Rest(u, i) + "\n"; });
    });
  }
  for (auto& sender : senders) sender.join();
  auto deadline = Clock::now() + 300s;
  while (TreeBytes(dir / "out") < total && Clock::now() < deadline)
    std::this_thread::sleep_for(2ms);
  result.rate = static_cast<double>(kUnits) * perUnit /
                std::chrono::duration<double>(Clock::now() - start).count();
  for (int fd : fds) ::close(fd);
  ::kill(daemon, SIGTERM);
  ::waitpid(daemon, nullptr, 0);
  result.check = CheckTree(dir / "out", expected);
  fs::remove_all(dir);
  return result;
}

// ---- figures -----------------------------------------------------------

double Percentile(std::vector<double> samples, double share) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  auto at = static_cast<std::size_t>(share * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(at, samples.size() - 1)];
}

// A network namespace with only loopback, up, for this process and its children.
void EnterOwnNetwork() {
  if (::unshare(CLONE_NEWNET) != 0) {
    throw std::runtime_error(std::string("cannot make a network namespace (run as root): ") +
                             std::strerror(errno));
  }
  if (std::system("ip link set lo up") != 0) throw std::runtime_error("cannot bring loopback up");
}

}  // namespace

// The same ingest without and with polling browsers, alternating; medians,
// as a machine shared with other work moves single runs a lot.
int RunWebCost(int perUnit, int rounds) {
  std::map<std::string, std::string> expected = ExpectedFiles(perUnit);
  std::vector<double> rates[2];
  std::vector<double> cpu[2];
  bool exact = true;
  for (int round = 0; round < rounds; ++round) {
    // Alternating which goes first, so neither gains from what the other left behind.
    int order[2] = {round % 2 ? kBrowsers : 0, round % 2 ? 0 : kBrowsers};
    for (int browsers : order) {
      DataUnitResult run = RunDataUnit(perUnit, expected, browsers);
      exact = exact && run.check == "exact";
      rates[browsers ? 1 : 0].push_back(run.rate);
      cpu[browsers ? 1 : 0].push_back(run.cpuSeconds);
      std::printf(
          "round %d, %2d browsers: %10.0f records/s, data unit CPU %.2f s, "
          "%ld web answers, files: %s\n",
          round + 1, browsers, run.rate, run.cpuSeconds, run.webAnswers, run.check.c_str());
    }
  }
  double rate[2] = {Percentile(rates[0], 0.5), Percentile(rates[1], 0.5)};
  double seconds[2] = {Percentile(cpu[0], 0.5), Percentile(cpu[1], 0.5)};
  std::printf(
      "medians of %d: without %.0f, with %d browsers %.0f records/s; ratio %.3f, "
      "rate cost %.1f %% (target < 10 %%)\n",
      rounds, rate[0], kBrowsers, rate[1], rate[1] / rate[0], 100.0 * (1.0 - rate[1] / rate[0]));
  std::printf("data unit CPU for the records: without %.2f s, with %.2f s; CPU cost %.1f %%\n",
              seconds[0], seconds[1], 100.0 * (seconds[1] / seconds[0] - 1.0));
  return exact ? 0 : 1;
}

struct SizeResult {
  std::size_t size = 0;
  int perUnit = 0;
  DataUnitResult unit;
  RsyslogResult syslog;
};

int main(int argc, char** argv) try {
  if (argc > 1 && std::string(argv[1]) == "web") {
    EnterOwnNetwork();
    return RunWebCost(argc > 2 ? std::atoi(argv[2]) : 50000, argc > 3 ? std::atoi(argv[3]) : 2);
  }
  const int maxPerUnit = argc > 1 ? std::atoi(argv[1]) : 50000;
  std::vector<std::size_t> sizes;
  for (int arg = 2; arg < argc; ++arg) sizes.push_back(std::strtoul(argv[arg], nullptr, 10));
  if (sizes.empty()) sizes = {50, 500, 2000, 4000};
  EnterOwnNetwork();
  constexpr double kBytesPerSize = 40e6;
  std::vector<SizeResult> results;
  bool exact = true;
  for (std::size_t size : sizes) {
    gRecordBytes = size;
    SizeResult result;
    result.size = size;
    const double fitting =
        kBytesPerSize / kUnits / static_cast<double>(std::max<std::size_t>(size, 20));
    result.perUnit = std::max(1, std::min(maxPerUnit, static_cast<int>(fitting)));
    std::map<std::string, std::string> expected = ExpectedFiles(result.perUnit);
    result.unit = RunDataUnit(result.perUnit, expected);
    result.syslog = RunRsyslog(result.perUnit, expected);
    exact = exact && result.unit.check == "exact" && result.syslog.check.rfind("FAULT", 0) != 0;
    std::printf("%zu-byte records: %d units x %d; data unit files: %s; rsyslogd files: %s\n", size,
                kUnits, result.perUnit, result.unit.check.c_str(), result.syslog.check.c_str());
    std::fflush(stdout);
    results.push_back(std::move(result));
  }
  std::printf("\n%8s %10s %16s %16s %8s %22s\n", "bytes", "records", "data unit rec/s",
              "rsyslogd rec/s", "ratio", "DU_CHECK p50 / p99 ms");
  for (const SizeResult& r : results) {
    std::printf("%8zu %10d %16.0f %16.0f %8.2f %10.2f / %8.2f\n", r.size, kUnits * r.perUnit,
                r.unit.rate, r.syslog.rate, r.unit.rate / r.syslog.rate,
                Percentile(r.unit.roundTripsMs, 0.5), Percentile(r.unit.roundTripsMs, 0.99));
  }
  std::printf("ratio: data unit / rsyslogd, the same records in the same run (target >= 1.0)\n");
  return exact ? 0 : 1;
} catch (const std::exception& error) {
  std::fprintf(stderr, "ingest_bench: %s\n", error.what());
  return 2;
}
