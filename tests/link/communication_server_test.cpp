#include "link/communication_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "link/unit_protocol.h"
#include "link_test_support.h"

namespace {

using Clients = std::vector<std::unique_ptr<TestClient>>;

class CommunicationServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.SetPort(0);
    server_.OnClientReadText = [this](TCommunicationServer* sender, std::string text,
                                      std::string name) {
      EXPECT_EQ(sender, &server_);
      received_.push_back("text:" + name + ":" + text);
      if (text == "boom") throw std::runtime_error("handler failed");
      if (text == "restart") server_.CloseListener();  // what a restart does first
    };
    server_.OnClientReadFile = [this](TCommunicationServer*, std::string file, std::string name) {
      received_.push_back("file:" + name + ":" + file);
    };
    server_.OnClientConnectCount = [this](TCommunicationServer*) { ++count_events_; };
    server_.StartServers();
  }

  // Connects a unit and checks the slot it is told to register under.
  std::unique_ptr<TestClient> Join(int told_slot) {
    auto client = std::make_unique<TestClient>(server_.BoundPort());
    EXPECT_TRUE(client->ExpectReceived("CC_ADD_NAME " + std::to_string(told_slot) + "#"));
    return client;
  }

  void Register(TestClient& client, int slot, const std::string& name) {
    int before = count_events_;
    client.Send("CS_ADD_NAME " + std::to_string(slot) + " " + name + "#");
    ASSERT_TRUE(WaitUntil([&] { return count_events_ > before; }));
  }

  // Three units registered as A, B and C in slots 0, 1 and 2, each from its own connection.
  Clients ThreeUnits() {
    Clients units;
    const char* names[] = {"A", "B", "C"};
    for (int i = 0; i < 3; ++i) {
      units.push_back(Join(i));
      Register(*units.back(), i, names[i]);
    }
    return units;
  }

  // Text without "#", numbered so that a lost or reordered piece shows.
  static std::string LargeText(std::size_t size) {
    std::string text;
    for (int i = 0; text.size() < size; ++i) text += std::to_string(i) + " ";
    return text;
  }

  bool ReceivedCount(std::size_t count) {
    return WaitUntil([&] { return received_.size() >= count; });
  }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (int i = 0; server_.IsValidIndex(i); ++i) names.push_back(server_.NameAt(i));
    return names;
  }

  ReportRecorder reports_;
  TCommunicationServer server_;
  std::vector<std::string> received_;
  int count_events_ = 0;
};

TEST_F(CommunicationServerTest, UnitsAreToldTheirSlotAndRegisterUnderIt) {
  Clients units = ThreeUnits();
  EXPECT_EQ(server_.Connection_count(), 3);
  EXPECT_EQ(count_events_, 3);
  EXPECT_EQ(Names(), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_FALSE(server_.IsValidIndex(3));
  EXPECT_EQ(server_.NameAt(3), "");
}

TEST_F(CommunicationServerTest, EveryUnregisteredUnitIsToldOnItsOwnConnection) {
  auto first = Join(0);
  auto second = Join(0);
  EXPECT_FALSE(WaitUntil([&] { return first->Pump() || !first->Received().empty(); }, 200))
      << first->Received();
}

// After a restart every unit reconnects at once and is offered the same slot.
TEST_F(CommunicationServerTest, UnitsOfferedTheSameSlotKeepTheirOwnNamesAndTheCountStaysTrue) {
  auto first = Join(0);
  auto second = Join(0);
  Register(*first, 0, "A");
  Register(*second, 0, "B");
  Register(*second, 1, "B2");  // its own slot: renamed, not counted again
  EXPECT_EQ(Names(), (std::vector<std::string>{"A", "B2"}));
  server_.SendTextTo("A", "to A");
  server_.SendTextTo("B2", "to B");
  EXPECT_TRUE(first->ExpectReceived("CC_TEXT to A#"));
  EXPECT_TRUE(second->ExpectReceived("CC_TEXT to B#"));
  first->ShutdownWrite();
  second->ShutdownWrite();
  EXPECT_TRUE(first->ExpectClosed());
  EXPECT_TRUE(second->ExpectClosed());
  EXPECT_EQ(server_.Connection_count(), 0);
}

TEST_F(CommunicationServerTest, MessagesAreFramedAcrossReadsAndSeveralInOneRead) {
  auto unit = Join(0);
  unit->Send("CS_TEXT SU1 hel");
  ASSERT_TRUE(WaitUntil(
      [&] { return server_.Listener().ConnectionAt(0)->Input().Pending == "CS_TEXT SU1 hel"; }));
  EXPECT_TRUE(received_.empty());
  unit->Send("lo world#CS_FILE SU1 .\\log\\SU1\\a.txt#CS_TEXT SU2 x");
  ASSERT_TRUE(ReceivedCount(2));
  EXPECT_EQ(received_,
            (std::vector<std::string>{"text:SU1:hello world", "file:SU1:.\\log\\SU1\\a.txt"}));
}

TEST_F(CommunicationServerTest, FragmentsOfTwoConnectionsNeverJoin) {
  auto first = Join(0);
  auto second = Join(0);
  first->Send("CS_TEXT A he");
  ASSERT_TRUE(
      WaitUntil([&] { return server_.Listener().ConnectionAt(0)->Input().Pending.size() == 12; }));
  second->Send("CS_TEXT B x#");
  ASSERT_TRUE(ReceivedCount(1));
  first->Send("llo#");
  ASSERT_TRUE(ReceivedCount(2));
  EXPECT_EQ(received_, (std::vector<std::string>{"text:B:x", "text:A:hello"}));
}

TEST_F(CommunicationServerTest, EmptyMessagesAreSkippedAndThePassGoesOn) {
  auto unit = Join(0);
  unit->Send("##CS_TEXT SU1 a###CS_TEXT SU1 b#");
  ASSERT_TRUE(ReceivedCount(2));
  EXPECT_EQ(received_, (std::vector<std::string>{"text:SU1:a", "text:SU1:b"}));
}

TEST_F(CommunicationServerTest, FieldsAreCutAtTheFirstBlanks) {
  auto unit = Join(0);
  unit->Send("CS_TEXT SU1#CS_TEXT #CS_REMOVE_NAME#CS_UNKNOWN x#CS_TEXTSU1#CS_FILE SU1 a b.txt#");
  ASSERT_TRUE(ReceivedCount(3));
  EXPECT_EQ(received_, (std::vector<std::string>{"text::SU1", "text::", "file:SU1:a b.txt"}));
}

TEST_F(CommunicationServerTest, UnassignedEventsDropTheirMessages) {
  server_.OnClientReadFile = nullptr;
  auto unit = Join(0);
  unit->Send("CS_FILE SU1 a.txt#CS_TEXT SU1 after#");
  ASSERT_TRUE(ReceivedCount(1));
  EXPECT_EQ(received_, std::vector<std::string>{"text:SU1:after"});
}

TEST_F(CommunicationServerTest, NamesMayHoldBlanksAndRemovalClosesUp) {
  auto unit = Join(0);
  Register(*unit, 0, "A");
  Register(*unit, 1, "Unit B");
  Register(*unit, 2, "C");
  EXPECT_EQ(server_.NameAt(1), "Unit B");
  unit->Send("CS_REMOVE_NAME Unit B#");
  ASSERT_TRUE(WaitUntil([&] { return server_.Connection_count() == 2; }));
  EXPECT_EQ(Names(), (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(count_events_, 4);
}

TEST_F(CommunicationServerTest, RepliesReachTheUnitThatRegisteredTheName) {
  Clients units = ThreeUnits();
  units[1]->Send("CS_REMOVE_NAME B#");
  ASSERT_TRUE(WaitUntil([&] { return server_.Connection_count() == 2; }));
  server_.SendTextTo("C", "CU_HELLO 1");
  server_.SendTextTo("A", "CU_HELLO 2");
  EXPECT_TRUE(units[2]->ExpectReceived("CC_TEXT CU_HELLO 1#"));
  EXPECT_TRUE(units[0]->ExpectReceived("CC_TEXT CU_HELLO 2#"));
  units[1]->Pump();
  EXPECT_EQ(units[1]->Received(), "");
}

TEST_F(CommunicationServerTest, EqualNamesAreAnsweredAtTheFirstSlot) {
  auto first = Join(0);
  Register(*first, 0, "X");
  auto second = Join(1);
  Register(*second, 1, "X");
  server_.SendTextTo("X", "hi");
  EXPECT_TRUE(first->ExpectReceived("CC_TEXT hi#"));
  server_.SendTextTo("", "nobody");
  server_.SendTextTo("Y", "nobody");
  second->Pump();
  EXPECT_EQ(second->Received(), "");
  EXPECT_TRUE(reports_.Reports().empty());
}

TEST_F(CommunicationServerTest, AClosedConnectionIsToldGoodbyeAndLeavesTheTable) {
  Clients units = ThreeUnits();
  units[1]->ShutdownWrite();
  EXPECT_TRUE(units[1]->ExpectReceived("CC_REMOVE_NAME#"));
  EXPECT_TRUE(units[1]->ExpectClosed());
  EXPECT_EQ(Names(), (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(count_events_, 4);
  server_.SendTextTo("C", "still here");
  EXPECT_TRUE(units[2]->ExpectReceived("CC_TEXT still here#"));
}

TEST_F(CommunicationServerTest, ClosingTheListenerKeepsNamesAndRaisesNothing) {
  Clients units = ThreeUnits();
  server_.CloseListener();
  EXPECT_EQ(server_.Connection_count(), 3);
  EXPECT_EQ(count_events_, 3);
  server_.SendTextTo("A", "gone");  // its connection no longer exists
  EXPECT_TRUE(units[0]->ExpectClosed());
  EXPECT_TRUE(reports_.Reports().empty());
  server_.StartServers();  // a name whose connection has gone is anyone's to remove
  auto later = Join(3);
  later->Send("CS_REMOVE_NAME A#");
  EXPECT_TRUE(WaitUntil([&] { return Names() == std::vector<std::string>{"B", "C"}; }));
}

TEST_F(CommunicationServerTest, SlotsOutsideTheTableAreRefusedAndReported) {
  auto unit = Join(0);
  unit->Send("CS_ADD_NAME 20 X#CS_ADD_NAME -1 Y#CS_TEXT SU1 after#");
  ASSERT_TRUE(ReceivedCount(1));
  EXPECT_EQ(reports_.Reports(), (std::vector<std::string>{"List index out of bounds (20)",
                                                          "List index out of bounds (-1)"}));
  EXPECT_EQ(server_.Connection_count(), 0);
  EXPECT_EQ(count_events_, 0);
}

TEST_F(CommunicationServerTest, ATwentyFirstRegistrationIsRefused) {
  auto unit = Join(0);
  for (int slot = 0; slot < 20; ++slot) Register(*unit, slot, "U" + std::to_string(slot));
  auto late = Join(20);
  late->Send("CS_ADD_NAME 3 late#CS_TEXT SU1 after#");
  ASSERT_TRUE(ReceivedCount(1));
  EXPECT_EQ(reports_.Reports(), std::vector<std::string>{"List index out of bounds (20)"});
  EXPECT_EQ(server_.Connection_count(), 20);
  EXPECT_EQ(server_.NameAt(3), "U3");
}

TEST_F(CommunicationServerTest, ANonNumericSlotChangesNothingAndIsReported) {
  auto unit = Join(0);
  unit->Send("CS_ADD_NAME x Y#CS_ADD_NAME 0#CS_TEXT SU1 after#");
  ASSERT_TRUE(ReceivedCount(1));
  EXPECT_EQ(reports_.Reports(), (std::vector<std::string>{"'x' is not a valid integer value.",
                                                          "'' is not a valid integer value."}));
  EXPECT_EQ(server_.Connection_count(), 0);
  EXPECT_EQ(count_events_, 0);
}

TEST_F(CommunicationServerTest, MessagesBehindARestartInTheMiddleOfAPassAreStillCarriedOut) {
  auto unit = Join(0);
  Register(*unit, 0, "A");
  unit->Send("CS_TEXT A restart#CS_TEXT A after#");
  ASSERT_TRUE(ReceivedCount(2));
  EXPECT_EQ(received_, (std::vector<std::string>{"text:A:restart", "text:A:after"}));
  server_.SendTextTo("A", "dropped");  // no connection left to carry it
  EXPECT_TRUE(unit->ExpectClosed());
  EXPECT_EQ(unit->Received(), "");
}

TEST_F(CommunicationServerTest, MessagesBehindAFailedHandlerAreStillCarriedOut) {
  auto unit = Join(0);
  unit->Send("CS_TEXT SU1 boom#CS_TEXT SU1 next#CS_TEXT SU1 boom#CS_TEXT SU1 last#");
  ASSERT_TRUE(ReceivedCount(4));
  EXPECT_EQ(received_, (std::vector<std::string>{"text:SU1:boom", "text:SU1:next", "text:SU1:boom",
                                                 "text:SU1:last"}));
  EXPECT_EQ(reports_.Reports(), (std::vector<std::string>{"handler failed.", "handler failed."}));
}

TEST_F(CommunicationServerTest, RemovalWhileNothingIsRegisteredDoesNotStopThePass) {
  auto unit = Join(0);
  unit->Send("CS_REMOVE_NAME X#CS_TEXT SU1 go#");
  ASSERT_TRUE(ReceivedCount(1));
  EXPECT_EQ(count_events_, 0);
}

// No connection unregisters another's unit, whether it registered itself or not.
TEST_F(CommunicationServerTest, ANameIsRemovedOnlyByTheConnectionThatRegisteredIt) {
  Clients units = ThreeUnits();
  auto stranger = Join(3);
  stranger->Send("CS_REMOVE_NAME A#CS_TEXT X done#");
  units[0]->Send("CS_REMOVE_NAME Z#CS_REMOVE_NAME B#CS_TEXT A done#");
  ASSERT_TRUE(ReceivedCount(2));
  EXPECT_EQ(Names(), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(count_events_, 3);
  server_.SendTextTo("B", "still yours");
  EXPECT_TRUE(units[1]->ExpectReceived("CC_TEXT still yours#"));
}

TEST_F(CommunicationServerTest, AConnectionThatRegistersNoNameInTimeIsClosed) {
  auto unit = Join(0);
  Register(*unit, 0, "A");
  server_.SetRegistrationLimit(std::chrono::milliseconds(50));
  auto silent = Join(1);
  silent->Send("CS_TEXT X DU_CHECK#");  // speaking is not registering
  EXPECT_TRUE(silent->ExpectReceived("CC_REMOVE_NAME#"));
  EXPECT_TRUE(silent->ExpectClosed());
  EXPECT_FALSE(unit->Pump());
  EXPECT_EQ(Names(), std::vector<std::string>{"A"});
}

TEST_F(CommunicationServerTest, SixtyFourKilobytesWithoutTerminatorCloseTheConnection) {
  auto unit = Join(0);
  Register(*unit, 0, "A");
  unit->Send(std::string(64 * 1024, 'a'));
  unit->Send("bcd");
  EXPECT_TRUE(unit->ExpectReceived("CC_REMOVE_NAME#"));
  EXPECT_TRUE(unit->ExpectClosed());
  EXPECT_EQ(server_.Connection_count(), 0);
  EXPECT_TRUE(WaitUntil([&] { return server_.Listener().ConnectionCount() == 0; }));
}

// A reply far above the backlog bound, to a unit with a 4 KiB receive buffer.
TEST_F(CommunicationServerTest, AReplyOfSeveralMegabytesReachesAUnitThatReadsInFull) {
  auto unit = std::make_unique<TestClient>(server_.BoundPort(), 4096);
  ASSERT_TRUE(unit->ExpectReceived("CC_ADD_NAME 0#"));
  Register(*unit, 0, "A");
  std::string text = LargeText(5 * 1024 * 1024);
  server_.SendTextTo("A", text);
  EXPECT_TRUE(unit->ExpectReceived("CC_TEXT " + text + "#", 30000));
  EXPECT_EQ(server_.Connection_count(), 1);
}

TEST_F(CommunicationServerTest, AUnitThatHalfClosesGetsWhatIsQueuedThenGoodbye) {
  auto unit = std::make_unique<TestClient>(server_.BoundPort(), 4096);
  ASSERT_TRUE(unit->ExpectReceived("CC_ADD_NAME 0#"));
  Register(*unit, 0, "A");
  std::string text = LargeText(6 * 1024 * 1024);
  server_.SendTextTo("A", text);
  ASSERT_GT(server_.Listener().ConnectionAt(0)->QueuedBytes(), 0u);
  unit->ShutdownWrite();
  ASSERT_TRUE(WaitUntil([&] { return server_.Connection_count() == 0; }));
  EXPECT_TRUE(unit->ExpectReceived("CC_TEXT " + text + "#CC_REMOVE_NAME#", 30000));
  EXPECT_TRUE(unit->ExpectClosed());
  EXPECT_TRUE(WaitUntil([&] { return server_.Listener().ConnectionCount() == 0; }));
  EXPECT_TRUE(reports_.Reports().empty());
}

TEST_F(CommunicationServerTest, AUnitThatStopsReadingIsClosedAndLeavesTheTable) {
  server_.Listener().OutputLimits.Stall = std::chrono::milliseconds(100);
  auto unit = std::make_unique<TestClient>(server_.BoundPort(), 4096);
  ASSERT_TRUE(unit->ExpectReceived("CC_ADD_NAME 0#"));
  Register(*unit, 0, "A");
  server_.SendTextTo("A", LargeText(6 * 1024 * 1024));
  EXPECT_TRUE(WaitUntil([&] { return server_.Connection_count() == 0; }));
  EXPECT_EQ(count_events_, 2);
  EXPECT_TRUE(WaitUntil([&] { return server_.Listener().ConnectionCount() == 0; }));
}

TEST_F(CommunicationServerTest, StartingOnATakenPortRaisesTheBindMessage) {
  TCommunicationServer second;
  EXPECT_EQ(second.Port(), 10079);
  second.SetPort(server_.BoundPort());
  try {
    second.StartServers();
    FAIL() << "a taken port was opened";
  } catch (const ESocketError& failure) {
    EXPECT_NE(std::string(failure.what()).find("), on API 'bind'"), std::string::npos)
        << failure.what();
  }
  EXPECT_FALSE(second.Active());
}

// The bound is the record's own length: what a 64 KiB read left of it does not count.
TEST_F(CommunicationServerTest, ARecordLongerThanTheBoundIsRefusedWhereverItStarts) {
  const std::string fitting = "CS_TEXT A " + std::string(unit_protocol::kMaxPendingBytes - 10, 'x');
  const std::string longer = "CS_TEXT A " + std::string(100000, 'y');
  for (std::size_t lead : {std::size_t{0}, std::size_t{55000}}) {
    received_.clear();
    TestClient unit(server_.BoundPort());
    const std::string before = lead > 0 ? "CS_TEXT A " + std::string(lead, 'l') + "#" : "";
    unit.Send(before + fitting + "#" + longer + "#CS_TEXT A after#");
    EXPECT_TRUE(unit.ExpectClosed()) << lead;
    EXPECT_EQ(received_.size(), lead > 0 ? 2u : 1u) << lead;
  }
}

// Units that connect together (as after a restart) are all accepted and
// nothing they sent is lost, although the server accepts none of them until
// the event loop turns.
TEST_F(CommunicationServerTest, FortyUnitsConnectingAtOnceAreAllAcceptedAndNoRecordIsLost) {
  constexpr int kUnits = 40;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(server_.BoundPort()));
  std::vector<pollfd> units;
  for (int i = 0; i < kUnits; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    units.push_back({fd, POLLOUT, 0});
  }
  int connected = 0;
  for (int round = 0; round < 30 && connected < kUnits; ++round) {
    ::poll(units.data(), units.size(), 100);
    connected = static_cast<int>(std::count_if(units.begin(), units.end(), [](pollfd& unit) {
      return (unit.revents & POLLOUT) != 0 && (unit.revents & (POLLERR | POLLHUP)) == 0;
    }));
  }
  EXPECT_EQ(connected, kUnits);
  for (int i = 0; i < kUnits; ++i) {
    const std::string record = "CS_TEXT U" + std::to_string(i) + " record#";
    ::send(units[i].fd, record.data(), record.size(), MSG_NOSIGNAL);
    ::close(units[i].fd);
  }
  EXPECT_TRUE(ReceivedCount(kUnits));
  EXPECT_EQ(received_.size(), static_cast<std::size_t>(kUnits));
}

}  // namespace
