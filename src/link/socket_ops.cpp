#include "link/socket_ops.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/retry_on_interrupt.h"

namespace socket_ops {
namespace {

Result From(ssize_t value) { return value < 0 ? Result{value, errno} : Result{value, 0}; }

template <typename Call>
Result Retrying(Call call) {
  return From(RetryOnInterrupt(call));
}

}  // namespace

Result CreateStreamSocket() {
  return From(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

// Address reuse lets a restarted program listen again at once: without it the
// connections the ending instance closed (TIME_WAIT) keep the port for a
// minute. A port that another listener holds is still refused. The address is
// bound freely: one that is missing for a moment (a link flap during a
// restart) is served once it is back; the option check refuses addresses
// that this machine does not have.
Result Bind(int fd, uint32_t local, int port) {
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ::setsockopt(fd, IPPROTO_IP, IP_FREEBIND, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(local);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return From(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address));
}

Result Listen(int fd, int backlog) { return From(::listen(fd, backlog)); }

Result Accept(int fd, uint32_t& peer) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  Result accepted = Retrying([&] {
    return ::accept4(fd, reinterpret_cast<sockaddr*>(&address), &size,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
  });
  peer = ntohl(address.sin_addr.s_addr);
  return accepted;
}

Result Send(int fd, const char* data, std::size_t size) {
  return Retrying([=] { return ::send(fd, data, size, MSG_NOSIGNAL); });
}

Result Receive(int fd, char* data, std::size_t size) {
  return Retrying([=] { return ::recv(fd, data, size, 0); });
}

Result PeekOne(int fd) {
  char byte;
  return Retrying([fd, &byte] { return ::recv(fd, &byte, 1, MSG_PEEK); });
}

Result BytesAvailable(int fd) {
  int count = 0;
  Result result = From(::ioctl(fd, FIONREAD, &count));
  if (result.value == 0) result.value = count;
  return result;
}

Result LocalPort(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  Result result = From(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size));
  if (result.value == 0) result.value = ntohs(address.sin_port);
  return result;
}

// Not retried on EINTR: on Linux the handle is released whatever close reports.
Result Close(int fd) { return From(::close(fd)); }

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

const char* ErrorText(int error) { return std::strerror(error); }

}  // namespace socket_ops
