// The UDP socket layer: error texts by code, host names, the socket-set
// limit, binding failures, the listener and its dispatch, receive outcomes.
#include <gtest/gtest.h>

#include <cerrno>
#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <set>
#include <thread>

#include "tftp/net_exceptions.h"
#include "tftp/net_udp_server.h"
#include "tftp/udp_socket_ops.h"
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

TEST(SocketErrorTextTest, MessagesFollowTheTableByCode) {
  EXPECT_EQ(TNetStack::SocketErrorMessage(10054), "Socket Error # 10054\r\nConnection reset by peer.");
  EXPECT_EQ(TNetStack::SocketErrorMessage(10040), "Socket Error # 10040\r\nMessage too long.");
  EXPECT_EQ(TNetStack::SocketErrorMessage(10035), "Socket Error # 10035\r\nOperation would block. ");
  EXPECT_EQ(TNetStack::SocketErrorMessage(10066), "Socket Error # 10066\r\nDirectory not empty");
  EXPECT_EQ(TNetStack::SocketErrorMessage(12345), "Socket Error # 12345\r\n");
  ENetSocketError error(10048);
  EXPECT_EQ(error.SocketErrorCode(), 10048);
  EXPECT_STREQ(error.what(), "Socket Error # 10048\r\nAddress already in use.");
}

TEST(SocketErrorTextTest, LinuxErrorsMapOntoTheSocketCodes) {
  EXPECT_EQ(udp_ops::SocketErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(udp_ops::SocketErrorFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(udp_ops::SocketErrorFromErrno(EMSGSIZE), 10040);
  EXPECT_EQ(udp_ops::SocketErrorFromErrno(EWOULDBLOCK), 10035);
  EXPECT_EQ(udp_ops::SocketErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(udp_ops::SocketErrorFromErrno(ENOTEMPTY), 10066);
  EXPECT_EQ(TNetStack::SocketErrorText(udp_ops::SocketErrorFromErrno(EDEADLK)), "");
}

TEST(HostNameTest, DottedQuadsLocalhostAndLookups) {
  TNetUDPClient keepsStackAlive;
  TNetStack& stack = SharedStack();
  EXPECT_TRUE(TNetStack::IsDottedQuad("127.0.0.1"));
  EXPECT_TRUE(TNetStack::IsDottedQuad("0.255.10.200"));
  EXPECT_FALSE(TNetStack::IsDottedQuad("1.2.3.256"));
  EXPECT_FALSE(TNetStack::IsDottedQuad("1.2.3"));
  EXPECT_FALSE(TNetStack::IsDottedQuad("1.2.3.4.5"));
  EXPECT_FALSE(TNetStack::IsDottedQuad("a.b.c.d"));
  EXPECT_EQ(stack.LookupHost("LoCaLhOsT"), "127.0.0.1");
  EXPECT_EQ(stack.LookupHost("10.1.2.3"), "10.1.2.3");
  EXPECT_EQ(TNetStack::AddressText(TNetStack::AddressFromText("192.168.1.20")), "192.168.1.20");
  EXPECT_EQ(FailureOf([&] { stack.LookupHost("1.2.3.256"); }).rfind("Socket Error # ", 0), 0u)
      << "a part above 255 is looked up as a name, which fails";
}

TEST(SelectTest, MoreThanSixtyFourSocketsExceedTheSet) {
  TNetUDPClient keepsStackAlive;
  std::vector<int> sockets(65, 0);
  EXPECT_EQ(FailureOf([&] { SharedStack().Select(sockets, 0); }), "Set Size Exceeded.");
}

TEST(UdpServerTest, ActivationFailuresLeaveTheServerInactive) {
  TNetUDPServer noBindings;
  EXPECT_EQ(FailureOf([&] { noBindings.SetActive(true); }), "No bindings specified.");
  EXPECT_FALSE(noBindings.Active());

  TNetUDPServer first;
  first.Bindings().Add().IP = "127.0.0.1";
  first.SetActive(true);
  EXPECT_TRUE(first.Active());
  first.SetActive(true);  // no change
  EXPECT_TRUE(first.ListenerRunning());

  TNetUDPServer second;
  TNetSocketHandle& clash = second.Bindings().Add();
  clash.IP = "127.0.0.1";
  clash.Port = first.Bindings().At(0).Port;
  EXPECT_EQ(FailureOf([&] { second.SetActive(true); }),
            "Could not bind socket. Address and port are already in use.");
  EXPECT_FALSE(second.Active());
  first.SetActive(false);
  EXPECT_FALSE(first.Active());
}

TEST(UdpServerTest, DatagramsAreDispatchedWithTheirBindingAndAnsweredFromIt) {
  TNetUDPServer server;
  server.ThreadedEvent = true;
  for (int i = 0; i < 2; ++i) server.Bindings().Add().IP = "127.0.0.1";
  std::atomic<int> dispatched{0};
  server.OnUDPRead = [&](TNetUDPServer& sender, std::string_view data, TNetSocketHandle& binding) {
    ++dispatched;  // before answering: the test reads the count once the answer is in
    sender.SendPacket(binding.RemoteAddress, binding.RemotePort,
                      std::string(data) + "@" + std::to_string(binding.Port));
  };
  server.SetActive(true);
  RawPeer peer;
  peer.Send(server.Bindings().At(0).Port, "");                        // ignored
  peer.Send(server.Bindings().At(0).Port, std::string(8193, 'x'));    // longer than the buffer
  for (size_t i = 0; i < 2; ++i) {
    const int port = server.Bindings().At(i).Port;
    peer.Send(static_cast<uint16_t>(port), "hello");
    Datagram answer = peer.Receive().value_or(Datagram{});
    EXPECT_EQ(answer.Bytes, "hello@" + std::to_string(port));
    EXPECT_EQ(answer.Port, port);
  }
  EXPECT_EQ(dispatched, 2);
  EXPECT_TRUE(server.ListenerRunning());
}

TEST(UdpServerTest, DispatchRunsOnTheMainThreadWhenNotThreaded) {
  TNetUDPServer server;
  server.Bindings().Add().IP = "127.0.0.1";
  std::atomic<bool> onMainThread{false};
  std::atomic<int> dispatched{0};
  server.OnUDPRead = [&](TNetUDPServer&, std::string_view, TNetSocketHandle&) {
    onMainThread = QThread::currentThread() == qApp->thread();
    ++dispatched;
  };
  server.SetActive(true);
  RawPeer peer;
  peer.Send(static_cast<uint16_t>(server.Bindings().At(0).Port), "x");
  EXPECT_TRUE(PumpUntil([&] { return dispatched == 1; }));
  EXPECT_TRUE(onMainThread);
  server.SetActive(false);
}

TEST(UdpClientTest, ReceiveOutcomes) {
  TNetUDPClient client;
  client.BufferSize = 16;
  std::string host = "x";
  int port = 1;
  EXPECT_EQ(client.ReceivePacket(50, host, port), "");
  EXPECT_EQ(host, "");
  EXPECT_EQ(port, 0);
  RawPeer peer;
  client.SendPacket("LOCALHOST", peer.Port(), "back");  // the first send gives the socket its port
  EXPECT_EQ(peer.Receive().value_or(Datagram{}).Bytes, "back");
  uint32_t address = 0;
  uint16_t local = 0;
  udp_ops::LocalName(client.AcquireBinding().SocketId, address, local);
  peer.Send(local, std::string(17, 'y'));
  EXPECT_EQ(FailureOf([&] { client.ReceivePacket(1000, host, port); }),
            "Socket Error # 10040\r\nMessage too long.");
  peer.Send(local, "");
  EXPECT_EQ(FailureOf([&] { client.ReceivePacket(1000, host, port); }), "UDP Receive Error = 0.");
  peer.Send(local, "ok");
  EXPECT_EQ(client.ReceivePacket(1000, host, port), "ok");
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, peer.Port());
  TNetSocketHandle closed;
  EXPECT_EQ(FailureOf([&] { closed.WaitReadable(0); }), "Connection Closed Gracefully.");
}

TEST(UdpClientTest, EveryComponentKeepsTheSharedStackCounted) {
  const int before = TNetComponent::LiveComponentCount();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) TNetUDPClient().AcquireBinding();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(TNetComponent::LiveComponentCount(), before);
}

}  // namespace
}  // namespace tftp_test
