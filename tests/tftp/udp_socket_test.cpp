// The UDP socket: error texts by code, binding failures, receive outcomes, and
// the request server's activation on it.
#include "tftp/udp_socket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tftp_test_support.h"

namespace tftp_test {
namespace {

template <typename Call>
std::string FailureOf(Call call) {
  try {
    call();
  } catch (const std::exception& failure) {
    return failure.what();
  }
  return "(no exception)";
}

const sockaddr_in kAnyLoopbackPort = SocketAddress(0x7F000001, 0);

TEST(SocketErrorTextTest, MessagesFollowTheTableByCodeAndLinuxErrorsMapOntoIt) {
  EXPECT_EQ(SocketErrorMessage(10054), "Socket Error # 10054\r\nConnection reset by peer.");
  EXPECT_EQ(SocketErrorMessage(10035), "Socket Error # 10035\r\nOperation would block. ");
  EXPECT_EQ(SocketErrorMessage(10066), "Socket Error # 10066\r\nDirectory not empty");
  EXPECT_EQ(SocketErrorMessage(12345), "Socket Error # 12345\r\n");
  ENetSocketError error(10048);
  EXPECT_EQ(error.SocketErrorCode(), 10048);
  EXPECT_STREQ(error.what(), "Socket Error # 10048\r\nAddress already in use.");
  EXPECT_EQ(SocketErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(SocketErrorText(SocketErrorFromErrno(EDEADLK)), "");
}

TEST(UdpSocketTest, ReceiveOutcomesCarryTheSenderAndTheFullLength) {
  UdpSocket socket(kAnyLoopbackPort);
  char buffer[16];
  EXPECT_EQ(socket.Receive(buffer, sizeof buffer, 50).status, Received::kNothing);
  RawPeer peer;
  peer.Send(PortOf(socket.LocalAddress()), std::string(17, 'y'));
  Received cut = socket.Receive(buffer, sizeof buffer, 3000);
  EXPECT_EQ(cut.status, Received::kDatagram);
  EXPECT_EQ(cut.length, 17u) << "a datagram cut by the buffer reports its whole length";
  EXPECT_EQ(AddressText(cut.from), "127.0.0.1");
  EXPECT_EQ(PortOf(cut.from), peer.Port());
  EXPECT_EQ(socket.SendTo(cut.from, "back"), 0);
  EXPECT_EQ(peer.Receive().value_or(Datagram{}).Bytes, "back");
}

// Runs of one size leave as one buffer the system cuts; the cuts must fall
// where the datagrams end: past the byte and segment limits of one send, at a
// shorter datagram, and where the size grows.
TEST(UdpSocketTest, ABatchArrivesAsItsDatagramsInOrderWhateverTheirSizes) {
  std::vector<std::string> sent;
  for (int i = 0; i < 50; ++i)
    sent.push_back(Data(static_cast<uint16_t>(i), std::string(1428, 'a' + i % 26)));
  sent.push_back(Data(50, ""));
  for (int i = 0; i < 100; ++i) sent.push_back(std::string(10, 'A' + i % 26));
  sent.insert(sent.end(), {std::string(2000, 'x'), std::string(999, 'y'), std::string(1000, 'z')});
  std::vector<OutgoingDatagram> batch;
  for (const std::string& bytes : sent) {
    batch.push_back({bytes.data(), 4, bytes.data() + 4, bytes.size() - 4});
  }
  UdpSocket receiver(kAnyLoopbackPort);
  receiver.SetReceiveQueueBytes(1 << 20);
  UdpSocket sender(kAnyLoopbackPort);
  ASSERT_EQ(sender.SendBatch(receiver.LocalAddress(), batch.data(), batch.size()), 0);
  std::vector<char> buffer(4096);
  for (size_t i = 0; i < sent.size(); ++i) {
    const Received got = receiver.Receive(buffer.data(), buffer.size(), 3000);
    ASSERT_EQ(got.status, Received::kDatagram) << "datagram " << i;
    EXPECT_EQ(std::string(buffer.data(), got.length), sent[i]) << "datagram " << i;
  }
  EXPECT_EQ(receiver.Receive(buffer.data(), buffer.size(), 50).status, Received::kNothing);
}

TEST(UdpSocketTest, ServerActivationFailureLeavesItInactive) {
  TempTree tree;
  TNetTrivialFTPServer first(tree.Path());
  first.SetDefaultPort(0);
  first.SetLocalAddress("127.0.0.1");
  first.SetActive(true);
  first.SetActive(true);  // no change
  EXPECT_TRUE(first.Active());
  EXPECT_TRUE(first.ListenerRunning());

  TNetTrivialFTPServer second(tree.Path());
  second.SetDefaultPort(first.LocalPort());
  second.SetLocalAddress("127.0.0.1");
  EXPECT_EQ(FailureOf([&] { second.SetActive(true); }),
            "Could not bind socket. Address and port are already in use.");
  EXPECT_FALSE(second.Active());
  first.SetActive(false);
  EXPECT_FALSE(first.Active());
  EXPECT_EQ(first.LocalPort(), 0);
}

}  // namespace
}  // namespace tftp_test
