#include "link/server_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "link_test_support.h"

namespace {

class ServerSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<TServerSocket>();
    server_->OnClientConnect = [this](TServerSocket*, ServerConnection* c) {
      Record("connect", c);
    };
    server_->OnClientDisconnect = [this](TServerSocket*, ServerConnection* c) {
      Record("disconnect", c);
    };
    server_->OnClientRead = [](TServerSocket*, ServerConnection* c) { c->ReadAvailableText(); };
    server_->OpenListener();
    port_ = server_->BoundPort();
  }

  void Record(const std::string& what, ServerConnection* connection) {
    events_.push_back(what);
    sockets_.push_back(connection);
  }

  std::unique_ptr<TestClient> Connect(int expected_count, int receive_buffer = 0,
                                      const char* source = "127.0.0.1") {
    auto client = std::make_unique<TestClient>(port_, receive_buffer, source);
    EXPECT_TRUE(WaitUntil([&] { return server_->ConnectionCount() == expected_count; }));
    return client;
  }

  int Count(const std::string& what) const {
    return static_cast<int>(std::count(events_.begin(), events_.end(), what));
  }

  ReportRecorder reports_;
  std::unique_ptr<TServerSocket> server_;
  int port_ = 0;
  std::vector<std::string> events_;
  std::vector<ServerConnection*> sockets_;
};

TEST_F(ServerSocketTest, TakenPortRaisesTheBindMessageAndLeavesNothingOpen) {
  TServerSocket second;
  second.SetPort(port_);
  try {
    second.OpenListener();
    FAIL() << "opening a taken port succeeded";
  } catch (const ESocketError& failure) {
    EXPECT_EQ(std::string(failure.what()),
              "Windows socket error: " + std::string(std::strerror(EADDRINUSE)) + " (" +
                  std::to_string(EADDRINUSE) + "), on API 'bind'");
  }
  EXPECT_FALSE(second.Active());
  EXPECT_EQ(second.BoundPort(), 0);
}

TEST_F(ServerSocketTest, PortChangesOnlyWhileClosed) {
  EXPECT_TRUE(server_->Active());
  server_->SetPort(server_->Port());  // the current value is no change
  try {
    server_->SetPort(server_->Port() + 1);
    FAIL() << "port changed while active";
  } catch (const ESocketError& failure) {
    EXPECT_STREQ(failure.what(), "Can't change value while socket is active");
  }
  server_->CloseListener();
  server_->SetPort(1234);
  EXPECT_EQ(server_->Port(), 1234);
}

TEST_F(ServerSocketTest, NewConnectionIsListedLastDuringConnectAndBoundsAreChecked) {
  std::vector<bool> last_during_connect;
  server_->OnClientConnect = [&](TServerSocket* sender, ServerConnection* socket) {
    last_during_connect.push_back(sender->ConnectionAt(sender->ConnectionCount() - 1) == socket);
  };
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 1; i <= 4; ++i) clients.push_back(Connect(i));
  EXPECT_EQ(last_during_connect, std::vector<bool>(4, true));
  try {
    server_->ConnectionAt(4);
    FAIL() << "position 4 of 4 was found";
  } catch (const EListError& failure) {
    EXPECT_STREQ(failure.what(), "List index out of bounds (4)");
  }
  EXPECT_THROW(server_->ConnectionAt(-1), EListError);
}

TEST_F(ServerSocketTest, PeerCloseRaisesDisconnectWhileListedThenPositionsCloseUp) {
  auto first = Connect(1);
  auto second = Connect(2);
  auto third = Connect(3);
  ServerConnection* second_socket = server_->ConnectionAt(1);
  ServerConnection* third_socket = server_->ConnectionAt(2);
  std::shared_ptr<ServerConnection> kept;
  bool listed_and_open = false;
  server_->OnClientDisconnect = [&](TServerSocket* sender, ServerConnection* socket) {
    listed_and_open = sender->ConnectionAt(1) == socket && socket->Connected();
    kept = socket->shared_from_this();
  };
  second.reset();
  ASSERT_TRUE(WaitUntil([&] { return server_->ConnectionCount() == 2; }));
  EXPECT_TRUE(listed_and_open);
  EXPECT_EQ(kept.get(), second_socket);
  EXPECT_EQ(server_->ConnectionAt(1), third_socket);
  EXPECT_FALSE(kept->Connected());
  EXPECT_EQ(kept->WriteText("late"), 0);
  EXPECT_TRUE(reports_.Reports().empty());
}

TEST_F(ServerSocketTest, ClosingTheListenerDropsConnectionsSilentlyLastFirst) {
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 1; i <= 5; ++i) clients.push_back(Connect(i));
  server_->CloseListener();
  EXPECT_FALSE(server_->Active());
  EXPECT_EQ(server_->ConnectionCount(), 0);
  for (auto& client : clients) EXPECT_TRUE(client->ExpectClosed());
  EXPECT_EQ(Count("disconnect"), 0);
  server_->OpenListener();
  EXPECT_EQ(server_->ConnectionCount(), 0);
  auto again = std::make_unique<TestClient>(server_->BoundPort());
  EXPECT_TRUE(WaitUntil([&] { return server_->ConnectionCount() == 1; }));
}

TEST_F(ServerSocketTest, ResetWithClearedErrorCodeLeavesTheConnectionListedAndOpen) {
  std::vector<std::pair<TErrorEvent, int>> errors;
  server_->OnClientError = [&](TServerSocket*, ServerConnection*, TErrorEvent event, int& code) {
    errors.emplace_back(event, code);
    code = 0;
  };
  auto client = Connect(1);
  client->Reset();
  ASSERT_TRUE(WaitUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(errors[0], std::make_pair(TErrorEvent::ekDisconnect, ECONNRESET));
  QCoreApplication::processEvents();
  EXPECT_EQ(Count("disconnect"), 0);
  EXPECT_EQ(server_->ConnectionCount(), 1);
  EXPECT_TRUE(server_->ConnectionAt(0)->Connected());
  EXPECT_TRUE(reports_.Reports().empty());
}

TEST_F(ServerSocketTest, ResetWithoutErrorHandlerIsReportedAsAsynchronousError) {
  auto client = Connect(1);
  client->Reset();
  ASSERT_TRUE(WaitUntil([&] { return !reports_.Reports().empty(); }));
  EXPECT_EQ(reports_.Reports()[0], "Asynchronous socket error " + std::to_string(ECONNRESET) + ".");
  EXPECT_EQ(server_->ConnectionCount(), 1);
  EXPECT_EQ(Count("disconnect"), 0);
}

TEST_F(ServerSocketTest, FailedSendRaisesErrorThenDisconnectThenTheSendMessage) {
  auto client = Connect(1);
  ServerConnection* socket = server_->ConnectionAt(0);
  int reported_code = 0;
  server_->OnClientError = [&](TServerSocket*, ServerConnection*, TErrorEvent event, int& code) {
    events_.push_back(event == TErrorEvent::ekSend ? "send error" : "other error");
    reported_code = code;
  };
  client->Reset();
  try {
    socket->WriteText("CC_TEXT x#");
    FAIL() << "a send to a reset connection succeeded";
  } catch (const ESocketError& failure) {
    EXPECT_EQ(std::string(failure.what()),
              "Windows socket error: " + std::string(std::strerror(reported_code)) + " (" +
                  std::to_string(reported_code) + "), on API 'send'");
  }
  EXPECT_EQ(events_, (std::vector<std::string>{"connect", "send error", "disconnect"}));
  EXPECT_TRUE(reported_code == ECONNRESET || reported_code == EPIPE) << reported_code;
}

TEST_F(ServerSocketTest, ErrorHandlerMayCloseTheListenerInsideAFailedSend) {
  auto client = Connect(1);
  std::shared_ptr<ServerConnection> socket = server_->ConnectionAt(0)->shared_from_this();
  server_->OnClientError = [&](TServerSocket* sender, ServerConnection*, TErrorEvent, int& code) {
    code = 0;
    sender->CloseListener();
  };
  client->Reset();
  EXPECT_EQ(socket->WriteText("CC_TEXT x#"), -1);
  EXPECT_FALSE(server_->Active());
  EXPECT_FALSE(socket->Connected());
  EXPECT_EQ(Count("disconnect"), 0);
}

TEST_F(ServerSocketTest, FailedConnectHandlerDropsTheConnectionAndAcceptingGoesOn) {
  bool refuse = true;
  server_->OnClientConnect = [&](TServerSocket*, ServerConnection*) {
    if (refuse) throw EListError("List index out of bounds (0)");
    events_.push_back("connect");
  };
  bool accepted = false;
  server_->OnAccept = [&](TServerSocket*, ServerConnection*) { accepted = true; };
  TestClient refused(port_);
  EXPECT_TRUE(refused.ExpectClosed());
  EXPECT_EQ(server_->ConnectionCount(), 0);
  EXPECT_FALSE(accepted);
  EXPECT_EQ(reports_.Reports(), std::vector<std::string>{"List index out of bounds (0)"});
  refuse = false;
  auto next = Connect(1);
  EXPECT_TRUE(accepted);
  EXPECT_EQ(Count("disconnect"), 0);
}

// Idle connections from one host leave room for the others, until all are taken.
TEST_F(ServerSocketTest, ConnectionsPastTheirAddressShareOrTheLimitAreClosedAtOnce) {
  std::vector<std::unique_ptr<TestClient>> clients;
  for (const char* host : {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    for (std::size_t i = 0; i < TServerSocket::kMaxConnectionsPerAddress; ++i)
      clients.push_back(Connect(static_cast<int>(clients.size()) + 1, 0, host));
    TestClient extra(port_, 0, host);
    ASSERT_TRUE(extra.ExpectClosed()) << host;
  }
  ASSERT_EQ(server_->ConnectionCount(), 256);
  TestClient extra(port_, 0, "127.0.0.5");
  EXPECT_TRUE(extra.ExpectClosed());
  EXPECT_EQ(server_->ConnectionCount(), 256);
  EXPECT_EQ(Count("connect"), 256);
  EXPECT_FALSE(clients.back()->Pump());
}

TEST_F(ServerSocketTest, OutputTheKernelCannotTakeIsQueuedAndSentInOrder) {
  auto client = Connect(1, 4096);
  ServerConnection* socket = server_->ConnectionAt(0);
  bool written = false;
  server_->OnClientWrite = [&](TServerSocket*, ServerConnection*) { written = true; };
  std::string expected;
  int queued_at = -1;
  for (int i = 0; i < 100000 && (queued_at < 0 || i < queued_at + 1000); ++i) {
    std::string line = "CC_TEXT line " + std::to_string(i) + " " + std::string(200, 'x') + "#";
    ASSERT_EQ(socket->WriteText(line), static_cast<int>(line.size()));
    expected += line;
    if (queued_at < 0 && socket->QueuedBytes() > 0) queued_at = i;
  }
  ASSERT_GE(queued_at, 0) << "the kernel took everything";
  EXPECT_FALSE(written);
  ASSERT_TRUE(WaitUntil([&] {
    client->Pump();
    return client->Received().size() >= expected.size();
  }));
  EXPECT_EQ(client->Received(), expected);
  EXPECT_TRUE(WaitUntil([&] { return written; }));
  EXPECT_EQ(socket->QueuedBytes(), 0u);
}

TEST_F(ServerSocketTest, APeerThatStopsReadingIsClosedOnceItsBacklogStallsOrPassesTheCeiling) {
  server_->OutputLimits = {64 * 1024, std::chrono::milliseconds(100), 1024 * 1024,
                           std::chrono::milliseconds(100)};
  auto stalled = Connect(1, 4096);
  auto flooded = Connect(2, 4096);
  std::string block(64 * 1024, 'y');
  ServerConnection* socket = server_->ConnectionAt(0);
  for (int i = 0; i < 256 && socket->QueuedBytes() <= 64 * 1024; ++i)
    ASSERT_EQ(socket->WriteText(block), 64 * 1024);
  socket = server_->ConnectionAt(1);
  int result = 0;
  for (int i = 0; i < 256 && result >= 0; ++i) result = socket->WriteText(block);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(Count("disconnect"), 1);
  EXPECT_TRUE(WaitUntil([&] { return server_->ConnectionCount() == 0; }));
  EXPECT_EQ(Count("disconnect"), 2);
  EXPECT_TRUE(stalled->ExpectClosed());
  EXPECT_TRUE(flooded->ExpectClosed());
}

// No descriptor left while a connection waits: accepting would fail at once on every turn,
// so it pauses (the process stays nearly idle).
// A connection is accepted and the expected report is read once before the
// limit drops: the sanitizers' first type check of a class reads /proc, which
// needs a free descriptor.
TEST_F(ServerSocketTest, FailedAcceptsPauseAndAreReportedOnce) {
  auto first = Connect(1);
  std::string expected;
  try {
    throw SocketApiError(EMFILE, "accept");
  } catch (const std::exception& failure) {
    expected = failure.what();
  }
  TestClient waiting(port_);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  int lowest_free = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ::close(lowest_free);
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  bool reported = WaitUntil([&] { return !reports_.Reports().empty(); }, 2000);
  const std::clock_t cpu_before = std::clock();
  WaitUntil([] { return false; }, 500);  // several pauses pass
  const std::clock_t cpu_spent = std::clock() - cpu_before;
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(reported);
  EXPECT_LT(cpu_spent, CLOCKS_PER_SEC / 6) << "the listener spun while accepting failed";
  EXPECT_EQ(reports_.Reports(), std::vector<std::string>{expected});
  EXPECT_EQ(expected, "Windows socket error: " + std::string(std::strerror(EMFILE)) + " (" +
                          std::to_string(EMFILE) + "), on API 'accept'");
  EXPECT_TRUE(WaitUntil([&] { return server_->ConnectionCount() == 2; }));
}

TEST_F(ServerSocketTest, AServerDestroyedInsideAnEventRaisesNothingMore) {
  auto client = Connect(1);
  server_->OnClientRead = [&](TServerSocket*, ServerConnection*) { server_.reset(); };
  client->Send("bye");
  ASSERT_TRUE(WaitUntil([&] { return server_ == nullptr; }));
  EXPECT_TRUE(client->ExpectClosed());
  EXPECT_TRUE(reports_.Reports().empty());
}

}  // namespace
