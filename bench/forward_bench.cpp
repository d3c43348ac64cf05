// Forwarding to a broker (Debian's mosquitto on a free port), side by side
// in one run:
//  1. ingest: 20 registered units send DU_SAVELOG records to the real
//     datacontroller without --mqtt and with it, alternating, ROUNDS times;
//     records stored per second (every record must be in its files);
//  2. drain: a backlog of BACKLOG records in 20 units' combined logs,
//     forwarded by the forwarder until the broker acknowledged all, against
//     a floor of the same number of QoS 1 messages of the same size published
//     straight through libmosquitto with the same window.
//
//   forward_bench [RECORDS_PER_UNIT [ROUNDS [BACKLOG]]]   (defaults 20000 2 1000000)
//   (the data unit's ports are fixed: run it alone, e.g. under unshare -n)
#include <mosquitto.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../tests/e2e/program_under_test.h"
#include "../tests/forward/broker_fixture.h"
#include "forward/broker_forwarder.h"
#include "forward/broker_session.h"
#include "forward/forward_counters.h"
#include "store/forward_ledger.h"
#include "unit_connection.h"
#include "unit_flood.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kUnits = 20;

double IngestRate(int perUnit, const std::vector<std::string>& arguments) {
  ProgramUnderTest program;
  program.SetArguments(arguments);
  program.Start();
  if (!program.WaitForUnitPort())
    throw std::runtime_error("the program did not start: " + program.StandardError());
  std::vector<std::unique_ptr<UnitConnection>> units;
  for (int u = 0; u < kUnits; ++u) {
    units.push_back(std::make_unique<UnitConnection>("127.0.0.1", ProgramUnderTest::kUnitPort));
    units.back()->Register("SU" + std::to_string(u));
  }
  auto start = Clock::now();
  std::vector<std::thread> senders;
  for (int u = 0; u < kUnits; ++u)
    senders.emplace_back(SendRecords, std::ref(*units[u]), u, perUnit);
  for (auto& sender : senders) sender.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (int u = 0; u < kUnits; ++u)
    if (CountLines(program.Path("log/SU" + std::to_string(u) + "/alllog.dat")) !=
        static_cast<std::size_t>(perUnit))
      throw std::runtime_error("records were lost");
  program.StopAll();
  return kUnits * perUnit / seconds;
}

BrokerSettings Settings(const TestBroker& broker) {
  BrokerSettings settings;
  settings.ReadUrl(broker.Url());
  settings.ReadTopicPrefix("bench");
  return settings;
}

double DrainSeconds(const TestBroker& broker, long long backlog) {
  std::string root = fs::temp_directory_path() / "dc-forward-bench";
  fs::remove_all(root);
  for (int u = 0; u < kUnits; ++u) {
    fs::create_directories(root + "/log/SU" + std::to_string(u));
    std::ofstream out(root + "/log/SU" + std::to_string(u) + "/alllog.dat");
    for (long long i = u; i < backlog; i += kUnits) out << Record(u, i).substr(3) << " T1\r\n";
  }
  ForwardCounters& counters = ForwardCounters::Process();
  long long before = counters.recordsForwarded;
  auto start = Clock::now();
  {
    ForwardLedger ledger(root);
    BrokerForwarder::Setup setup;
    setup.broker = Settings(broker);
    setup.hostLogDirectory = root + "/log";
    setup.hostAlarmDirectory = root + "/alarms";
    setup.allLogName = "alllog.dat";
    setup.dataExt = ".dat";
    BrokerForwarder forwarder(setup, ledger);
    while (counters.recordsForwarded - before < backlog) std::this_thread::sleep_for(10ms);
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  fs::remove_all(root);
  return seconds;
}

// The same number of messages of the same size, straight from memory.
double FloorSeconds(const TestBroker& broker, long long count) {
  BrokerSession session(Settings(broker));
  while (!session.Connected() && session.Step(10)) {
  }
  std::string payload(150, 'x');
  auto start = Clock::now();
  long long sent = 0, acked = 0;
  while (acked < count) {
    while (sent < count && sent - acked < static_cast<long long>(BrokerForwarder::kWindow)) {
      session.Publish("bench/SU1/T1", payload, false);
      ++sent;
    }
    session.Step(sent - acked < static_cast<long long>(BrokerForwarder::kWindow) ? 0 : 20);
    acked += static_cast<long long>(session.TakeAcknowledged().size());
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) try {
  int perUnit = argc > 1 ? std::atoi(argv[1]) : 20000;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
  long long backlog = argc > 3 ? std::atoll(argv[3]) : 1000000;
  TestBroker broker;
  for (int round = 1; round <= rounds; ++round) {
    double off = IngestRate(perUnit, {});
    double on = IngestRate(perUnit, {"--mqtt", broker.Url(), "--mqtt-topic", "bench"});
    std::printf("round %d: ingest without forwarding %8.0f records/s, with %8.0f (ratio %.2f)\n",
                round, off, on, on / off);
  }
  double floor = FloorSeconds(broker, backlog);
  double drain = DrainSeconds(broker, backlog);
  std::printf(
      "backlog of %lld records: drained in %.1f s (%.0f records/s); bare QoS 1 publishing "
      "%.1f s (ratio %.2f)\n",
      backlog, drain, backlog / drain, floor, drain / floor);
  return 0;
} catch (const std::exception& failure) {
  std::fprintf(stderr, "forward_bench: %s\n", failure.what());
  return 1;
}
