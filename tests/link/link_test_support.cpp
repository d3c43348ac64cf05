#include "link_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cerrno>
#include <stdexcept>

namespace {

// Sleeps in the event loop until an event arrives, at most about 2 ms: the
// wait also notices what happens outside it (a client's socket).
void WaitForEvents() {
  QTimer wake;
  wake.start(2);
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

}  // namespace

bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeout_ms) return false;
    WaitForEvents();
  }
  return true;
}

TestClient::TestClient(int port, int receive_buffer, const char* source) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receive_buffer > 0)
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &local.sin_addr);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
    throw std::runtime_error("test client cannot bind");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("test client cannot connect");
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

TestClient::~TestClient() {
  if (fd_ >= 0) ::close(fd_);
}

void TestClient::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      WaitForEvents();
    } else {
      throw std::runtime_error("test client cannot send");
    }
  }
}

bool TestClient::Pump() {
  char buffer[65536];
  while (!closed_) {
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0) {
      received_.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      closed_ = true;
    } else {
      break;
    }
  }
  return closed_;
}

bool TestClient::ExpectReceived(const std::string& expected, int timeout_ms) {
  bool arrived = WaitUntil(
      [&] {
        Pump();
        return received_.size() >= expected.size() || closed_;
      },
      timeout_ms);
  if (!arrived || received_.compare(0, expected.size(), expected) != 0) return false;
  received_.erase(0, expected.size());
  return true;
}

bool TestClient::ExpectClosed(int timeout_ms) {
  return WaitUntil([&] { return Pump(); }, timeout_ms);
}

void TestClient::ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }

void TestClient::Reset() {
  linger option{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  ::close(fd_);
  fd_ = -1;
  closed_ = true;
}

ReportRecorder::ReportRecorder() {
  previous_ = SetFailureSink([this](const std::string& text) { reports_.push_back(text); });
}

ReportRecorder::~ReportRecorder() { SetFailureSink(previous_); }
