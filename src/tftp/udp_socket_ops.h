// Every system call of the UDP socket layer, and nothing else. IPv4 only.
// Calls return -1 on failure and leave the cause in LastSocketError(), already
// mapped onto the 100xx socket error codes; EINTR is retried where it can occur.
// Addresses are 32-bit values in host byte order (127.0.0.1 is 0x7F000001).
// Thread safe: each call touches only the descriptor it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace udp_ops {

constexpr int kCodeMessageTooLong = 10040;
// A receive found nothing within the socket's receive time-out.
constexpr int kCodeWouldBlock = 10035;

// The socket error code of the calling thread's last failed call.
int LastSocketError();
// Maps one errno value onto the socket error codes (11000 + errno when unknown).
int SocketErrorFromErrno(int error);

int OpenDatagramSocket();
int Bind(int fd, uint32_t address, uint16_t port);
int LocalName(int fd, uint32_t& address, uint16_t& port);
int SetBroadcast(int fd, bool enabled);
// The longest a blocking receive waits before it fails with kCodeWouldBlock;
// 0 waits without limit.
int SetReceiveTimeout(int fd, int timeoutMs);
// Shuts the socket down in both directions, which also wakes any thread
// waiting on it, and ignores failures.
void Shutdown(int fd);
void Close(int fd);

// Sends one datagram; returns the bytes taken or -1.
ssize_t SendTo(int fd, const void* data, size_t size, uint32_t address, uint16_t port);

// One datagram's bytes, for SendBatch: Head followed by Body (either may be
// empty), so a header and a payload kept apart leave without being copied
// together first.
struct OutgoingDatagram {
  const char* Head;
  size_t HeadSize;
  const char* Body = nullptr;
  size_t BodySize = 0;
};

// Sends count datagrams to one address in as few calls as the system allows
// (one for a single datagram); returns how many went out whole (fewer only on
// a failure), or -1 when the first failed.
int SendBatch(int fd, const OutgoingDatagram* datagrams, size_t count, uint32_t address,
              uint16_t port);

// Reads one datagram of at most capacity bytes; returns its full length, which
// is larger than capacity when it was cut (its tail is lost), or -1. Waits as
// the socket's receive time-out says, or not at all when wait is false (an
// empty queue then fails with kCodeWouldBlock).
ssize_t ReceiveFrom(int fd, void* buffer, size_t capacity, uint32_t& address, uint16_t& port,
                    bool wait = true);

// Waits up to timeoutMs (negative: without limit) until one of fds is readable.
// ready[i] tells whether fds[i] is; returns the ready count, 0 on time-out, -1.
int WaitReadable(const std::vector<int>& fds, std::vector<bool>& ready, int timeoutMs);

// The same for one socket: 1 readable, 0 time-out, -1 failure.
int WaitOneReadable(int fd, int timeoutMs);

// The first IPv4 address of a host name, or -1 (code 11001) when there is none.
int LookupIPv4(const std::string& name, uint32_t& address);

}  // namespace udp_ops
