// One IPv4 UDP socket, bound when constructed and closed when destroyed, and
// every UDP system call of the file transfer (they live in udp_socket.cpp
// only). Peers travel as sockaddr_in from receive to send. Failures come back
// as socket error codes (10xxx, the texts of SocketErrorMessage); only the
// constructor raises. One thread uses a socket at a time, except Wake and
// SendTo (a repeated request answered by the listener from a session's socket).
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/exceptions.h"
#include "base/file_descriptor.h"

// "Socket Error # <code>\r\n<text>"; the text is empty for unknown codes.
class ENetSocketError : public Exception {
 public:
  explicit ENetSocketError(int code);
  int SocketErrorCode() const noexcept { return code_; }

 private:
  int code_;
};

// The port a server wants is taken.
class ENetCouldNotBindSocket : public Exception {
 public:
  ENetCouldNotBindSocket()
      : Exception("Could not bind socket. Address and port are already in use.") {}
};

// The text of a socket error code, and the whole message of ENetSocketError.
std::string SocketErrorText(int code);
std::string SocketErrorMessage(int code);
// An errno value as a socket error code (11000 + errno when it has none).
int SocketErrorFromErrno(int error);

// An IPv4 address and port, both in host byte order, as a socket address.
sockaddr_in SocketAddress(uint32_t address, uint16_t port);
// "a.b.c.d" of an address, and its port in host byte order.
std::string AddressText(const sockaddr_in& address);
uint16_t PortOf(const sockaddr_in& address);
bool SameAddress(const sockaddr_in& a, const sockaddr_in& b);

// One datagram's bytes for SendBatch: Head followed by Body (either may be
// empty), so a header and a payload kept apart leave without being joined.
struct OutgoingDatagram {
  const char* Head;
  size_t HeadSize;
  const char* Body = nullptr;
  size_t BodySize = 0;
};

// How one receive ended.
struct Received {
  // kUnreachable: an ICMP error came back for a datagram sent to from.
  enum Status { kDatagram, kNothing, kFailed, kUnreachable } status = kNothing;
  size_t length = 0;  // the datagram's full length, more than the buffer when cut
  sockaddr_in from{};
  int error = 0;  // socket error code (kFailed)
};

class UdpSocket {
 public:
  static constexpr int kCodeAddressInUse = 10048;
  static constexpr int kCodeMessageTooLong = 10040;

  // A socket bound to local (port 0: a free port chosen by the system), also
  // while this machine lacks local's address (IP_FREEBIND). Raises
  // ENetSocketError, or ENetCouldNotBindSocket when local is taken.
  explicit UdpSocket(const sockaddr_in& local);

  // The address and port the socket is bound to.
  sockaddr_in LocalAddress() const;
  // One datagram; 0 when it went out whole, otherwise a socket error code.
  int SendTo(const sockaddr_in& peer, std::string_view bytes);
  // count datagrams to one peer in as few calls as the system allows: runs
  // of equal size (the last may be shorter) leave as one buffer the system
  // cuts into datagrams, where the system and route can. 0 when all went
  // out, otherwise the code of the failure that stopped them.
  int SendBatch(const sockaddr_in& peer, const OutgoingDatagram* datagrams, size_t count);
  // Reads one datagram into buffer, waiting up to timeoutMs (negative: no
  // limit). The wait is the socket's receive time-out, changed only when
  // timeoutMs differs from the last one, so a session sets it once.
  Received Receive(char* buffer, size_t capacity, int timeoutMs);
  // Reads one datagram that is waiting or arrives within limit, asking again
  // and again without sleeping (other threads of this core get their turn
  // between the asks); kNothing when none came.
  Received Poll(char* buffer, size_t capacity, std::chrono::microseconds limit);
  // Asks the system to queue up to bytes of datagrams not yet read (it
  // doubles the figure for its bookkeeping and caps it at net.core.rmem_max);
  // a smaller queue drops what arrives while it is full. Never shrinks the queue.
  void SetReceiveQueueBytes(int bytes);
  // From now on each ICMP error (a port or host unreachable) that comes back
  // for a datagram sent from this socket is returned by a receive, one per
  // call, as kUnreachable. A failed send is tried once more (the system
  // fails the next send with such an error, whatever address it goes to).
  // Not for the request server's port: unread errors take room from the
  // datagrams waiting there.
  void ReportUnreachable();
  // Wakes a thread blocked in Receive (it returns kFailed or an empty
  // datagram). Any thread.
  void Wake();

 private:
  Received ReceiveOne(char* buffer, size_t capacity, int flags);
  int SendSegments(const sockaddr_in& peer, const OutgoingDatagram* datagrams, size_t count);
  // The next queued ICMP error as kUnreachable, or kNothing when none waits.
  Received ReceiveError();
  // A send that failed is tried once more after an ICMP error.
  template <typename Send>
  int SendAfterError(Send send);

  FileDescriptor fd_;
  int receiveTimeoutMs_ = -1;  // the socket's receive time-out; -1: none
  bool segmenting_ = true;     // SendBatch may let the system cut datagrams
  bool reportUnreachable_ = false;
  bool errorsQueued_ = false;  // an ICMP error may wait in the error queue
};
