// Polling for a quick peer's answer: only a peer known to be quick is polled
// for, one slow answer does not stop it, the slot is given back, and a poll
// ends at its limit. The pace of unsolicited answers.
#include "tftp/answer_poll.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "tftp/answer_rate.h"
#include "tftp_test_support.h"

namespace tftp_test {
namespace {

using std::chrono::microseconds;

TEST(AnswerPollTest, OnlyAPeerThatAnsweredQuicklyIsPolledFor) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core: nothing is polled";
  UdpSocket socket(SocketAddress(0x7F000001, 0));
  const uint16_t port = PortOf(socket.LocalAddress());
  RawPeer peer;
  char buffer[16];
  AnswerPoll poll;
  peer.Send(port, "waiting");
  EXPECT_EQ(poll.Poll(socket, buffer, sizeof buffer).status, Received::kNothing)
      << "a peer not heard yet";
  poll.Heard(microseconds(400));
  poll.Heard(microseconds(300));
  EXPECT_EQ(poll.Poll(socket, buffer, sizeof buffer).status, Received::kNothing)
      << "a peer slower than the poll";
  poll.Heard(microseconds(40));
  poll.Heard(microseconds(900));  // one slow answer among quick ones
  const Received polled = poll.Poll(socket, buffer, sizeof buffer);
  EXPECT_EQ(polled.status, Received::kDatagram);
  EXPECT_EQ(polled.length, 7u);
  // With nothing to read a poll ends at its limit, however many asks it made
  // (a datagram sent long after the limit ends one that did not).
  auto nothing = std::async(std::launch::async, [&] {
    return socket.Poll(buffer, sizeof buffer, std::chrono::milliseconds(200)).status;
  });
  if (nothing.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
    peer.Send(port, "late");
  EXPECT_EQ(nothing.get(), Received::kNothing) << "the poll kept asking past its limit";
  EXPECT_EQ(AnswerPoll::SlotsTaken(), 0);
}

// After a quiet minute one burst, never more: a forged source cannot bank
// answers by waiting.
TEST(AnswerRateTest, AQuietSpellEarnsOneBurstAtMost) {
  AnswerRate rate(4, std::chrono::milliseconds(100));
  const AnswerRate::Clock::time_point start = AnswerRate::Clock::now();
  int allowed = 0;
  for (int i = 0; i < 10; ++i) allowed += rate.Allow(start);
  EXPECT_EQ(allowed, 4);
  EXPECT_TRUE(rate.Allow(start + std::chrono::milliseconds(100)));
  EXPECT_FALSE(rate.Allow(start + std::chrono::milliseconds(150)));
  allowed = 0;
  for (int i = 0; i < 10; ++i) allowed += rate.Allow(start + std::chrono::minutes(1));
  EXPECT_EQ(allowed, 4);
}

}  // namespace
}  // namespace tftp_test
