#include "tftp/udp_socket.h"

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <unordered_map>

#include "base/retry_on_interrupt.h"

namespace {

const std::map<int, const char*>& ErrorTexts() {
  static const std::map<int, const char*> texts = {
      {10004, "Interrupted system call."},
      {10009, "Bad file number."},
      {10013, "Access denied."},
      {10014, "Bad address."},
      {10022, "Invalid argument."},
      {10024, "Too many open files."},
      {10035, "Operation would block. "},
      {10036, "Operation now in progress."},
      {10037, "Operation already in progress."},
      {10038, "Socket operation on non-socket."},
      {10039, "Destination address required."},
      {10040, "Message too long."},
      {10041, "Protocol wrong type for socket."},
      {10042, "Bad protocol option."},
      {10043, "Protocol not supported."},
      {10044, "Socket type not supported."},
      {10045, "Operation not supported on socket."},
      {10046, "Protocol family not supported."},
      {10047, "Address family not supported by protocol family."},
      {10048, "Address already in use."},
      {10049, "Cannot assign requested address."},
      {10050, "Network is down."},
      {10051, "Network is unreachable."},
      {10052, "Net dropped connection or reset."},
      {10053, "Software caused connection abort."},
      {10054, "Connection reset by peer."},
      {10055, "No buffer space available."},
      {10056, "Socket is already connected."},
      {10057, "Socket is not connected."},
      {10058, "Cannot send or receive after socket is closed."},
      {10059, "Too many references, cannot splice."},
      {10060, "Connection timed out."},
      {10061, "Connection refused."},
      {10062, "Too many levels of symbolic links."},
      {10063, "File name too long."},
      {10064, "Host is down."},
      {10065, "No route to host."},
      {10066, "Directory not empty"}};
  return texts;
}

int LastError() { return SocketErrorFromErrno(errno); }

// The parts of one datagram; returns how many (0 to 2).
size_t PartsOf(const OutgoingDatagram& datagram, iovec* parts) {
  size_t count = 0;
  if (datagram.HeadSize != 0) {
    parts[count++] = iovec{const_cast<char*>(datagram.Head), datagram.HeadSize};
  }
  if (datagram.BodySize != 0) {
    parts[count++] = iovec{const_cast<char*>(datagram.Body), datagram.BodySize};
  }
  return count;
}

msghdr MessageTo(const sockaddr_in& peer, iovec* parts, size_t count) {
  msghdr message{};
  message.msg_name = const_cast<sockaddr_in*>(&peer);
  message.msg_namelen = sizeof peer;
  message.msg_iov = parts;
  message.msg_iovlen = count;
  return message;
}

int SendOne(int fd, const sockaddr_in& peer, const OutgoingDatagram& datagram) {
  iovec parts[2];
  msghdr message = MessageTo(peer, parts, PartsOf(datagram, parts));
  const ssize_t sent = RetryOnInterrupt([&] { return ::sendmsg(fd, &message, 0); });
  return sent >= 0 ? 0 : LastError();
}

size_t SizeOf(const OutgoingDatagram& datagram) { return datagram.HeadSize + datagram.BodySize; }

// One datagram per message, as few calls as the system allows.
int SendEach(int fd, const sockaddr_in& peer, const OutgoingDatagram* datagrams, size_t count) {
  constexpr size_t kPerCall = 64;
  if (count == 0) return 0;
  if (count == 1) return SendOne(fd, peer, datagrams[0]);
  iovec parts[kPerCall][2];
  mmsghdr messages[kPerCall];
  size_t done = 0;
  while (done < count) {
    const size_t batch = std::min(count - done, kPerCall);
    for (size_t i = 0; i < batch; ++i) {
      messages[i] = mmsghdr{};
      messages[i].msg_hdr = MessageTo(peer, parts[i], PartsOf(datagrams[done + i], parts[i]));
    }
    const int sent =
        RetryOnInterrupt([&] { return ::sendmmsg(fd, messages, static_cast<unsigned>(batch), 0); });
    if (sent < 0) return LastError();
    done += static_cast<size_t>(sent);
  }
  return 0;
}

// How many datagrams from the first one can leave as one segmented send: all
// of the first one's size but the last, which may be shorter, within the
// system's limits on segments and on one datagram's size.
constexpr size_t kMaxSegments = 64;
size_t SegmentRun(const OutgoingDatagram* datagrams, size_t count) {
  constexpr size_t kMaxBytes = 65507;  // the payload of one IPv4 UDP datagram
  const size_t segment = SizeOf(datagrams[0]);
  size_t run = 0;
  size_t bytes = 0;
  while (run < std::min(count, kMaxSegments)) {
    const size_t size = SizeOf(datagrams[run]);
    if (size == 0 || size > segment || bytes + size > kMaxBytes) break;
    bytes += size;
    ++run;
    if (size < segment) break;  // only the last may be shorter
  }
  return run;
}

// The datagrams as one buffer that the system cuts at the first one's size:
// one pass through the network stack instead of one per datagram. Returns
// -1 with errno when it fails; EINVAL, EIO and ENOPROTOOPT say that this
// system or route cannot cut it (an old kernel, no checksum offload, a
// segment over the route's MTU).
ssize_t SendSegmented(int fd, const sockaddr_in& peer, const OutgoingDatagram* datagrams,
                      size_t run) {
  iovec parts[2 * kMaxSegments];
  size_t partCount = 0;
  for (size_t i = 0; i < run; ++i) partCount += PartsOf(datagrams[i], parts + partCount);
  msghdr message = MessageTo(peer, parts, partCount);
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_UDP;
  header->cmsg_type = UDP_SEGMENT;
  header->cmsg_len = CMSG_LEN(sizeof(uint16_t));
  const uint16_t segment = static_cast<uint16_t>(SizeOf(datagrams[0]));
  std::memcpy(CMSG_DATA(header), &segment, sizeof segment);
  return RetryOnInterrupt([&] { return ::sendmsg(fd, &message, 0); });
}

bool CannotSegment(int error) { return error == EINVAL || error == EIO || error == ENOPROTOOPT; }

}  // namespace

ENetSocketError::ENetSocketError(int code) : Exception(SocketErrorMessage(code)), code_(code) {}

std::string SocketErrorText(int code) {
  auto it = ErrorTexts().find(code);
  return it != ErrorTexts().end() ? it->second : "";
}

std::string SocketErrorMessage(int code) {
  return "Socket Error # " + std::to_string(code) + "\r\n" + SocketErrorText(code);
}

int SocketErrorFromErrno(int error) {
  static const std::unordered_map<int, int> table = {
      {EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},
      {EPERM, 10013},        {EFAULT, 10014},          {EINVAL, 10022},
      {EMFILE, 10024},       {ENFILE, 10024},          {EWOULDBLOCK, 10035},
      {EINPROGRESS, 10036},  {EALREADY, 10037},        {ENOTSOCK, 10038},
      {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
      {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
      {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
      {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
      {ENETUNREACH, 10051},  {ENETRESET, 10052},       {ECONNABORTED, 10053},
      {ECONNRESET, 10054},   {ENOBUFS, 10055},         {ENOMEM, 10055},
      {EISCONN, 10056},      {ENOTCONN, 10057},        {ESHUTDOWN, 10058},
      {ETOOMANYREFS, 10059}, {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061},
      {ELOOP, 10062},        {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},
      {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066}};
  auto it = table.find(error);
  return it != table.end() ? it->second : 11000 + error;
}

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_addr.s_addr = htonl(address);
  result.sin_port = htons(port);
  return result;
}

std::string AddressText(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}

uint16_t PortOf(const sockaddr_in& address) { return ntohs(address.sin_port); }

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

UdpSocket::UdpSocket(const sockaddr_in& local)
    : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP)) {
  if (!fd_.Valid()) throw ENetSocketError(LastError());
  // Bound freely, as the unit link: a restart during a link flap serves its
  // address once it is back.
  int one = 1;
  ::setsockopt(fd_.Get(), IPPROTO_IP, IP_FREEBIND, &one, sizeof one);
  if (::bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const int code = LastError();
    if (code == kCodeAddressInUse) throw ENetCouldNotBindSocket();
    throw ENetSocketError(code);
  }
}

sockaddr_in UdpSocket::LocalAddress() const {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&local), &length);
  return local;
}

// The system reports a queued ICMP error to the next send as well, whatever
// address that send goes to.
template <typename Send>
int UdpSocket::SendAfterError(Send send) {
  const int code = send();
  if (code == 0 || !reportUnreachable_) return code;
  errorsQueued_ = true;
  return send();
}

int UdpSocket::SendTo(const sockaddr_in& peer, std::string_view bytes) {
  const OutgoingDatagram one{bytes.data(), bytes.size()};
  return SendAfterError([&] { return SendOne(fd_.Get(), peer, one); });
}

int UdpSocket::SendBatch(const sockaddr_in& peer, const OutgoingDatagram* datagrams, size_t count) {
  return SendAfterError([&] { return SendSegments(peer, datagrams, count); });
}

int UdpSocket::SendSegments(const sockaddr_in& peer, const OutgoingDatagram* datagrams,
                            size_t count) {
  size_t done = 0;
  while (segmenting_ && count - done >= 2) {
    const size_t run = SegmentRun(datagrams + done, count - done);
    if (run < 2) break;
    if (SendSegmented(fd_.Get(), peer, datagrams + done, run) < 0) {
      if (!CannotSegment(errno)) return LastError();
      segmenting_ = false;  // for good: this socket has one route
      break;
    }
    done += run;
  }
  return SendEach(fd_.Get(), peer, datagrams + done, count - done);
}

Received UdpSocket::Receive(char* buffer, size_t capacity, int timeoutMs) {
  const int wait = timeoutMs < 0 ? 0 : std::max(timeoutMs, 1);
  if (wait != receiveTimeoutMs_) {
    timeval limit{wait / 1000, (wait % 1000) * 1000};
    ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    receiveTimeoutMs_ = wait;
  }
  return ReceiveOne(buffer, capacity, 0);
}

Received UdpSocket::Poll(char* buffer, size_t capacity, std::chrono::microseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const Received received = ReceiveOne(buffer, capacity, MSG_DONTWAIT);
    if (received.status != Received::kNothing || std::chrono::steady_clock::now() >= end)
      return received;
    ::sched_yield();
  }
}

Received UdpSocket::ReceiveOne(char* buffer, size_t capacity, int flags) {
  if (errorsQueued_) {
    const Received error = ReceiveError();
    if (error.status == Received::kUnreachable) return error;
    errorsQueued_ = false;
  }
  Received received;
  socklen_t length = sizeof received.from;
  const ssize_t got = RetryOnInterrupt([&] {
    return ::recvfrom(fd_.Get(), buffer, capacity, MSG_TRUNC | flags,
                      reinterpret_cast<sockaddr*>(&received.from), &length);
  });
  if (got >= 0) {
    received.status = Received::kDatagram;
    received.length = static_cast<size_t>(got);
  } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
    received.status = Received::kFailed;
    received.error = LastError();
    if (reportUnreachable_) {
      const Received error = ReceiveError();
      errorsQueued_ = error.status == Received::kUnreachable;
      if (errorsQueued_) return error;
    }
  }
  return received;
}

// The error queue names the address the failed datagram went to.
Received UdpSocket::ReceiveError() {
  Received error;
  char control[512];
  msghdr message{};
  message.msg_name = &error.from;
  message.msg_namelen = sizeof error.from;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got =
      RetryOnInterrupt([&] { return ::recvmsg(fd_.Get(), &message, MSG_ERRQUEUE | MSG_DONTWAIT); });
  if (got >= 0) error.status = Received::kUnreachable;
  return error;
}

void UdpSocket::ReportUnreachable() {
  const int on = 1;
  reportUnreachable_ = ::setsockopt(fd_.Get(), IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0;
}

void UdpSocket::Wake() { ::shutdown(fd_.Get(), SHUT_RDWR); }

// A queue the system refuses leaves the default one: fewer datagrams wait, and
// the peers' retries cover what is dropped.
void UdpSocket::SetReceiveQueueBytes(int bytes) {
  int current = 0;  // as the system reports it: doubled
  socklen_t size = sizeof current;
  if (::getsockopt(fd_.Get(), SOL_SOCKET, SO_RCVBUF, &current, &size) == 0 && current / 2 >= bytes)
    return;
  ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}
