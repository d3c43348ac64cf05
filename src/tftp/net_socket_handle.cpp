#include "tftp/net_socket_handle.h"

#include "tftp/net_exceptions.h"
#include "tftp/net_stack.h"
#include "tftp/udp_socket_ops.h"

namespace {
constexpr int kCodeAddressInUse = 10048;
}

void TNetSocketHandle::Allocate() {
  Close(true);
  SocketId = SharedStack().CreateSocket();
  Allocated = true;
  receiveTimeoutMs_ = 0;
}

void TNetSocketHandle::Close(bool resetLocal) {
  if (!Allocated) return;
  Allocated = false;
  udp_ops::Shutdown(SocketId);
  udp_ops::Close(SocketId);
  SocketId = -1;
  RemoteAddress.clear();
  RemotePort = 0;
  if (resetLocal) {
    IP.clear();
    Port = 0;
  }
}

void TNetSocketHandle::BindLocal() {
  TNetStack& stack = SharedStack();
  uint32_t address = IP.empty() ? 0 : TNetStack::AddressFromText(stack.LookupHost(IP));
  if (udp_ops::Bind(SocketId, address, static_cast<uint16_t>(Port)) != 0) {
    if (udp_ops::LastSocketError() == kCodeAddressInUse) throw ENetCouldNotBindSocket();
    stack.CheckResult(-1);
  }
  uint16_t port = 0;
  stack.CheckResult(udp_ops::LocalName(SocketId, address, port));
  IP = TNetStack::AddressText(address);
  Port = port;
}

void TNetSocketHandle::ApplyBroadcast(bool enabled) {
  SharedStack().CheckResult(udp_ops::SetBroadcast(SocketId, enabled));
}

void TNetSocketHandle::SendDatagram(uint32_t address, uint16_t port, const char* data, size_t size) {
  ssize_t sent = udp_ops::SendTo(SocketId, data, size, address, port);
  if (sent < 0) {
    if (udp_ops::LastSocketError() == udp_ops::kCodeMessageTooLong) throw ENetPackageSizeTooBig();
    SharedStack().CheckResult(-1);
  }
  if (static_cast<size_t>(sent) != size) throw ENetNotAllBytesSent();
}

void TNetSocketHandle::SendDatagram(const std::string& address, int port, const std::string& bytes) {
  SendDatagram(TNetStack::AddressFromText(address), static_cast<uint16_t>(port), bytes.data(),
               bytes.size());
}

void TNetSocketHandle::SendDatagrams(uint32_t address, uint16_t port,
                                     const udp_ops::OutgoingDatagram* datagrams, size_t count) {
  if (count == 0) return;
  const int sent = udp_ops::SendBatch(SocketId, datagrams, count, address, port);
  if (sent < 0) {
    if (udp_ops::LastSocketError() == udp_ops::kCodeMessageTooLong) throw ENetPackageSizeTooBig();
    SharedStack().CheckResult(-1);
  }
  if (static_cast<size_t>(sent) != count) throw ENetNotAllBytesSent();
}

ssize_t TNetSocketHandle::ReceiveFrom(char* buffer, size_t size, uint32_t& address, uint16_t& port) {
  return udp_ops::ReceiveFrom(SocketId, buffer, size, address, port);
}

ssize_t TNetSocketHandle::ReceiveWithin(int timeoutMs, char* buffer, size_t size,
                                        uint32_t& address, uint16_t& port) {
  if (SocketId < 0) throw ENetConnClosedGracefully();
  if (timeoutMs == 0) return udp_ops::ReceiveFrom(SocketId, buffer, size, address, port, false);
  const int wait = timeoutMs < 0 ? 0 : timeoutMs;
  if (wait != receiveTimeoutMs_) {
    SharedStack().CheckResult(udp_ops::SetReceiveTimeout(SocketId, wait));
    receiveTimeoutMs_ = wait;
  }
  return udp_ops::ReceiveFrom(SocketId, buffer, size, address, port);
}

bool TNetSocketHandle::WaitReadable(int timeoutMs) {
  if (SocketId < 0) throw ENetConnClosedGracefully();
  // Select on this one socket, without building socket lists per packet.
  return udp_ops::WaitOneReadable(SocketId, timeoutMs == TNetStack::kWaitWithoutLimit ? -1 : timeoutMs) == 1;
}

void TNetSocketHandle::Interrupt() {
  if (Allocated) udp_ops::Shutdown(SocketId);
}

TNetSocketHandle& TNetSocketHandles::Add() {
  items_.push_back(std::make_unique<TNetSocketHandle>(DefaultPort));
  return *items_.back();
}

TNetSocketHandle* TNetSocketHandles::FindBySocket(int socket) const {
  for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
    if ((*it)->SocketId == socket) return it->get();
  }
  return nullptr;
}
