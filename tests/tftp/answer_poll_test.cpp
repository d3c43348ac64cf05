// Polling for a quick peer's answer: only a peer known to be quick is polled
// for, one slow answer does not stop it, and the slot is given back.
#include "tftp/answer_poll.h"

#include <gtest/gtest.h>

#include <thread>

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
  EXPECT_EQ(AnswerPoll::SlotsTaken(), 0);
}

}  // namespace
}  // namespace tftp_test
