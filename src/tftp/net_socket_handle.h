// One UDP socket with its local address and the address of the last sender
// (TNetSocketHandle), and the bindings of a server (TNetSocketHandles).
// A handle owns its socket and closes it when destroyed. Not thread safe: a
// handle is used by one thread at a time (the listener, or one session).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "tftp/udp_socket_ops.h"

class TNetSocketHandle {
 public:
  explicit TNetSocketHandle(int port = 0) : Port(port) {}
  ~TNetSocketHandle() { Close(true); }
  TNetSocketHandle(const TNetSocketHandle&) = delete;
  TNetSocketHandle& operator=(const TNetSocketHandle&) = delete;

  // Closes an open socket first, then opens a new datagram socket.
  void Allocate();
  // Shuts down and closes the socket (failures ignored); resetLocal also
  // forgets IP and Port.
  void Close(bool resetLocal);
  // Binds to IP ("" = all local addresses) and Port (0 = any), then reads both
  // back. Raises ENetCouldNotBindSocket (address in use) or ENetSocketError.
  void BindLocal();
  void ApplyBroadcast(bool enabled);

  // One datagram to address:port. Raises ENetPackageSizeTooBig,
  // ENetNotAllBytesSent or ENetSocketError.
  void SendDatagram(uint32_t address, uint16_t port, const char* data, size_t size);
  void SendDatagram(const std::string& address, int port, const std::string& bytes);
  // Several datagrams to one peer, in order; raises as SendDatagram does.
  void SendDatagrams(uint32_t address, uint16_t port, const udp_ops::OutgoingDatagram* datagrams,
                     size_t count);

  // Reads one datagram; returns its full length (more than size when it was
  // cut) or -1, checking nothing itself.
  ssize_t ReceiveFrom(char* buffer, size_t size, uint32_t& address, uint16_t& port);

  // Reads one datagram, waiting up to timeoutMs for it (0: only what is
  // queued; negative: without limit). As ReceiveFrom, and -1 with
  // udp_ops::kCodeWouldBlock when nothing came in time. One call per
  // datagram: the wait is the socket's receive time-out, changed only when
  // timeoutMs differs from the last wait. Raises ENetConnClosedGracefully
  // when there is no socket.
  ssize_t ReceiveWithin(int timeoutMs, char* buffer, size_t size, uint32_t& address,
                        uint16_t& port);

  // True when the socket became readable within timeoutMs (-2: no limit).
  // Raises ENetConnClosedGracefully when there is no socket.
  bool WaitReadable(int timeoutMs);

  void RecordPeer(const std::string& address, int port) {
    RemoteAddress = address;
    RemotePort = port;
  }

  // Wakes a thread that waits on the socket without closing it.
  void Interrupt();

  int SocketId = -1;
  bool Allocated = false;
  std::string IP;
  std::string RemoteAddress;
  int Port = 0;
  int RemotePort = 0;

 private:
  int receiveTimeoutMs_ = 0;  // the socket's receive time-out; 0: none
};

class TNetSocketHandles {
 public:
  // A new binding on all local addresses at DefaultPort.
  TNetSocketHandle& Add();
  // The binding holding socket, searched from the last to the first, or null.
  TNetSocketHandle* FindBySocket(int socket) const;
  size_t Count() const { return items_.size(); }
  TNetSocketHandle& At(size_t index) const { return *items_[index]; }

  int DefaultPort = 0;

 private:
  std::vector<std::unique_ptr<TNetSocketHandle>> items_;
};
