// The options beyond the block size, packet by packet from a raw UDP peer:
// which are acknowledged and how, the transfer size in both directions, the
// client's timeout as the session's wait, and windows in both directions
// (losses inside a window, a lost last acknowledgement, bounded retries).
#include <gtest/gtest.h>

#include "tftp/tftp_session_options.h"
#include "tftp_test_support.h"

namespace tftp_test {
namespace {

const std::string z(1, '\0');

std::string OptionAck(const std::vector<std::pair<std::string, std::string>>& options) {
  std::string packet = Word(6);
  for (const auto& [name, value] : options) packet += name + z + value + z;
  return packet;
}

class OptionSessionTest : public RawPeerTest {
 protected:
  OptionSessionTest() : RawPeerTest(600) {}
  // The numbers of the next count data blocks; none may follow at once.
  std::vector<uint16_t> Blocks(size_t count) {
    std::vector<uint16_t> numbers;
    for (size_t i = 0; i < count; ++i) {
      Datagram d = Next();
      EXPECT_EQ(OpcodeOf(d), 3) << PayloadOf(d);
      numbers.push_back(BlockOf(d));
    }
    EXPECT_FALSE(peer_.Receive(150).has_value()) << "more than the window went out";
    return numbers;
  }
  void ExpectQuiet(int ms = 200) {
    EXPECT_FALSE(peer_.Receive(ms).has_value()) << "unexpected answer";
  }
};

using Numbers = std::vector<uint16_t>;

TEST(OptionNegotiationTest, RangesOfTimeoutWindowAndTransferSize) {
  EXPECT_EQ(NegotiateOptions({{"timeout", "1"}}).AnswerWaitMs, 1000);
  EXPECT_EQ(NegotiateOptions({{"TIMEOUT", "255"}}).Acknowledged, (OptionList{{"TIMEOUT", "255"}}));
  for (std::string bad : {"0", "256", "2.5", "x"}) {
    SessionOptions options = NegotiateOptions({{"timeout", bad}});
    EXPECT_TRUE(options.Acknowledged.empty()) << bad;
    EXPECT_FALSE(options.ClientChoseWait) << bad;
    EXPECT_EQ(options.AnswerWaitMs, 1500) << bad;
  }
  for (std::string bad : {"0", "65536", "8x"}) {
    SessionOptions options = NegotiateOptions({{"windowsize", bad}});
    EXPECT_TRUE(options.Acknowledged.empty()) << bad;
    EXPECT_EQ(options.WindowSize, 1) << bad;
  }
  EXPECT_EQ(NegotiateOptions({{"windowsize", "1"}}).Acknowledged,
            (OptionList{{"windowsize", "1"}}));
  EXPECT_EQ(NegotiateOptions({{"windowsize", "64"}}).WindowSize, 64);
  SessionOptions large = NegotiateOptions({{"windowsize", "65535"}});
  EXPECT_EQ(large.WindowSize, 64);
  EXPECT_EQ(large.Acknowledged, (OptionList{{"windowsize", "64"}}));

  SessionOptions write = NegotiateOptions({{"tsize", "123456"}}, true);
  EXPECT_EQ(write.AnnouncedSize, 123456);
  EXPECT_EQ(write.Acknowledged, (OptionList{{"tsize", "123456"}}));
  EXPECT_EQ(NegotiateOptions({{"tsize", "99999999999999999999999"}}, true).AnnouncedSize,
            SessionOptions::kSizeBeyondCount);
  EXPECT_TRUE(NegotiateOptions({{"tsize", "-3"}}, true).Acknowledged.empty());
  SessionOptions read = NegotiateOptions({{"blksize", "1024"}, {"tsize", "0"}}, false);
  read.SettleTransferSize(70000);
  EXPECT_EQ(read.Acknowledged, (OptionList{{"blksize", "1024"}, {"tsize", "70000"}}));
  read.SettleTransferSize(-1);
  EXPECT_EQ(read.Acknowledged, (OptionList{{"blksize", "1024"}}));
}

TEST_F(OptionSessionTest, OptionAckListsWhatWasAgreedInTheClientsOrderAndSpelling) {
  WriteFile(tree_.At("log/o.dat"), SampleBytes(3000));
  Datagram oack = Start(Request(1, "log/o.dat", "octet",
                                {{"WindowSize", "500"},
                                 {"colour", "red"},
                                 {"TSize", "0"},
                                 {"timeout", "0"},
                                 {"Timeout", "2"},
                                 {"blksize", "100"}}));
  EXPECT_EQ(oack.Bytes, OptionAck({{"WindowSize", "64"}, {"TSize", "3000"}, {"blksize", "100"}}))
      << "a repeated option counts once, as first sent";
  peer_.Send(oack.Port, Error(0, "enough"));
  Next();
  Datagram both = Start(Request(1, "log/o.dat", "octet", {{"tsize", "0"}, {"timeout", "2"}}));
  EXPECT_EQ(both.Bytes, OptionAck({{"tsize", "3000"}, {"timeout", "2"}}));
  peer_.Send(both.Port, Ack(0));
  EXPECT_EQ(Next().Bytes.size(), 516u) << "no block size asked: 512-byte blocks";
  peer_.Send(both.Port, Error(0, "enough"));
  Next();
}

TEST_F(OptionSessionTest, OnlyABlockSizeKeepsTheLockStepExchange) {
  const std::string content = SampleBytes(2500);
  WriteFile(tree_.At("log/b.dat"), content);
  Datagram oack = Start(Request(1, "log/b.dat", "octet", {{"blksize", "1024"}}));
  EXPECT_EQ(oack.Bytes, Word(6) + "blksize" + z + "1024" + z);
  peer_.Send(oack.Port, Ack(0));
  EXPECT_EQ(Next().Bytes, Data(1, content.substr(0, 1024)));
  ExpectQuiet();
  peer_.Send(oack.Port, Ack(1));
  EXPECT_EQ(Next().Bytes, Data(2, content.substr(1024, 1024)));
  EXPECT_EQ(Next(1500).Bytes, Data(2, content.substr(1024, 1024))) << "the wait resends it";
  peer_.Send(oack.Port, Ack(2));
  EXPECT_EQ(Next().Bytes, Data(3, content.substr(2048)));
  peer_.Send(oack.Port, Ack(3));
  EXPECT_TRUE(AwaitSessionsEnded());

  Datagram wack = Start(Request(2, "config/b.ini", "octet", {{"blksize", "8"}}));
  EXPECT_EQ(wack.Bytes, Word(6) + "blksize" + z + "8" + z);
  for (uint16_t block = 1; block <= 3; ++block) {
    peer_.Send(wack.Port, Data(block, block < 3 ? "abcdefgh" : "xy"));
    EXPECT_EQ(Next().Bytes, Ack(block)) << "each block acknowledged at once";
  }
  EXPECT_TRUE(AwaitSessionsEnded());
  EXPECT_EQ(ReadFile(tree_.At("config/b.ini")), "abcdefghabcdefghxy");
}

TEST_F(OptionSessionTest, ReadOfAnEmptyFileLeavesTheSizeOut) {
  WriteFile(tree_.At("log/empty"), "");
  Datagram first = Start(Request(1, "log/empty", "octet", {{"tsize", "0"}}));
  EXPECT_EQ(first.Bytes, Data(1, ""));
  peer_.Send(first.Port, Ack(1));
  // Ended first: from the same port, a request while its session has not yet
  // heard the ACK would count as a repeat of the first.
  EXPECT_TRUE(AwaitSessionsEnded());
  Datagram oack = Start(Request(1, "log/empty", "octet", {{"tsize", "0"}, {"blksize", "600"}}));
  EXPECT_EQ(oack.Bytes, OptionAck({{"blksize", "600"}}));
  peer_.Send(oack.Port, Ack(0));
  EXPECT_EQ(Next().Bytes, Data(1, ""));
  peer_.Send(oack.Port, Ack(1));
  EXPECT_TRUE(AwaitSessionsEnded());
}

TEST_F(OptionSessionTest, WriteEchoesItsSizeAndIsRefusedBeforeEmptyingWhenTheDiskCannotHoldIt) {
  Datagram oack = Start(Request(2, "config/s.ini", "octet", {{"tsize", "5"}}));
  EXPECT_EQ(oack.Bytes, OptionAck({{"tsize", "5"}}));
  peer_.Send(oack.Port, Data(1, "hello"));
  EXPECT_EQ(Next().Bytes, Ack(1));
  EXPECT_TRUE(AwaitSessionsEnded());
  EXPECT_EQ(ReadFile(tree_.At("config/s.ini")), "hello");

  for (std::string huge : {"900000000000000000", "99999999999999999999999999"}) {
    Datagram refusal =
        Start(Request(2, "config/s.ini", "octet", {{"blksize", "1024"}, {"tsize", huge}}));
    EXPECT_EQ(refusal.Port, server_.Port());
    const std::string bytes = huge.size() > 18 ? "more" : huge;
    EXPECT_EQ(refusal.Bytes,
              Error(3, "Not enough free space for config/s.ini (" + bytes + " bytes)"));
    EXPECT_EQ(ReadFile(tree_.At("config/s.ini")), "hello") << "the file was emptied";
  }
  Datagram fresh = Start(Request(2, "config/new.ini", "octet", {{"tsize", "900000000000000000"}}));
  EXPECT_EQ(OpcodeOf(fresh), 5);
  EXPECT_FALSE(FileExists(tree_.At("config/new.ini")));
}

// The server's own wait is a minute here: only the client's timeout can make
// the session resend and give up within the few seconds the test waits.
TEST(OptionTimeoutTest, ClientsTimeoutIsAcknowledgedAndBecomesTheWait) {
  TempTree tree;
  RunningServer server(tree, 60000);
  RawPeer peer;
  WriteFile(tree.At("log/t.dat"), SampleBytes(700));
  peer.Send(server.Port(), Request(1, "log/t.dat", "octet", {{"timeout", "1"}}));
  Datagram oack = peer.Receive().value_or(Datagram{});
  EXPECT_EQ(oack.Bytes, OptionAck({{"timeout", "1"}}));
  EXPECT_EQ(peer.Receive(5000).value_or(Datagram{}).Bytes, oack.Bytes);
  EXPECT_EQ(peer.Receive(5000).value_or(Datagram{}).Bytes, oack.Bytes);
  EXPECT_EQ(peer.Receive(5000).value_or(Datagram{}).Bytes, Error(4, "Timeout"));
  EXPECT_TRUE(AwaitSessionsEnded());
}

// A forged request names the longest timeout to hold its session: until the
// peer answers, the session keeps the server's own wait.
TEST(OptionTimeoutTest, UnconfirmedSessionKeepsTheDefaultWaitWhateverTimeoutItNamed) {
  TempTree tree;
  RunningServer server(tree, 1000);
  server.Server->SetActive(false);
  server.Server->SetAnswerWaitMs(1000, 255000);
  server.Server->SetActive(true);
  RawPeer peer;
  WriteFile(tree.At("log/t.dat"), SampleBytes(700));
  peer.Send(server.Port(), Request(1, "log/t.dat", "octet", {{"timeout", "255"}}));
  Datagram oack = peer.Receive().value_or(Datagram{});
  EXPECT_EQ(oack.Bytes, OptionAck({{"timeout", "255"}}));
  EXPECT_EQ(peer.Receive(5000).value_or(Datagram{}).Bytes, oack.Bytes);
  peer.Send(oack.Port, Error(0, "enough"));
  EXPECT_TRUE(AwaitSessionsEnded());
}

// 11 blocks of 512 bytes (the last one short) in windows of 4.
TEST_F(OptionSessionTest, SendWindowResendsFromTheBlockAfterTheLastAcknowledged) {
  const std::string content = SampleBytes(10 * 512 + 100);
  WriteFile(tree_.At("log/w.dat"), content);
  Datagram oack = Start(Request(1, "log/w.dat", "octet", {{"windowsize", "4"}}));
  EXPECT_EQ(oack.Bytes, OptionAck({{"windowsize", "4"}}));
  const uint16_t port = oack.Port;
  peer_.Send(port, Ack(0));
  EXPECT_EQ(Blocks(4), (Numbers{1, 2, 3, 4}));
  peer_.Send(port, Ack(2));  // block 3 was "lost"
  EXPECT_EQ(Blocks(4), (Numbers{3, 4, 5, 6}));
  peer_.Send(port, Ack(2));  // late duplicates change nothing
  peer_.Send(port, Ack(1));
  ExpectQuiet();
  peer_.Send(port, Ack(6));
  EXPECT_EQ(Blocks(4), (Numbers{7, 8, 9, 10}));
  // Nothing comes back: after the wait the window goes out again from 7.
  EXPECT_EQ(Blocks(4), (Numbers{7, 8, 9, 10}));
  peer_.Send(port, Ack(8));
  std::string tail;
  for (uint16_t expected : {9, 10, 11}) {
    Datagram d = Next();
    EXPECT_EQ(BlockOf(d), expected);
    tail += PayloadOf(d);
  }
  EXPECT_EQ(tail, content.substr(8 * 512));
  peer_.Send(port, Ack(11));
  EXPECT_TRUE(AwaitSessionsEnded());
  ExpectQuiet();
}

TEST_F(OptionSessionTest, SendWindowWithALostLastAcknowledgementResendsTheUnacknowledgedBlocks) {
  WriteFile(tree_.At("log/l.dat"), SampleBytes(2 * 512 + 76));
  Datagram oack = Start(Request(1, "log/l.dat", "octet", {{"windowsize", "8"}}));
  peer_.Send(oack.Port, Ack(0));
  EXPECT_EQ(Blocks(3), (Numbers{1, 2, 3}));
  EXPECT_EQ(Blocks(3), (Numbers{1, 2, 3})) << "the acknowledgement of 3 was lost";
  peer_.Send(oack.Port, Ack(3));
  EXPECT_TRUE(AwaitSessionsEnded());
}

TEST_F(OptionSessionTest, SendWindowRetriesAreBoundedByThreeSends) {
  WriteFile(tree_.At("log/r.dat"), SampleBytes(20 * 512));
  Datagram oack = Start(Request(1, "log/r.dat", "octet", {{"windowsize", "4"}, {"timeout", "1"}}));
  peer_.Send(oack.Port, Ack(0));
  for (int send = 0; send < 3; ++send) EXPECT_EQ(Blocks(4), (Numbers{1, 2, 3, 4})) << send;
  EXPECT_EQ(Next().Bytes, Error(4, "Timeout"));
  EXPECT_TRUE(AwaitSessionsEnded());
}

TEST_F(OptionSessionTest, WindowOfOneIsLockStep) {
  const std::string content = SampleBytes(1100);
  WriteFile(tree_.At("log/one.dat"), content);
  Datagram oack = Start(Request(1, "log/one.dat", "octet", {{"windowsize", "1"}}));
  EXPECT_EQ(oack.Bytes, OptionAck({{"windowsize", "1"}}));
  peer_.Send(oack.Port, Ack(0));
  EXPECT_EQ(Blocks(1), (Numbers{1}));
  peer_.Send(oack.Port, Ack(0));
  ExpectQuiet();
  peer_.Send(oack.Port, Ack(1));
  EXPECT_EQ(Blocks(1), (Numbers{2}));
  peer_.Send(oack.Port, Ack(2));
  EXPECT_EQ(Next().Bytes, Data(3, content.substr(1024)));
  peer_.Send(oack.Port, Ack(3));

  Datagram wack =
      Start(Request(2, "config/one.ini", "octet", {{"windowsize", "1"}, {"blksize", "8"}}));
  peer_.Send(wack.Port, Data(1, "abcdefgh"));
  EXPECT_EQ(Next().Bytes, Ack(1));
  peer_.Send(wack.Port, Data(3, "ahead"));
  EXPECT_EQ(Next().Bytes, Ack(1));
  peer_.Send(wack.Port, Data(3, "ahead"));
  EXPECT_EQ(Next().Bytes, Ack(1)) << "in lock step every stray block is answered";
  peer_.Send(wack.Port, Data(2, "z"));
  EXPECT_EQ(Next().Bytes, Ack(2));
  EXPECT_TRUE(AwaitSessionsEnded());
  EXPECT_EQ(ReadFile(tree_.At("config/one.ini")), "abcdefghz");
}

// Blocks of 8 bytes in windows of 4.
TEST_F(OptionSessionTest, ReceiveWindowAcknowledgesFullWindowsGapsAndALostLastAcknowledgement) {
  const std::string content = SampleBytes(9 * 8 + 3, 4);
  auto block = [&](uint16_t n) { return Data(n, content.substr((n - 1) * 8u, 8)); };
  Datagram oack =
      Start(Request(2, "config/w.ini", "octet", {{"blksize", "8"}, {"windowsize", "4"}}));
  EXPECT_EQ(oack.Bytes, OptionAck({{"blksize", "8"}, {"windowsize", "4"}}));
  const uint16_t port = oack.Port;
  for (uint16_t n = 1; n <= 3; ++n) peer_.Send(port, block(n));
  ExpectQuiet();
  peer_.Send(port, block(4));
  EXPECT_EQ(Next().Bytes, Ack(4)) << "one acknowledgement per full window";
  ExpectQuiet();
  peer_.Send(port, block(5));
  peer_.Send(port, block(7));  // 6 was lost
  EXPECT_EQ(Next().Bytes, Ack(5));
  peer_.Send(port, block(8));
  ExpectQuiet();               // the rest of the burst repeats the question
  peer_.Send(port, block(4));  // an old block: a new burst
  EXPECT_EQ(Next().Bytes, Ack(5));
  for (uint16_t n = 6; n <= 9; ++n) peer_.Send(port, block(n));
  EXPECT_EQ(Next().Bytes, Ack(9));
  peer_.Send(port, Data(10, content.substr(72)));
  EXPECT_EQ(Next().Bytes, Ack(10)) << "the short last block is acknowledged at once";
  peer_.Send(port, Data(10, content.substr(72)));  // that acknowledgement was lost
  EXPECT_EQ(Next().Bytes, Ack(10));
  EXPECT_TRUE(AwaitSessionsEnded());
  EXPECT_EQ(ReadFile(tree_.At("config/w.ini")), content);
}

TEST_F(OptionSessionTest, ReceiveWindowResendsItsAcknowledgementWhenTheWindowStalls) {
  Datagram oack =
      Start(Request(2, "config/st.ini", "octet", {{"blksize", "8"}, {"windowsize", "4"}}));
  peer_.Send(oack.Port, Data(1, "12345678"));
  peer_.Send(oack.Port, Data(2, "abcdefgh"));
  EXPECT_EQ(Next().Bytes, Ack(2)) << "after the wait, the last block in order";
  peer_.Send(oack.Port, Data(3, "!"));
  EXPECT_EQ(Next().Bytes, Ack(3));
  EXPECT_TRUE(AwaitSessionsEnded());
  EXPECT_EQ(ReadFile(tree_.At("config/st.ini")), "12345678abcdefgh!");
}

}  // namespace
}  // namespace tftp_test
