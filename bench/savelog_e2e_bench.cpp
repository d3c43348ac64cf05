// DU_SAVELOG end to end: 20 registered units send records over TCP to the
// real datacontroller (fixed ports: run it alone); records stored per second
// against the data store's own SaveLogRecord rate, measured in the same run.
// Afterwards every unit's files are counted: no record may be lost.
//
//   savelog_e2e_bench [RECORDS_PER_UNIT]   (default 20000)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "../tests/e2e/program_under_test.h"
#include "store/data_controller.h"
#include "unit_connection.h"
#include "unit_flood.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kUnits = 20;

double StoreRate(int records) {
  char pattern[] = "/tmp/dc-bench-store-XXXXXX";
  std::string root = ::mkdtemp(pattern);
  fs::create_directory(root + "/log");
  double seconds;
  {
    TDataController store(root);
    store.UseStandardNames();
    auto start = Clock::now();
    for (int i = 0; i < records; ++i)
      store.SaveLogRecord(Record(i % kUnits, i), "SU" + std::to_string(i % kUnits));
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
  }
  fs::remove_all(root);
  return records / seconds;
}

double EndToEndRate(int perUnit, std::size_t& lost) {
  ProgramUnderTest program;
  program.Start();
  if (!program.WaitForUnitPort())
    throw std::runtime_error("the program did not start: " + program.StandardError());
  std::vector<std::unique_ptr<UnitConnection>> units;
  for (int u = 0; u < kUnits; ++u) {
    units.push_back(std::make_unique<UnitConnection>("127.0.0.1", ProgramUnderTest::kUnitPort));
    units.back()->Register("SU" + std::to_string(u));
    units.back()->SendText("DU_CHECK");
    units.back()->NextText(10s);
  }
  auto start = Clock::now();
  std::vector<std::thread> senders;
  for (int u = 0; u < kUnits; ++u)
    senders.emplace_back(SendRecords, std::ref(*units[u]), u, perUnit);
  for (auto& sender : senders) sender.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  lost = 0;
  for (int u = 0; u < kUnits; ++u) {
    std::size_t stored = CountLines(program.Path("log/SU" + std::to_string(u) + "/alllog.dat"));
    if (stored < static_cast<std::size_t>(perUnit)) lost += perUnit - stored;
  }
  program.StopAll();
  return kUnits * perUnit / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  int perUnit = argc > 1 ? std::atoi(argv[1]) : 20000;
  double store = StoreRate(kUnits * perUnit);
  std::size_t lost = 0;
  double endToEnd = EndToEndRate(perUnit, lost);
  std::printf("SaveLogRecord in-process:   %10.0f records/s\n", store);
  std::printf("DU_SAVELOG over TCP (20 units): %6.0f records/s\n", endToEnd);
  std::printf("ratio end-to-end / store:   %10.2f   (target >= 0.6)\n", endToEnd / store);
  std::printf("records lost:               %10zu\n", lost);
  return lost == 0 ? 0 : 1;
}
