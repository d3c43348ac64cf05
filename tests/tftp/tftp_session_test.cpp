// Transfer sessions driven packet by packet from a raw UDP peer: lock step,
// retries and time-out, duplicates, transfer IDs and block-number roll-over.
#include "tftp/tftp_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tftp_test_support.h"

namespace tftp_test {
namespace {

using SessionTest = RawPeerTest;

TEST_F(SessionTest, ReadSendsFullBlocksThenAnEmptyLastBlockFromItsOwnPort) {
  const std::string content = SampleBytes(1024);
  WriteFile(tree_.At("log/k.dat"), content);
  Datagram one = Start(Request(1, "log/k.dat", "octet"));
  EXPECT_NE(one.Port, server_.Port());
  EXPECT_EQ(one.Bytes, Data(1, content.substr(0, 512)));
  peer_.Send(one.Port, Ack(1));
  EXPECT_EQ(Next().Bytes, Data(2, content.substr(512)));
  peer_.Send(one.Port, Ack(2));
  Datagram last = Next();
  EXPECT_EQ(last.Bytes, Data(3, ""));
  EXPECT_EQ(last.Port, one.Port);
  peer_.Send(one.Port, Ack(3));
  EXPECT_TRUE(AwaitSessionsEnded());
}

TEST_F(SessionTest, EmptyFileIsOneEmptyBlock) {
  WriteFile(tree_.At("log/empty"), "");
  Datagram one = Start(Request(1, "log/empty", "octet"));
  EXPECT_EQ(one.Bytes, Data(1, ""));
  peer_.Send(one.Port, Ack(1));
  EXPECT_TRUE(AwaitSessionsEnded());
  EXPECT_FALSE(peer_.Receive(200).has_value());
}

TEST_F(SessionTest, AcknowledgementsOfOtherBlocksDoNotResendData) {
  WriteFile(tree_.At("log/s.dat"), SampleBytes(1500));
  Datagram one = Start(Request(1, "log/s.dat", "octet"));
  peer_.Send(one.Port, Ack(2));  // the first block not yet sent
  peer_.Send(one.Port, Ack(0));
  peer_.Send(one.Port, Ack(7));
  peer_.Send(one.Port, Ack(1));
  peer_.Send(one.Port, Ack(1));  // a delayed duplicate
  EXPECT_EQ(BlockOf(Next()), 2);
  EXPECT_FALSE(peer_.Receive(500).has_value()) << "a duplicate acknowledgement caused a resend";
  peer_.Send(one.Port, Ack(2));
  Datagram three = Next();
  EXPECT_EQ(BlockOf(three), 3);
  EXPECT_EQ(PayloadOf(three).size(), 1500u - 1024u);
  peer_.Send(one.Port, Ack(2));  // not the last block: the session keeps waiting
  peer_.Send(one.Port, Ack(3));
  EXPECT_TRUE(AwaitSessionsEnded());
}

// The wait for an answer shortened: the same three sends and time-out, sooner.
class SilentPeerTest : public RawPeerTest {
 protected:
  SilentPeerTest() : RawPeerTest(300) {}
};

TEST_F(SilentPeerTest, GetsThePacketThreeTimesThenTimeout) {
  WriteFile(tree_.At("log/t.dat"), SampleBytes(600));
  Datagram one = Start(Request(1, "log/t.dat", "octet"));
  EXPECT_EQ(Next().Bytes, one.Bytes);
  EXPECT_EQ(Next().Bytes, one.Bytes);
  Datagram end = Next();
  EXPECT_EQ(end.Bytes, Error(4, "Timeout"));
  EXPECT_EQ(end.Port, one.Port);
  EXPECT_TRUE(AwaitSessionsEnded());
}

TEST_F(SessionTest, PeersErrorPacketAbortsTheSession) {
  WriteFile(tree_.At("log/e.dat"), SampleBytes(2000));
  Datagram one = Start(Request(1, "log/e.dat", "octet"));
  peer_.Send(one.Port, Error(1, "stop"));
  EXPECT_EQ(Next().Bytes, Error(0, "Operation aborted"));
  EXPECT_TRUE(AwaitSessionsEnded());
}

TEST_F(SessionTest, WrongDirectionIsAnUnexpectedOperation) {
  WriteFile(tree_.At("log/u.dat"), SampleBytes(2000));
  const std::string text = "Unexpected operation from 127.0.0.1:" + std::to_string(peer_.Port());
  Datagram one = Start(Request(1, "log/u.dat", "octet"));
  peer_.Send(one.Port, Data(1, "x"));
  EXPECT_EQ(Next().Bytes, Error(4, text));
  Datagram ack = Start(Request(2, "log/v.dat", "octet"));
  peer_.Send(ack.Port, Ack(0));
  EXPECT_EQ(Next().Bytes, Error(4, text));
}

TEST_F(SessionTest, ForeignTransferIdGetsErrorFiveAndTheTransferGoesOn) {
  const std::string content = SampleBytes(700);
  WriteFile(tree_.At("log/f.dat"), content);
  RawPeer stranger;
  Datagram one = Start(Request(1, "log/f.dat", "octet"));
  stranger.Send(one.Port, Ack(1));
  Datagram refusal = stranger.Receive().value_or(Datagram{});
  EXPECT_EQ(refusal.Bytes, Error(5, "Unknown transfer ID"));
  EXPECT_EQ(refusal.Port, one.Port);
  stranger.Send(one.Port, "");
  EXPECT_EQ(stranger.Receive().value_or(Datagram{}).Bytes, Error(5, "Unknown transfer ID"));
  peer_.Send(one.Port, Ack(1));
  EXPECT_EQ(Next().Bytes, Data(2, content.substr(512)));
  peer_.Send(one.Port, Ack(2));
  EXPECT_TRUE(AwaitSessionsEnded());
}

// One spoofed error packet must not start two sessions bouncing errors.
TEST_F(SessionTest, StrangersErrorsAreNeverAnsweredAndTheirFloodIsNotMirrored) {
  const std::string content = SampleBytes(700);
  WriteFile(tree_.At("log/g.dat"), content);
  RawPeer stranger;
  Datagram one = Start(Request(1, "log/g.dat", "octet"));
  stranger.Send(one.Port, Error(5, "Unknown transfer ID"));
  EXPECT_FALSE(stranger.Receive(300).has_value()) << "an error packet was answered";
  for (int i = 0; i < 100; ++i) stranger.Send(one.Port, Ack(1));
  int answers = 0;
  while (stranger.Receive(300)) ++answers;
  EXPECT_GE(answers, 1);
  EXPECT_LE(answers, 10) << "a flood of strays was answered packet for packet";
  peer_.Send(one.Port, Ack(1));
  Datagram two = Next();
  while (BlockOf(two) == 1) two = Next();  // block 1 again after a wait: a slow run
  EXPECT_EQ(two.Bytes, Data(2, content.substr(512)));
  peer_.Send(one.Port, Ack(2));
  EXPECT_TRUE(AwaitSessionsEnded());
}

TEST_F(SessionTest, PeersErrorTextIsReadWholeAtTheSmallestBlockSize) {
  WriteFile(tree_.At("log/small.dat"), SampleBytes(100));
  Datagram oack = Start(Request(1, "log/small.dat", "octet", {{"blksize", "8"}}));
  ASSERT_EQ(OpcodeOf(oack), 6);
  peer_.Send(oack.Port, Error(0, std::string(32, 'e')));
  EXPECT_EQ(Next().Bytes, Error(0, "Operation aborted"));
  EXPECT_TRUE(AwaitSessionsEnded());
}

TEST_F(SessionTest, WriteReacknowledgesRepeatedBlocksAndWritesEachOnce) {
  const std::string full = SampleBytes(512, 3);
  Datagram zero = Start(Request(2, "log/w.dat", "octet"));
  EXPECT_EQ(zero.Bytes, Ack(0));
  peer_.Send(zero.Port, Data(1, full));
  EXPECT_EQ(Next().Bytes, Ack(1));
  peer_.Send(zero.Port, Data(1, full));  // our acknowledgement was "lost"
  EXPECT_EQ(Next().Bytes, Ack(1));
  peer_.Send(zero.Port, Data(3, "ahead"));  // not the next block
  EXPECT_EQ(Next().Bytes, Ack(1));
  peer_.Send(zero.Port, Data(2, "tail"));
  EXPECT_EQ(Next().Bytes, Ack(2));
  peer_.Send(zero.Port, Data(2, "tail"));  // the last acknowledgement was lost
  EXPECT_EQ(Next().Bytes, Ack(2));
  EXPECT_TRUE(AwaitSessionsEnded());
  EXPECT_EQ(ReadFile(tree_.At("log/w.dat")), full + "tail");
}

TEST_F(SessionTest, WriteWithBlockSizeStartsWithTheOptionAcknowledgement) {
  Datagram oack = Start(Request(2, "config/o.ini", "octet", {{"blksize", "16"}}));
  EXPECT_EQ(oack.Bytes, Word(6) + "blksize" + '\0' + "16" + '\0');
  peer_.Send(oack.Port, Data(1, "0123456789abcdef"));
  EXPECT_EQ(Next().Bytes, Ack(1));
  peer_.Send(oack.Port, Data(2, "xyz"));
  EXPECT_EQ(Next().Bytes, Ack(2));
  EXPECT_TRUE(AwaitSessionsEnded());
  EXPECT_EQ(ReadFile(tree_.At("config/o.ini")), "0123456789abcdefxyz");
}

// 65537 blocks of 8 bytes and a short one, in windows of 64: block 65535 is
// followed by block 0, then 1, in both directions.
TEST_F(SessionTest, BlockNumbersRollOverAfter65535InBothDirections) {
  const size_t blocks = 65538;
  const std::string content = SampleBytes((blocks - 1) * 8 + 3, 5);
  const std::vector<std::pair<std::string, std::string>> options = {{"blksize", "8"},
                                                                    {"windowsize", "64"}};
  WriteFile(tree_.At("log/big.dat"), content);
  Datagram packet = Start(Request(1, "log/big.dat", "octet", options));
  peer_.Send(packet.Port, Ack(0));
  std::string received;
  size_t taken = 0;
  // A block out of turn (a window sent again after a wait in a slow run) is
  // answered with the last block taken.
  while (received.size() < content.size() && OpcodeOf(packet = Next()) == 3) {
    if (BlockOf(packet) == static_cast<uint16_t>(taken + 1)) {
      ++taken;
      received += PayloadOf(packet);
      if (taken % 64 != 0 && PayloadOf(packet).size() == 8) continue;
    }
    peer_.Send(packet.Port, Ack(static_cast<uint16_t>(taken)));
  }
  EXPECT_EQ(taken, blocks);
  EXPECT_EQ(received, content);

  Datagram reply = Start(Request(2, "log/up.dat", "octet", options));
  ASSERT_EQ(OpcodeOf(reply), 6);
  for (size_t first = 0; first < blocks; first += 64) {
    const size_t end = std::min(first + 64, blocks);
    for (size_t i = first; i < end; ++i)
      peer_.Send(reply.Port, Data(static_cast<uint16_t>(i + 1), content.substr(i * 8, 8)));
    reply = Next();
    while (first > 0 && reply.Bytes == Ack(static_cast<uint16_t>(first)))
      reply = Next();  // the last window acknowledged again after a wait
    ASSERT_EQ(reply.Bytes, Ack(static_cast<uint16_t>(end))) << "window from block " << first + 1;
  }
  EXPECT_TRUE(AwaitSessionsEnded());
  EXPECT_EQ(ReadFile(tree_.At("log/up.dat")), content);
}

TEST_F(SessionTest, TwentyConcurrentReadsAreIndependent) {
  std::vector<std::string> contents;
  std::vector<std::unique_ptr<RawPeer>> peers;
  std::vector<uint16_t> ports;
  for (int i = 0; i < 20; ++i) {
    contents.push_back(SampleBytes(5000 + i * 37, 100 + i));
    WriteFile(tree_.At("log/c" + std::to_string(i)), contents.back());
    peers.push_back(std::make_unique<RawPeer>());
    peers.back()->Send(server_.Port(), Request(1, "log/c" + std::to_string(i), "octet"));
  }
  std::vector<std::string> received(20);
  std::vector<bool> done(20, false);
  for (int round = 0; round < 20; ++round) {
    for (int i = 0; i < 20; ++i) {
      if (done[i]) continue;
      Datagram block = peers[i]->Receive().value_or(Datagram{});
      ASSERT_EQ(OpcodeOf(block), 3);
      received[i] += PayloadOf(block);
      peers[i]->Send(block.Port, Ack(BlockOf(block)));
      done[i] = block.Bytes.size() < 516;
    }
  }
  for (int i = 0; i < 20; ++i) EXPECT_EQ(received[i], contents[i]) << i;
  EXPECT_TRUE(AwaitSessionsEnded());
}

class QuickSessionTest : public RawPeerTest {
 protected:
  QuickSessionTest() : RawPeerTest(200) {}
};

// A writer that repeats the block it was answered for makes no progress:
// each repeat counts as a retry, as a silent wait does.
TEST_F(QuickSessionTest, APeerThatRepeatsItselfEndsAfterThreeSendsLikeASilentOne) {
  const std::string block = SampleBytes(512);
  Datagram zero = Start(Request(2, "log/r.dat", "octet"));
  peer_.Send(zero.Port, Data(1, block));
  int acks = 0;
  Datagram answer = Next();
  for (; OpcodeOf(answer) == 4 && acks < 20; answer = Next()) {
    ++acks;
    peer_.Send(zero.Port, Data(1, block));
  }
  EXPECT_EQ(acks, 3);
  EXPECT_EQ(answer.Bytes, Error(4, "Timeout"));
  EXPECT_TRUE(AwaitSessionsEnded());
}

// A client (or a forger in its name) that repeats its request gets the first
// answer again at most three times, beside the session's own three sends.
TEST_F(QuickSessionTest, RepeatsOfARequestAreAnsweredAtMostThreeTimes) {
  const std::string write = Request(2, "log/q.dat", "octet");
  Datagram answer = Start(write);
  for (int i = 0; i < 6; ++i) peer_.Send(server_.Port(), write);
  int acks = 0;
  for (; answer.Bytes == Ack(0) && acks < 20; answer = Next()) ++acks;
  EXPECT_EQ(acks, 3 + 3);
  EXPECT_EQ(answer.Bytes, Error(4, "Timeout"));
  EXPECT_TRUE(AwaitSessionsEnded());
}

TEST_F(QuickSessionTest, TheLastBlockIsSentAgainUntilItIsAcknowledged) {
  const std::string content = SampleBytes(700);
  WriteFile(tree_.At("log/l.dat"), content);
  Datagram one = Start(Request(1, "log/l.dat", "octet"));
  peer_.Send(one.Port, Ack(1));
  EXPECT_EQ(Next().Bytes, Data(2, content.substr(512)));
  peer_.Send(one.Port, Ack(1));  // block 2 was lost: the client repeats its acknowledgement
  EXPECT_EQ(Next().Bytes, Data(2, content.substr(512)));
  peer_.Send(one.Port, Ack(2));
  EXPECT_TRUE(AwaitSessionsEnded());
  WriteFile(tree_.At("log/one.dat"), "x");
  Datagram only = Start(Request(1, "log/one.dat", "octet"));
  EXPECT_EQ(Next().Bytes, only.Bytes);
  EXPECT_EQ(Next().Bytes, only.Bytes);
  EXPECT_EQ(Next().Bytes, Error(4, "Timeout"));
}

// The client's timer ran out before the first answer reached it.
TEST_F(SessionTest, ARepeatedRequestIsAnsweredAgainByItsSession) {
  const std::string write = Request(2, "log/d.dat", "octet");
  Datagram zero = Start(write);
  Datagram again = Start(write);
  EXPECT_EQ(again.Bytes, Ack(0));
  EXPECT_EQ(again.Port, zero.Port);
  peer_.Send(zero.Port, Data(1, "done"));
  EXPECT_EQ(Next().Bytes, Ack(1));
  EXPECT_TRUE(AwaitSessionsEnded());
  EXPECT_EQ(ReadFile(tree_.At("log/d.dat")), "done");
  for (const std::string& read :
       {Request(1, "log/d.dat", "octet", {{"blksize", "600"}}), Request(1, "log/d.dat", "octet")}) {
    Datagram first = Start(read);
    Datagram repeat = Start(read);
    EXPECT_EQ(repeat.Bytes, first.Bytes);
    EXPECT_EQ(repeat.Port, first.Port);
    if (OpcodeOf(first) == 6) {
      peer_.Send(first.Port, Ack(0));
      EXPECT_EQ(Next().Bytes, Data(1, "done"));
    }
    peer_.Send(first.Port, Ack(1));
    EXPECT_TRUE(AwaitSessionsEnded());
  }
}

// 2000 strangers' datagrams over a second: four answers, then one per 100 ms.
TEST_F(SessionTest, AStrangersFloodGetsFourErrorsThenOnePerHundredMilliseconds) {
  WriteFile(tree_.At("log/h.dat"), SampleBytes(700));
  RawPeer stranger;
  Datagram one = Start(Request(1, "log/h.dat", "octet"));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 2000; ++i) {
    stranger.Send(one.Port, Ack(1));
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  const auto spent = std::chrono::steady_clock::now() - start;
  int answers = 0;
  while (stranger.Receive(300)) ++answers;
  EXPECT_LE(answers, 4 + 1 + spent / std::chrono::milliseconds(100));
  peer_.Send(one.Port, Error(0, "enough"));
  EXPECT_TRUE(AwaitSessionsEnded());
}

}  // namespace
}  // namespace tftp_test
