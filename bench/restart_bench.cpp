// Restart downtime of the real datacontroller (fixed ports: run it alone, as
// root under `unshare -n` or on an idle machine): the time from a unit's
// reset connection (which restarts the program) until both ports serve
// again, against the baseline of a cold start (program launched until both
// ports serve), measured in the same run. No transfer is under way; one under
// way delays the new instance until it ends, at most the ending limit. Each
// restart runs in a program of its own: a second connection error within 30 s
// of a restart does not restart the program.
//
//   restart_bench [RESTARTS]   (default 20)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "../tests/e2e/program_under_test.h"
#include "unit_connection.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

bool BothPortsServe() {
  return ProgramUnderTest::UnitPortListening() && ProgramUnderTest::FileTransferPortBound();
}

double Milliseconds(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Polls every 0.2 ms: the figures are a few milliseconds.
bool PollUntil(bool (*condition)(), std::chrono::seconds wait) {
  const auto deadline = Clock::now() + wait;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    ::usleep(200);
  }
  return true;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// One restart: from the reset until both ports serve again (having been closed).
double RestartDowntime() {
  auto unit = std::make_unique<UnitConnection>("127.0.0.1", ProgramUnderTest::kUnitPort);
  unit->Register("SU9");
  unit->SendText("DU_CHECK");
  if (unit->NextText(5s) != "CHECK") std::exit(1);
  unit->ResetOnClose();
  const auto reset = Clock::now();
  unit.reset();
  if (!PollUntil([] { return !ProgramUnderTest::UnitPortListening(); }, 10s)) std::exit(1);
  if (!PollUntil(BothPortsServe, 30s)) std::exit(1);
  return Milliseconds(reset);
}

}  // namespace

int main(int argc, char** argv) {
  const int restarts = argc > 1 ? std::atoi(argv[1]) : 20;
  std::vector<double> cold, downtime;
  for (int run = 0; run < restarts; ++run) {
    ProgramUnderTest program;
    program.SetEnvironment("QT_QPA_PLATFORM", "offscreen");
    const auto launched = Clock::now();
    program.Start();
    if (!PollUntil(BothPortsServe, 30s)) return 1;
    cold.push_back(Milliseconds(launched));
    downtime.push_back(RestartDowntime());
    program.StopAll();
  }
  const double coldMs = Median(cold), downMs = Median(downtime);
  std::printf("cold start (launch to both ports), median of %zu: %.1f ms\n", cold.size(), coldMs);
  std::printf("restart downtime (reset to both ports), median of %zu: %.1f ms, max %.1f ms\n",
              downtime.size(), downMs, *std::max_element(downtime.begin(), downtime.end()));
  std::printf("restart / cold start: %.2f\n", downMs / coldMs);
  return 0;
}
