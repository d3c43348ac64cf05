// The UDP socket: error texts by code, binding failures, receive outcomes, and
// the request server's activation on it.
#include "tftp/udp_socket.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <thread>
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

// Where the system or the route cannot cut a buffer into datagrams (an old
// kernel, no checksum offload, a segment over the MTU) it refuses the
// segmented send with one of three errors; the batch still arrives, one
// datagram after the other. A seccomp filter on the sending thread gives the refusal.
TEST(UdpSocketTest, ABatchArrivesWhateverRefusalTheSegmentedSendGets) {
  UdpSocket receiver(kAnyLoopbackPort);
  const std::string bytes(100, 'b');
  const OutgoingDatagram batch[3] = {{bytes.data(), 100}, {bytes.data(), 100}, {bytes.data(), 50}};
  for (int refusal : {EINVAL, EIO, ENOPROTOOPT}) {
    std::thread([&] {
      sock_filter refuseSendmsg[] = {
          BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_sendmsg, 0, 1),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(refusal)),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
      sock_fprog filter{4, refuseSendmsg};
      ASSERT_EQ(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
      ASSERT_EQ(::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter), 0);
      UdpSocket sender(kAnyLoopbackPort);
      EXPECT_EQ(sender.SendBatch(receiver.LocalAddress(), batch, 3), 0) << refusal;
    }).join();
    char buffer[200];
    for (size_t size : {100u, 100u, 50u})
      EXPECT_EQ(receiver.Receive(buffer, sizeof buffer, 3000).length, size) << refusal;
  }
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
