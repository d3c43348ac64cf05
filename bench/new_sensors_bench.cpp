// DU_CHECK latency from one unit while another creates new sensor files in
// its folder (fixed ports: run it alone, as root under `unshare -n`). Run
// against an older build of the program given as argument, then against this
// build, in one run: p50 and p99 of the lock-step DU_CHECK round trips, and
// the time until the creating unit's last record is stored.
//
//   new_sensors_bench [BEFORE_BINARY] [SENSORS]   (default: this build only, 20000)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "../tests/e2e/program_under_test.h"
#include "unit_connection.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

struct Figures {
  double p50 = 0, p99 = 0, creating = 0;
  std::size_t checks = 0;
};

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(share * values.size()))];
}

void CreateSensors(UnitConnection& unit, int sensors) {
  std::string batch;
  for (int i = 0; i < sensors; ++i) {
    batch += "CS_TEXT " + unit.Name() + " DU_SAVELOG S" + std::to_string(i) + " 06.12.2026 1#";
    if (batch.size() > 16384 || i + 1 == sensors) {
      unit.SendRaw(batch);
      batch.clear();
    }
  }
  unit.SendText("DU_CHECK");
  while (auto text = unit.NextText(600s))
    if (*text == "CHECK") return;
}

Figures Measure(const std::string& binary, int sensors) {
  ProgramUnderTest program;
  if (!binary.empty()) program.SetBinary(binary);
  program.SetEnvironment("QT_QPA_PLATFORM", "offscreen");
  program.Start();
  if (!program.WaitForUnitPort()) std::exit(1);
  UnitConnection creator("127.0.0.1", ProgramUnderTest::kUnitPort);
  UnitConnection checker("127.0.0.1", ProgramUnderTest::kUnitPort);
  creator.Register("SU1");
  checker.Register("SU2");
  std::atomic<bool> done{false};
  Figures figures;
  const auto start = Clock::now();
  std::thread creating([&] {
    CreateSensors(creator, sensors);
    figures.creating = std::chrono::duration<double>(Clock::now() - start).count();
    done = true;
  });
  std::vector<double> latencies;
  while (!done) {
    const auto sent = Clock::now();
    checker.SendText("DU_CHECK");
    if (checker.NextText(600s) != "CHECK") std::exit(1);
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    std::this_thread::sleep_for(5ms);
  }
  creating.join();
  program.StopAll();
  figures.p50 = Percentile(latencies, 0.5);
  figures.p99 = Percentile(latencies, 0.99);
  figures.checks = latencies.size();
  return figures;
}

void Print(const char* label, const Figures& f) {
  std::printf("%-7s DU_CHECK p50 %8.1f ms  p99 %8.1f ms  (%zu checks)  creating %.1f s\n", label,
              f.p50, f.p99, f.checks, f.creating);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string before = argc > 1 ? argv[1] : "";
  const int sensors = argc > 2 ? std::atoi(argv[2]) : 20000;
  std::printf("%d new sensor files from one unit, DU_CHECK from another\n", sensors);
  Figures after = Measure("", sensors);
  Print("after", after);
  if (before.empty()) return 0;
  Figures old = Measure(before, sensors);
  Print("before", old);
  std::printf("after/before: p50 %.3f  p99 %.3f  creating %.3f\n", after.p50 / old.p50,
              after.p99 / old.p99, after.creating / old.creating);
  return 0;
}
