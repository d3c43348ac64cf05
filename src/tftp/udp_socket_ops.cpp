#include "tftp/udp_socket_ops.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>

namespace udp_ops {
namespace {

thread_local int lastError = 0;

int Fail() {
  lastError = SocketErrorFromErrno(errno);
  return -1;
}

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_addr.s_addr = htonl(address);
  result.sin_port = htons(port);
  return result;
}

}  // namespace

int LastSocketError() { return lastError; }

int SocketErrorFromErrno(int error) {
  static const std::unordered_map<int, int> table = {
      {EINTR, 10004},         {EBADF, 10009},           {EACCES, 10013},        {EPERM, 10013},
      {EFAULT, 10014},        {EINVAL, 10022},          {EMFILE, 10024},        {ENFILE, 10024},
      {EWOULDBLOCK, 10035},   {EINPROGRESS, 10036},     {EALREADY, 10037},      {ENOTSOCK, 10038},
      {EDESTADDRREQ, 10039},  {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},
      {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},  {EPFNOSUPPORT, 10046},
      {EAFNOSUPPORT, 10047},  {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},
      {ENETUNREACH, 10051},   {ENETRESET, 10052},       {ECONNABORTED, 10053},  {ECONNRESET, 10054},
      {ENOBUFS, 10055},       {ENOMEM, 10055},          {EISCONN, 10056},       {ENOTCONN, 10057},
      {ESHUTDOWN, 10058},     {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061},
      {ELOOP, 10062},         {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},     {EHOSTUNREACH, 10065},
      {ENOTEMPTY, 10066}};
  auto it = table.find(error);
  return it != table.end() ? it->second : 11000 + error;
}

int OpenDatagramSocket() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  return fd >= 0 ? fd : Fail();
}

int Bind(int fd, uint32_t address, uint16_t port) {
  sockaddr_in local = MakeAddress(address, port);
  return ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 ? 0 : Fail();
}

int LocalName(int fd, uint32_t& address, uint16_t& port) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return Fail();
  address = ntohl(local.sin_addr.s_addr);
  port = ntohs(local.sin_port);
  return 0;
}

int SetBroadcast(int fd, bool enabled) {
  int value = enabled ? -1 : 0;  // all bits set for true
  return ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) == 0 ? 0 : Fail();
}

int SetReceiveTimeout(int fd, int timeoutMs) {
  timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0 ? 0 : Fail();
}

void Shutdown(int fd) { ::shutdown(fd, SHUT_RDWR); }

void Close(int fd) { ::close(fd); }

ssize_t SendTo(int fd, const void* data, size_t size, uint32_t address, uint16_t port) {
  sockaddr_in peer = MakeAddress(address, port);
  ssize_t sent;
  do {
    sent = ::sendto(fd, data, size, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
  } while (sent < 0 && errno == EINTR);
  return sent >= 0 ? sent : Fail();
}

namespace {

// The parts of one datagram; returns how many (0 to 2).
size_t PartsOf(const OutgoingDatagram& datagram, iovec* parts) {
  size_t count = 0;
  if (datagram.HeadSize != 0) parts[count++] = iovec{const_cast<char*>(datagram.Head), datagram.HeadSize};
  if (datagram.BodySize != 0) parts[count++] = iovec{const_cast<char*>(datagram.Body), datagram.BodySize};
  return count;
}

msghdr MessageTo(sockaddr_in& peer, iovec* parts, size_t count) {
  msghdr message{};
  message.msg_name = &peer;
  message.msg_namelen = sizeof peer;
  message.msg_iov = parts;
  message.msg_iovlen = count;
  return message;
}

int SendOne(int fd, const OutgoingDatagram& datagram, sockaddr_in& peer) {
  iovec parts[2];
  msghdr message = MessageTo(peer, parts, PartsOf(datagram, parts));
  ssize_t sent;
  do {
    sent = ::sendmsg(fd, &message, 0);
  } while (sent < 0 && errno == EINTR);
  return sent >= 0 ? 1 : Fail();
}

}  // namespace

int SendBatch(int fd, const OutgoingDatagram* datagrams, size_t count, uint32_t address,
              uint16_t port) {
  constexpr size_t kPerCall = 64;
  sockaddr_in peer = MakeAddress(address, port);
  if (count == 1) return SendOne(fd, datagrams[0], peer);
  iovec parts[kPerCall][2];
  mmsghdr messages[kPerCall];
  size_t done = 0;
  while (done < count) {
    const size_t batch = std::min(count - done, kPerCall);
    for (size_t i = 0; i < batch; ++i) {
      messages[i] = mmsghdr{};
      messages[i].msg_hdr = MessageTo(peer, parts[i], PartsOf(datagrams[done + i], parts[i]));
    }
    int sent = ::sendmmsg(fd, messages, static_cast<unsigned>(batch), 0);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) return done == 0 ? Fail() : static_cast<int>(done);
    done += static_cast<size_t>(sent);
  }
  return static_cast<int>(done);
}

ssize_t ReceiveFrom(int fd, void* buffer, size_t capacity, uint32_t& address, uint16_t& port,
                    bool wait) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  const int flags = MSG_TRUNC | (wait ? 0 : MSG_DONTWAIT);
  ssize_t got;
  do {
    got = ::recvfrom(fd, buffer, capacity, flags, reinterpret_cast<sockaddr*>(&peer), &length);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return Fail();
  address = ntohl(peer.sin_addr.s_addr);
  port = ntohs(peer.sin_port);
  return got;
}

int WaitReadable(const std::vector<int>& fds, std::vector<bool>& ready, int timeoutMs) {
  std::vector<pollfd> polls(fds.size());
  for (size_t i = 0; i < fds.size(); ++i) polls[i] = pollfd{fds[i], POLLIN, 0};
  int count = ::poll(polls.data(), polls.size(), timeoutMs < 0 ? -1 : timeoutMs);
  if (count < 0) return Fail();
  ready.assign(fds.size(), false);
  for (size_t i = 0; i < fds.size(); ++i) ready[i] = polls[i].revents != 0;
  return count;
}

int WaitOneReadable(int fd, int timeoutMs) {
  pollfd one{fd, POLLIN, 0};
  int count = ::poll(&one, 1, timeoutMs < 0 ? -1 : timeoutMs);
  return count >= 0 ? count : Fail();
}

int LookupIPv4(const std::string& name, uint32_t& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    lastError = 11001;  // host not found
    return -1;
  }
  address = ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(found);
  return 0;
}

}  // namespace udp_ops
