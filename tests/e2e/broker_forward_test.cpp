// The real program forwarding to a real broker: its options refused as the
// others are, and records stored while the broker was away and the program
// was killed arrive once both are back, with the unit's status and /metrics.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>

#include "forward/broker_fixture.h"
#include "program_under_test.h"
#include "unit_connection.h"

using namespace std::chrono_literals;

namespace {

std::string Metrics() {
  std::string text;
  if (std::FILE* curl = ::popen("curl -s http://127.0.0.1:10078/metrics", "r")) {
    char buffer[4096];
    while (std::size_t got = std::fread(buffer, 1, sizeof buffer, curl)) text.append(buffer, got);
    ::pclose(curl);
  }
  return text;
}

TEST(BrokerForwardTest, BadBrokerOptionsEndWithStatusTwoAndAKilledProgramForwardsEverythingAfter) {
  ProgramUnderTest program;
  TestBroker broker;
  TestSubscriber subscriber(broker.Port(), "test/#");
  for (auto bad : {std::vector<std::string>{"--mqtt", "http://127.0.0.1"},
                   {"--mqtt", "mqtt://127.0.0.1:0"},
                   {"--mqtt-topic", "test/#", "--mqtt", broker.Url()},
                   {"--mqtt-credentials", "/nonexistent", "--mqtt", broker.Url()},
                   {"--mqtt-topic", "test"}}) {
    program.SetArguments(bad);
    program.Start();
    EXPECT_EQ(program.WaitForExit(), 2) << bad[0] << " " << bad[1];
    EXPECT_NE(program.StandardError().find(bad[0]), std::string::npos) << program.StandardError();
  }
  EXPECT_FALSE(std::filesystem::exists(program.Path(".datacontroller-forward")));

  broker.Stop();
  program.SetEnvironment("LC_ALL", "de_DE.UTF-8");
  program.SetArguments({"--mqtt", broker.Url(), "--mqtt-topic", "test"});
  program.Start();
  ASSERT_TRUE(program.WaitForUnitPort()) << program.StandardError();
  {
    UnitConnection unit("127.0.0.1", ProgramUnderTest::kUnitPort);
    ASSERT_EQ(unit.Register("SU1"), 0);
    char today[16];  // in the German short form, which the sweep keeps
    std::time_t now = std::time(nullptr);
    std::strftime(today, sizeof today, "%d.%m.%Y", std::localtime(&now));
    for (int n = 0; n < 200; ++n)
      unit.SendText("DU_SAVELOG T1 " + std::string(today) + " " + std::to_string(n));
    ASSERT_TRUE(WaitUntil(
        [&] {
          std::string log = ReadWholeFile(program.Path("log/SU1/alllog.dat"));
          return std::count(log.begin(), log.end(), '\n') == 200;
        },
        10s));
  }
  ::kill(program.FirstPid(), SIGKILL);
  program.WaitForExit();
  broker.Start();
  program.Start();
  ASSERT_TRUE(program.WaitForUnitPort()) << program.StandardError();
  UnitConnection unit("127.0.0.1", ProgramUnderTest::kUnitPort);
  ASSERT_EQ(unit.Register("SU1"), 0);
  EXPECT_TRUE(subscriber.WaitFor([](const std::vector<Received>& got) {
    std::set<std::string> values;
    bool online = false;
    for (const Received& message : got) {
      if (message.topic == "test/SU1/T1") values.insert(JsonField(message.payload, "value"));
      online = online || (message.topic == "test/SU1/status" &&
                          message.payload == R"({"unit":"SU1","status":"online"})");
    }
    return values.size() == 200 && online;
  }));
  EXPECT_TRUE(WaitUntil(
      [] {
        return Metrics().find("datacontroller_broker_records_forwarded_total 200\n") !=
               std::string::npos;
      },
      10s))
      << Metrics();
  EXPECT_NE(Metrics().find("datacontroller_broker_connected 1\n"), std::string::npos);
  EXPECT_NE(Metrics().find("datacontroller_broker_backlog_bytes 0\n"), std::string::npos);
}

}  // namespace
