// Every system call of the unit link's TCP side, in one place. Calls return
// the result and the errno they ended with instead of throwing; EINTR is
// retried where a call can be interrupted. IPv4 only; sockets are non-blocking.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace socket_ops {

struct Result {
  ssize_t value = -1;  // the call's result (a handle, a byte count, 0 for success)
  int error = 0;       // errno when value < 0
};

// A non-blocking, close-on-exec IPv4 stream socket.
Result CreateStreamSocket();
// Binds to an IPv4 address (host byte order; INADDR_ANY: every one) at port
// (0: one the system picks).
Result Bind(int fd, uint32_t address, int port);
Result Listen(int fd, int backlog);
// One pending connection as a non-blocking, close-on-exec handle; its
// peer's IPv4 address (host byte order) in peer.
Result Accept(int fd, uint32_t& peer);
// Sends without raising SIGPIPE.
Result Send(int fd, const char* data, std::size_t size);
Result Receive(int fd, char* data, std::size_t size);
// Looks at one byte without taking it: 0 means the peer has closed.
Result PeekOne(int fd);
// The count of bytes that can be read now without blocking.
Result BytesAvailable(int fd);
// The port the socket is bound to.
Result LocalPort(int fd);
Result Close(int fd);

// True for the errno of a call that would have blocked.
bool WouldBlock(int error);
// The operating system's text for an error code.
const char* ErrorText(int error);

}  // namespace socket_ops
