#include "unit_connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

int ConnectTo(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
    throw std::runtime_error("cannot resolve " + host);
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int result = fd < 0 ? -1 : ::connect(fd, found->ai_addr, found->ai_addrlen);
  freeaddrinfo(found);
  if (result != 0) {
    auto error = SystemError("connect to " + host + ":" + std::to_string(port));
    if (fd >= 0) ::close(fd);
    throw error;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

UnitConnection::UnitConnection(const std::string& host, int port) : fd_(ConnectTo(host, port)) {}

UnitConnection::~UnitConnection() {
  if (fd_ >= 0) ::close(fd_);
}

int UnitConnection::Register(const std::string& name, std::chrono::milliseconds wait) {
  const std::string offer = "CC_ADD_NAME ";
  auto deadline = std::chrono::steady_clock::now() + wait;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    std::optional<std::string> message = NextMessage(std::max(left, std::chrono::milliseconds(0)));
    if (!message) throw std::runtime_error("no slot offered by the data unit");
    if (message->rfind(offer, 0) == 0) return AnswerOffer(*message, name);
  }
}

int UnitConnection::AnswerOffer(const std::string& offer, const std::string& name) {
  int slot = std::stoi(offer.substr(offer.find(' ') + 1));
  name_ = name;
  SendMessage("CS_ADD_NAME " + std::to_string(slot) + " " + name);
  return slot;
}

void UnitConnection::ResetOnClose() {
  linger reset{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

void UnitConnection::SendText(const std::string& text) {
  SendMessage("CS_TEXT " + name_ + " " + text);
}

void UnitConnection::SendMessage(const std::string& message) { SendRaw(message + "#"); }

void UnitConnection::SendRaw(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw SystemError("send");
    sent += static_cast<std::size_t>(n);
  }
}

std::optional<std::string> UnitConnection::NextMessage(std::chrono::milliseconds wait) {
  auto deadline = std::chrono::steady_clock::now() + wait;
  while (true) {
    std::size_t end = buffer_.find('#');
    if (end != std::string::npos) {
      std::string message = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return message;
    }
    if (closed_ || !ReadSome(deadline)) return std::nullopt;
  }
}

std::optional<std::string> UnitConnection::NextText(std::chrono::milliseconds wait) {
  const std::string prefix = "CC_TEXT ";
  auto deadline = std::chrono::steady_clock::now() + wait;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    std::optional<std::string> message = NextMessage(std::max(left, std::chrono::milliseconds(0)));
    if (!message) return std::nullopt;
    if (message->rfind(prefix, 0) == 0) return message->substr(prefix.size());
  }
}

// Waits until bytes arrive or the deadline passes; false when nothing came.
bool UnitConnection::ReadSome(std::chrono::steady_clock::time_point deadline) {
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd watch{fd_, POLLIN, 0};
    int ready = ::poll(&watch, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char chunk[65536];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
}
