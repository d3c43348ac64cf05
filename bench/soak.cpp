// Load and soak run of the real datacontroller (fixed ports: run it alone).
// 18 sensor units send DU_SAVELOG records as fast as they can, two control
// units list the log files and fetch them and the newest pictures by TFTP,
// and two of the sensor units upload pictures by TFTP, all at once. The run
// starts on a tree with old data, so the start-up sweep has work, and
// restarts the program half-way (after old lines were put back into the
// units' files), so the sweep runs a second time on live files.
// Afterwards every unit's files must hold exactly the records it sent, in
// order; every transfer must be byte-identical (a log file fetched while it
// grew must be a prefix of that file at the end of its phase); the program's
// standard error must hold no failure report.
// Prints records/s, transfers/s and the peak resident memory of each instance.
//
//   soak [RECORDS_PER_UNIT]   (default 20000)
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "../tests/e2e/curl_client.h"
#include "../tests/e2e/process_probe.h"
#include "../tests/e2e/program_under_test.h"
#include "store/short_date_format.h"
#include "unit_connection.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kSensorUnits = 18;  // with the two control units, all 20 name slots
constexpr int kControlUnits = 2;
constexpr int kCameraUnits = 2;  // sensor units that also upload pictures
constexpr int kSensorsPerUnit = 3;
constexpr int kOldUnits = 4;
constexpr int kOldLinesPerFile = 2000;

int failures = 0;
std::mutex failureMutex;
const Clock::time_point started = Clock::now();

void Fail(const std::string& what) {
  std::lock_guard<std::mutex> lock(failureMutex);
  ++failures;
  double at = std::chrono::duration<double>(Clock::now() - started).count();
  if (failures <= 20) std::fprintf(stderr, "FAIL at %.1f s: %s\n", at, what.c_str());
}

std::string DateDaysAgo(int days) {
  std::time_t now = std::time(nullptr) - static_cast<std::time_t>(days) * 86400;
  std::tm local{};
  ::localtime_r(&now, &local);
  return ShortDateFormat().Format(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

std::string Unit(int u) { return "SU" + std::to_string(u); }
std::string Value(int u, int i) { return std::to_string(u) + "." + std::to_string(i); }
std::string Sensor(int i) {
  return std::string(1, 'T') + static_cast<char>('0' + i % kSensorsPerUnit);
}

struct Shared {
  ProgramUnderTest program;
  std::string today = DateDaysAgo(0);
  std::string old = DateDaysAgo(30);
  std::atomic<bool> phaseRunning{false};
  std::atomic<long> transfers{0};
  std::mutex mutex;                             // guards what follows
  std::map<std::string, std::string> uploaded;  // tree path -> content, once complete
  std::vector<std::pair<std::string, std::string>> fetchedLogs;  // tree path -> content, this phase
  std::map<pid_t, std::int64_t> peakKiB;
};

// --- the tree before the start -----------------------------------------------

void SetAge(const std::string& path, int days) {
  struct utimbuf times;
  times.actime = times.modtime = std::time(nullptr) - static_cast<std::time_t>(days) * 86400;
  ::utime(path.c_str(), &times);
}

void SeedOldData(Shared& shared) {
  for (int u = 0; u < kOldUnits; ++u) {
    std::string dir = shared.program.Path("log/OLD" + std::to_string(u));
    fs::create_directories(dir + "/camera_cam0");
    std::string lines;
    for (int i = 0; i < kOldLinesPerFile; ++i)
      lines += shared.old + " " + std::to_string(i) + "\r\n";
    WriteWholeFile(dir + "/T0.dat", lines);
    for (int p = 0; p < 3; ++p) {
      std::string picture = dir + "/camera_cam0/p" + std::to_string(p) + ".jpg";
      WriteWholeFile(picture, "old picture");
      SetAge(picture, 30 - p);
    }
  }
}

// A file keeps its last line; the newest picture of a directory stays.
void CheckStartUpSweep(Shared& shared) {
  for (int u = 0; u < kOldUnits; ++u) {
    std::string dir = shared.program.Path("log/OLD" + std::to_string(u));
    std::string kept = ReadWholeFile(dir + "/T0.dat");
    if (kept != shared.old + " " + std::to_string(kOldLinesPerFile - 1) + "\r\n")
      Fail("start-up sweep left " + dir);
    if (fs::exists(dir + "/camera_cam0/p0.jpg") || fs::exists(dir + "/camera_cam0/p1.jpg") ||
        !fs::exists(dir + "/camera_cam0/p2.jpg"))
      Fail("start-up sweep pictures in " + dir);
  }
}

// --- units ---------------------------------------------------------------------

std::vector<std::unique_ptr<UnitConnection>> ConnectUnits() {
  std::vector<std::unique_ptr<UnitConnection>> units;
  for (int u = 0; u < kSensorUnits + kControlUnits; ++u) {
    units.push_back(std::make_unique<UnitConnection>("127.0.0.1", ProgramUnderTest::kUnitPort));
    units.back()->Register(u < kSensorUnits ? Unit(u) : "CU" + std::to_string(u - kSensorUnits));
    units.back()->SendText("DU_CHECK");
    if (units.back()->NextText(10s) != "CHECK") throw std::runtime_error("a unit got no CHECK");
  }
  return units;
}

void AwaitCheck(UnitConnection& unit) {
  while (auto text = unit.NextText(120s))
    if (*text == "CHECK") return;
  Fail(unit.Name() + " got no CHECK");
}

void SendRecords(Shared& shared, UnitConnection& unit, int u, int from, int to) {
  std::string batch;
  for (int i = from; i < to; ++i) {
    batch += "CS_TEXT " + unit.Name() + " DU_SAVELOG " + Sensor(i) + " " + shared.today + " " +
             Value(u, i) + "#";
    if (batch.size() > 16384 || i + 1 == to) {
      unit.SendRaw(batch);
      batch.clear();
    }
  }
  unit.SendText("DU_CHECK");
  AwaitCheck(unit);
}

// "<start dir>\log\SU1\T1.dat" or ".\log\SU1\..." as a relative tree path with "/".
std::string TreePath(std::string entry, const std::string& startDirectory) {
  if (entry.rfind(startDirectory + "\\", 0) == 0) entry = entry.substr(startDirectory.size() + 1);
  if (entry.rfind(".\\", 0) == 0) entry = entry.substr(2);
  for (char& c : entry)
    if (c == '\\') c = '/';
  return entry;
}

std::string Ask(UnitConnection& unit, const std::string& command, const std::string& replyWord) {
  unit.SendText(command);
  while (auto text = unit.NextText(30s))
    if (text->rfind(replyWord, 0) == 0) return *text;
  Fail(unit.Name() + ": no " + replyWord + " for " + command);
  return {};
}

void FetchLogFile(Shared& shared, UnitConnection& unit, int round,
                  const std::string& startDirectory, const std::string& scratch) {
  std::string unitName = Unit(round % kSensorUnits);
  // Only units that have reported: asking about others is a reported failure.
  if (!fs::exists(shared.program.Path("log/" + unitName + "/alllog.dat"))) return;
  std::string reply = Ask(unit, "DU_GIVELOGFILENAMES " + unitName, "CU_");
  if (reply.rfind("CU_TAKELOGFILES " + unitName + " ", 0) != 0)
    return Fail(unitName + ": " + reply);
  std::string list = reply.substr(std::string("CU_TAKELOGFILES ").size() + unitName.size() + 1);
  std::vector<std::string> entries;
  for (std::size_t start = 0, bar; start <= list.size(); start = bar + 1) {
    bar = list.find('|', start);
    if (bar == std::string::npos) bar = list.size();
    entries.push_back(list.substr(start, bar - start));
  }
  std::string tree = TreePath(entries[round % entries.size()], startDirectory);
  if (tree.find("camera_cam0") != std::string::npos) return;
  int blockSize = round % 2 ? 8192 : 512;
  if (FetchByTftp(tree, scratch, blockSize) != 0) return Fail("fetch " + tree);
  ++shared.transfers;
  std::lock_guard<std::mutex> lock(shared.mutex);
  shared.fetchedLogs.emplace_back(tree, ReadWholeFile(scratch));
}

void FetchLatestPicture(Shared& shared, UnitConnection& unit, int round,
                        const std::string& scratch) {
  std::string unitName = Unit(round % kCameraUnits);
  std::string reply = Ask(unit, "DU_GIVELATESTPICTUREFILENAME " + unitName, "CU_");
  if (reply.rfind("CU_TAKELATESTPICTURE ", 0) != 0) return;  // none uploaded yet
  std::string tree = TreePath(reply.substr(reply.rfind(' ') + 1), "");
  std::string expected;
  {
    std::lock_guard<std::mutex> lock(shared.mutex);
    auto found = shared.uploaded.find(tree);
    if (found == shared.uploaded.end()) return;  // still being uploaded
    expected = found->second;
  }
  if (FetchByTftp(tree, scratch, 1428) != 0) return Fail("fetch " + tree);
  ++shared.transfers;
  if (ReadWholeFile(scratch) != expected) Fail("picture differs: " + tree);
}

void ControlUnit(Shared& shared, UnitConnection& unit, int c) {
  std::string startDirectory = fs::canonical(shared.program.WorkDir()).string();
  std::string scratch = shared.program.Path("../fetch-" + unit.Name());
  for (int round = c; shared.phaseRunning || round < c + 6; round += kControlUnits) {
    FetchLogFile(shared, unit, round, startDirectory, scratch);
    FetchLatestPicture(shared, unit, round, scratch);
  }
}

void CameraUnit(Shared& shared, int u, int& serial) {
  std::mt19937 random(static_cast<unsigned>(u * 7919 + serial));
  std::string scratch = shared.program.Path("../upload-" + Unit(u));
  for (int round = 0; shared.phaseRunning || round < 4; ++round, ++serial) {
    std::string content(20000 + random() % 180000, '\0');
    for (char& c : content) c = static_cast<char>(random());
    WriteWholeFile(scratch, content);
    std::string tree = "log/" + Unit(u) + "/camera_cam0/p" + std::to_string(serial) + ".jpg";
    const int sizes[] = {512, 1428, 8192};
    if (StoreByTftp(scratch, tree, sizes[serial % 3]) != 0) {
      Fail("store " + tree);
      continue;
    }
    ++shared.transfers;
    if (ReadWholeFile(shared.program.Path(tree)) != content)
      Fail("stored picture differs: " + tree);
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.uploaded[tree] = content;
  }
}

// --- phases ----------------------------------------------------------------------

void SamplePeakMemory(Shared& shared, std::atomic<bool>& stop) {
  while (!stop) {
    for (pid_t pid : shared.program.RunningInstances()) {
      std::int64_t kib = PeakResidentKiB(pid);
      std::lock_guard<std::mutex> lock(shared.mutex);
      if (kib > shared.peakKiB[pid]) shared.peakKiB[pid] = kib;
    }
    std::this_thread::sleep_for(100ms);
  }
}

// One phase: every sensor unit sends records [from, to) while the others work.
double RunPhase(Shared& shared, std::vector<std::unique_ptr<UnitConnection>>& units, int from,
                int to, std::vector<int>& serials) {
  shared.phaseRunning = true;
  std::vector<std::thread> helpers;
  for (int c = 0; c < kControlUnits; ++c)
    helpers.emplace_back(ControlUnit, std::ref(shared), std::ref(*units[kSensorUnits + c]), c);
  for (int u = 0; u < kCameraUnits; ++u)
    helpers.emplace_back(CameraUnit, std::ref(shared), u, std::ref(serials[u]));
  auto start = Clock::now();
  std::vector<std::thread> senders;
  for (int u = 0; u < kSensorUnits; ++u)
    senders.emplace_back(SendRecords, std::ref(shared), std::ref(*units[u]), u, from, to);
  for (auto& sender : senders) sender.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  shared.phaseRunning = false;
  for (auto& helper : helpers) helper.join();
  return seconds;
}

// Logs fetched while they grew are prefixes of what the phase left behind.
void CheckFetchedLogs(Shared& shared) {
  for (const auto& [tree, content] : shared.fetchedLogs) {
    if (ReadWholeFile(shared.program.Path(tree)).compare(0, content.size(), content) != 0)
      Fail("fetched log is not a prefix of " + tree);
  }
  shared.fetchedLogs.clear();
}

// Old lines in front of every unit's files: the restart's sweep must remove them.
void PutBackOldLines(Shared& shared) {
  for (int u = 0; u < kSensorUnits; ++u) {
    for (std::string name : {"alllog.dat", "T0.dat"}) {
      std::string path = shared.program.Path("log/" + Unit(u) + "/" + name);
      std::string old;
      for (int i = 0; i < 50; ++i)
        old += shared.old + " old" + std::to_string(i) + (name == "T0.dat" ? "" : " T0") + "\r\n";
      WriteWholeFile(path + ".new", old + ReadWholeFile(path));
      fs::rename(path + ".new", path);
    }
  }
}

// A registered unit's connection reset is a client connection error: the
// program starts anew (a connection that never registered would only be closed).
void Restart(Shared& shared, std::unique_ptr<UnitConnection> breaker) {
  pid_t before = shared.program.RunningInstances().at(0);
  std::fprintf(stderr, "restart at %.1f s\n",
               std::chrono::duration<double>(Clock::now() - started).count());
  breaker->ResetOnClose();
  breaker.reset();
  bool back = WaitUntil(
      [&] {
        auto running = shared.program.RunningInstances();
        return running.size() == 1 && running[0] != before &&
               ProgramUnderTest::UnitPortListening() && ProgramUnderTest::FileTransferPortBound();
      },
      30s);
  if (!back) throw std::runtime_error("no restart: " + shared.program.StandardError());
}

void CheckRecords(Shared& shared, int total) {
  for (int u = 0; u < kSensorUnits; ++u) {
    std::string all;
    std::vector<std::string> bySensor(kSensorsPerUnit);
    for (int i = 0; i < total; ++i) {
      all += shared.today + " " + Value(u, i) + " " + Sensor(i) + "\r\n";
      bySensor[i % kSensorsPerUnit] += shared.today + " " + Value(u, i) + "\r\n";
    }
    std::string dir = shared.program.Path("log/" + Unit(u) + "/");
    if (ReadWholeFile(dir + "alllog.dat") != all)
      Fail(Unit(u) + "/alllog.dat differs from what was sent");
    for (int s = 0; s < kSensorsPerUnit; ++s)
      if (ReadWholeFile(dir + Sensor(s) + ".dat") != bySensor[s])
        Fail(Unit(u) + "/" + Sensor(s) + ".dat differs");
  }
}

void CheckReports(Shared& shared) {
  std::string reports = shared.program.StandardError();
  std::size_t start = 0;
  for (std::size_t end; (end = reports.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = reports.substr(start, end - start);
    // Each restart leaves one line with its cause; any other line is a failure.
    if (line.find(" datacontroller: ") != std::string::npos &&
        line.find(" datacontroller: Restarting: ") == std::string::npos)
      Fail("failure reported: " + line);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int perUnit = argc > 1 ? std::atoi(argv[1]) : 20000;
  Shared shared;
  shared.program.SetEnvironment("LC_ALL", "C");  // dates as m/d/yy, as written here
  SeedOldData(shared);
  shared.program.Start();
  if (!shared.program.WaitForUnitPort() || !shared.program.WaitForFileTransferPort())
    throw std::runtime_error("the program did not start: " + shared.program.StandardError());
  CheckStartUpSweep(shared);
  std::atomic<bool> stopSampling{false};
  std::thread sampler(SamplePeakMemory, std::ref(shared), std::ref(stopSampling));

  std::vector<int> serials(kCameraUnits, 0);
  auto units = ConnectUnits();
  for (int u = 0; u < kCameraUnits; ++u) {
    units[u]->SendText("DU_MAKESUDIR");
    units[u]->SendText("DU_MAKECAMDIR camera_cam0");
    AwaitCheck((units[u]->SendText("DU_CHECK"), *units[u]));
  }
  auto start = Clock::now();
  double sending = RunPhase(shared, units, 0, perUnit / 2, serials);
  CheckFetchedLogs(shared);
  PutBackOldLines(shared);
  Restart(shared, std::move(units.front()));
  units = ConnectUnits();
  sending += RunPhase(shared, units, perUnit / 2, perUnit, serials);
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  CheckFetchedLogs(shared);
  CheckRecords(shared, perUnit);
  CheckReports(shared);
  stopSampling = true;
  sampler.join();
  shared.program.StopAll();

  std::printf("records:     %8d in %.1f s of sending: %8.0f records/s\n", kSensorUnits * perUnit,
              sending, kSensorUnits * perUnit / sending);
  std::printf("transfers:   %8ld in %.1f s:            %8.1f transfers/s\n",
              shared.transfers.load(), elapsed, shared.transfers / elapsed);
  std::int64_t peak = 0;
  for (const auto& [pid, kib] : shared.peakKiB) peak = std::max(peak, kib);
  std::printf("peak RSS:    %8lld KiB (the highest of the instances sampled)\n",
              static_cast<long long>(peak));
  std::printf("failures:    %8d\n", failures);
  if (failures > 0)
    std::fprintf(stderr, "the program's standard error:\n%s",
                 shared.program.StandardError().c_str());
  return failures == 0 ? 0 : 1;
}
