// Shared by the fault tests of the real program: starts it (dates read as
// m/d/yy), connects registered units, and takes the program's descriptor and
// thread counts once it is quiet. The program ends before the units hang up
// (a unit closing with unread replies resets its connection, which restarts
// the program).
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "process_probe.h"
#include "program_under_test.h"
#include "unit_connection.h"

class FaultTest : public ::testing::Test {
 public:
  // Today as the program reads dates here (m/d/yy): records the start-up
  // sweep of a restarted instance keeps.
  static std::string Today() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return std::to_string(local.tm_mon + 1) + "/" + std::to_string(local.tm_mday) + "/" +
           std::to_string(local.tm_year % 100);
  }

 protected:
  void StartProgram() {
    program_.SetEnvironment("LC_ALL", "C");
    program_.Start();
    ASSERT_TRUE(program_.WaitForUnitPort()) << program_.StandardError();
    ASSERT_TRUE(program_.WaitForFileTransferPort()) << program_.StandardError();
    pid_ = program_.FirstPid();
  }
  UnitConnection* Unit(const std::string& name) {
    units_.push_back(std::make_unique<UnitConnection>("127.0.0.1", ProgramUnderTest::kUnitPort));
    UnitConnection* unit = units_.back().get();
    unit->Register(name);
    Settle(*unit);
    return unit;
  }
  // A DU_CHECK round trip: everything the unit sent before has been handled.
  static void Settle(UnitConnection& unit) {
    unit.SendText("DU_CHECK");
    ASSERT_EQ(unit.NextText(std::chrono::seconds(10)), "CHECK");
  }
  // True when the program's descriptors and threads come back to the counts given.
  bool BackTo(int descriptors, int threads) {
    return WaitUntil(
        [&] { return OpenDescriptorCount(pid_) == descriptors && ThreadCount(pid_) == threads; },
        std::chrono::seconds(15));
  }
  // Still the first instance, alone: nothing restarted or died.
  bool SameInstance() const {
    auto running = program_.RunningInstances();
    return running.size() == 1 && running[0] == pid_;
  }
  void TearDown() override { program_.StopAll(); }

  ProgramUnderTest program_;
  std::vector<std::unique_ptr<UnitConnection>> units_;
  pid_t pid_ = -1;
};
