// The broker forwarder against a real mosquitto: floods, a broker that goes
// away and comes back, a forwarder restarted or killed while it is away,
// hostile names, and the retention sweep during a backlog.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "forward/broker_fixture.h"
#include "forward/broker_forwarder.h"
#include "forward/forward_counters.h"
#include "forward/forward_message.h"
#include "store/busy_files.h"
#include "store/forward_ledger.h"
#include "store/local_calendar.h"
#include "store/retention_sweep.h"
#include "store/temp_tree.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

const ShortDateFormat kFormat = ShortDateFormat::FromPattern("%d.%m.%Y");

std::string DateDaysAgo(int days) {
  std::time_t moment = std::time(nullptr) - days * 86400;
  std::tm local{};
  ::localtime_r(&moment, &local);
  return kFormat.Format(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

bool IsStatus(const Received& message) { return message.topic.ends_with("/status"); }

// The records among messages: topic and "line" field, in arrival order.
std::vector<std::string> Lines(const std::vector<Received>& messages) {
  std::vector<std::string> lines;
  for (const Received& message : messages)
    if (!IsStatus(message))
      lines.push_back(message.topic + " " + JsonField(message.payload, "line"));
  return lines;
}

std::size_t Distinct(const std::vector<Received>& messages) {
  std::vector<std::string> lines = Lines(messages);
  return std::set<std::string>(lines.begin(), lines.end()).size();
}

class ForwarderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.MakeDir("log");
    tree_.MakeDir("alarms");
    subscriber_ = std::make_unique<TestSubscriber>(broker_.Port(), "test/#");
    forwardedBefore_ = ForwardCounters::Process().recordsForwarded;
  }
  // Records the broker acknowledged in this test. A broker started again
  // may hand its subscriber messages twice on its own; this counts the
  // forwarder's duplicates only.
  long long Forwarded() const {
    return ForwardCounters::Process().recordsForwarded - forwardedBefore_;
  }
  void TearDown() override { StopForwarder(); }

  BrokerForwarder::Setup Setup() const {
    BrokerForwarder::Setup setup;
    setup.broker.ReadUrl(broker_.Url());
    setup.broker.ReadTopicPrefix("test");
    setup.hostLogDirectory = tree_.Host("log");
    setup.hostAlarmDirectory = tree_.Host("alarms");
    setup.allLogName = "alllog.dat";
    setup.dataExt = ".dat";
    setup.format = kFormat;
    setup.notice = [](const std::string& line) {
      std::fprintf(stderr, "forwarder: %s\n", line.c_str());
    };
    return setup;
  }
  void StartForwarder() {
    ledger_ = std::make_unique<ForwardLedger>(tree_.Root());
    forwarder_ = std::make_unique<BrokerForwarder>(Setup(), *ledger_);
  }
  void StopForwarder() {
    forwarder_.reset();
    ledger_.reset();
  }
  // Appends "DATE 12:00:00 n sensor" for n in [from, to) to the unit's combined log.
  void Append(const std::string& unit, int from, int to, const std::string& date = DateDaysAgo(0),
              const std::string& sensor = "T1") {
    tree_.MakeDir("log/" + unit);
    std::ofstream out(tree_.Host("log/" + unit + "/alllog.dat"), std::ios::app | std::ios::binary);
    for (int n = from; n < to; ++n)
      out << date << " 12:00:00 " << n << " " << sensor << (n % 2 ? "\r\n" : "\n");
  }
  // Every line of the units arrived and the broker's acknowledgements of as
  // many reached the forwarder; returns the arrived lines.
  std::vector<Received> AwaitAll(std::size_t count, long long forwarded) {
    EXPECT_TRUE(subscriber_->WaitFor([&](const auto& got) {
      return Distinct(got) >= count && Forwarded() >= forwarded;
    })) << Distinct(subscriber_->Messages())
        << " of " << count;
    return subscriber_->Messages();
  }

  TempTree tree_;
  TestBroker broker_;
  std::unique_ptr<TestSubscriber> subscriber_;
  std::unique_ptr<ForwardLedger> ledger_;
  std::unique_ptr<BrokerForwarder> forwarder_;
  long long forwardedBefore_ = 0;
};

// Per unit, the numbers in first-arrival order must rise: order per sensor.
void ExpectInOrderPerUnit(const std::vector<Received>& messages) {
  std::map<std::string, long> last;
  std::set<std::string> seen;
  for (const Received& message : messages) {
    std::string line = message.topic + " " + JsonField(message.payload, "line");
    if (IsStatus(message) || !seen.insert(line).second) continue;
    long n = std::stol(JsonField(message.payload, "value"));
    EXPECT_GT(n, last.count(message.topic) ? last[message.topic] : -1) << message.topic;
    last[message.topic] = n;
  }
}

TEST_F(ForwarderTest, FloodFromSeveralUnitsArrivesEachRecordOnce) {
  StartForwarder();
  for (int batch = 0; batch < 30; ++batch)
    for (const char* unit : {"SU1", "SU2", "SU3", "SU4"})
      Append(unit, batch * 100, batch * 100 + 100);
  std::vector<Received> got = AwaitAll(4 * 3000, 4 * 3000);
  EXPECT_EQ(Lines(got).size(), 4u * 3000);
  EXPECT_EQ(Forwarded(), 4 * 3000);
  ExpectInOrderPerUnit(got);
  EXPECT_EQ(JsonField(got.back().payload, "unit"), "SU4");
}

TEST_F(ForwarderTest, BrokerStoppedMidFloodAndStartedLaterLosesNothing) {
  StartForwarder();
  std::thread writer([&] {
    for (int batch = 0; batch < 20; ++batch) {
      for (const char* unit : {"SU1", "SU2"}) Append(unit, batch * 400, batch * 400 + 400);
      std::this_thread::sleep_for(20ms);
    }
  });
  ASSERT_TRUE(subscriber_->WaitFor([](const auto& got) { return Distinct(got) >= 2000; }));
  broker_.Stop();
  std::this_thread::sleep_for(2s);
  broker_.Start();
  writer.join();
  std::vector<Received> got = AwaitAll(2 * 8000, 0);
  EXPECT_LE(Forwarded(), 2 * 8000 + static_cast<long long>(BrokerForwarder::kWindow));
  ExpectInOrderPerUnit(got);
}

TEST_F(ForwarderTest, RestartedOrKilledWhileTheBrokerIsAwayForwardsEveryStoredRecordAfter) {
  StartForwarder();
  Append("SU1", 0, 200);
  ASSERT_TRUE(subscriber_->WaitFor([&](const auto&) { return Forwarded() >= 200; }));
  broker_.Stop();
  Append("SU1", 200, 400);
  std::this_thread::sleep_for(300ms);
  StopForwarder();  // an ordered restart
  Append("SU2", 0, 300);
  StartForwarder();
  std::this_thread::sleep_for(300ms);
  StopForwarder();
  pid_t killed = ::fork();
  if (killed == 0) {
    ForwardLedger ledger(tree_.Root());
    BrokerForwarder forwarder(Setup(), ledger);
    for (;;) ::pause();
  }
  Append("SU2", 300, 600);
  std::this_thread::sleep_for(500ms);
  ::kill(killed, SIGKILL);
  ::waitpid(killed, nullptr, 0);
  broker_.Start();
  StartForwarder();
  AwaitAll(400 + 600, 1000);
  EXPECT_EQ(Forwarded(), 1000);  // nothing was in flight
}

TEST_F(ForwarderTest, HostileNamesStayInTheirTopicLevel) {
  ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  ::tzset();
  tree_.MakeDir("log/u+#%\xe9");
  tree_.Write("log/u+#%\xe9/alllog.dat",
              "06.12.2026 12:05 21,5 a/b\r\n15.06.2026 x +\r\nno date #\0\r\n"s);
  tree_.Write("alarms/fire#.dat", "06.12.2026 smoke\r\n");
  StartForwarder();
  std::vector<Received> got;
  ASSERT_TRUE(subscriber_->WaitFor([&](const auto& all) {
    got = all;
    return Lines(all).size() >= 4;
  }));
  std::map<std::string, std::string> byTopic;
  for (const Received& message : got)
    if (!IsStatus(message)) byTopic[message.topic] = message.payload;
  const std::string unit = "test/u%2B%23%25\xc3\xa9/";
  ASSERT_EQ(byTopic.count(unit + "a%2Fb"), 1u);
  ASSERT_EQ(byTopic.count(unit + "%2B"), 1u);
  ASSERT_EQ(byTopic.count(unit + "%23%00"), 1u);
  ASSERT_EQ(byTopic.count("test/alarms/alarm/fire%23"), 1u);
  EXPECT_EQ(byTopic[unit + "a%2Fb"],
            "{\"unit\":\"u+#%\xc3\xa9\",\"sensor\":\"a/b\",\"time\":\"2026-12-06T12:05:00+01:00\","
            "\"value\":\"21,5\",\"number\":21.5,\"line\":\"06.12.2026 12:05 21,5 a/b\"}");
  EXPECT_EQ(JsonField(byTopic[unit + "%2B"], "time"), "2026-06-15T00:00:00+02:00");
  EXPECT_EQ(JsonField(byTopic[unit + "%23%00"], "time"), "null");
  EXPECT_NE(byTopic[unit + "%23%00"].find("\"sensor\":\"#\\u0000\""), std::string::npos);
  EXPECT_EQ(JsonField(byTopic["test/alarms/alarm/fire%23"], "alarm"), "fire#");
}

TEST_F(ForwarderTest, SweepDuringABacklogMovesThePositionAndCountsOldLinesAsExpired) {
  const std::string old = DateDaysAgo(30);
  StartForwarder();
  Append("SU1", 0, 5, old);
  Append("SU1", 5, 10);
  ASSERT_TRUE(subscriber_->WaitFor([&](const auto&) { return Forwarded() >= 10; }));
  broker_.Stop();
  Append("SU1", 10, 15, old);
  Append("SU1", 15, 20);
  std::this_thread::sleep_for(300ms);
  SweepSettings settings;
  settings.format = kFormat;
  local_calendar::LocalTime today = local_calendar::ToLocal(std::time(nullptr));
  settings.todayDayNumber = today.dayNumber;
  settings.currentYear = today.year;
  settings.retentionDays = 7;
  settings.pictureExt = ".jpg";
  settings.dataExt = ".dat";
  settings.ledger = ledger_.get();
  settings.beforeReplace = [](const std::string& path) {  // a transfer came and went meanwhile
    BusyFiles::Mark mark = BusyFiles::Instance().TryMark(path, BusyFiles::Mode::kWrite);
  };
  RetentionSweep untouched(settings);
  untouched.Run(tree_.Host("log"));
  ASSERT_EQ(untouched.LinesRemoved(), 0);
  settings.beforeReplace = nullptr;
  RetentionSweep sweep(settings);
  sweep.Run(tree_.Host("log"));
  ASSERT_EQ(sweep.LinesRemoved(), 10);
  EXPECT_EQ(ledger_->ExpiredLines(), 5);
  broker_.Start();
  std::vector<Received> got = AwaitAll(15, 15);
  EXPECT_EQ(Forwarded(), 15);
  for (const Received& message : got) {
    if (IsStatus(message)) continue;
    const std::string line = JsonField(message.payload, "line");
    EXPECT_TRUE(line.starts_with(DateDaysAgo(0)) ||
                std::stoi(JsonField(message.payload, "value")) < 5)
        << line;
  }
}

TEST(ForwarderTlsTest, PrivateCaIsTrustedAndTheSystemStoreIsNot) {
  TestBroker broker(true);
  TempTree tree;
  tree.MakeDir("log/SU1");
  tree.Write("log/SU1/alllog.dat", "06.12.2026 1 T1\r\n");
  TestSubscriber subscriber(broker.Port(), "tls/#");
  std::mutex mutex;
  std::vector<std::string> notices;
  // Forwards until done holds for the arrived messages and the journal's lines.
  auto forward = [&](bool privateCa, auto done) {
    BrokerForwarder::Setup setup;
    setup.broker.ReadUrl("mqtts://localhost:" + std::to_string(broker.TlsPort()));
    if (privateCa) setup.broker.ReadCaFile(broker.CaFile());
    setup.broker.ReadTopicPrefix("tls");
    setup.hostLogDirectory = tree.Host("log");
    setup.hostAlarmDirectory = tree.Host("alarms");
    setup.allLogName = "alllog.dat";
    setup.dataExt = ".dat";
    setup.notice = [&](const std::string& line) {
      std::lock_guard lock(mutex);
      notices.push_back(line);
    };
    ForwardLedger ledger(tree.Root());
    BrokerForwarder forwarder(setup, ledger);
    return subscriber.WaitFor([&](const auto& got) {
      std::lock_guard lock(mutex);
      return done(got, notices);
    });
  };
  EXPECT_TRUE(forward(false, [](const auto&, const auto& told) { return !told.empty(); }));
  EXPECT_NE(notices.front().find("cannot be reached"), std::string::npos) << notices.front();
  EXPECT_TRUE(forward(true, [](const auto& got, const auto&) { return Distinct(got) == 1; }));
  EXPECT_NE(notices.back().find("Forwarding records"), std::string::npos) << notices.back();
}

}  // namespace
