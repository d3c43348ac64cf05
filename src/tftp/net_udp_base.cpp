#include "tftp/net_udp_base.h"

#include "tftp/net_exceptions.h"
#include "tftp/udp_socket_ops.h"

TNetUDPBase::~TNetUDPBase() { TNetUDPBase::ReleaseBinding(); }

void TNetUDPBase::SetActive(bool active) {
  if (active == IsActive()) return;
  if (active) {
    AcquireBinding();
  } else {
    ReleaseBinding();
  }
}

void TNetUDPBase::SetBroadcastEnabled(bool enabled) {
  if (enabled == broadcast_) return;
  broadcast_ = enabled;
  if (IsActive()) ApplyBroadcast();
}

bool TNetUDPBase::IsActive() const { return binding_ && binding_->Allocated; }

void TNetUDPBase::ApplyBroadcast() {
  if (binding_) binding_->ApplyBroadcast(broadcast_);
}

TNetSocketHandle& TNetUDPBase::AcquireBinding() {
  if (!binding_) binding_ = std::make_unique<TNetSocketHandle>();
  if (!binding_->Allocated) {
    binding_->Allocate();
    ApplyBroadcast();
  }
  return *binding_;
}

void TNetUDPBase::ReleaseBinding() { binding_.reset(); }

TReceivedDatagram TNetUDPBase::ReceiveInto(char* buffer, size_t capacity, int timeoutMs) {
  TNetSocketHandle& binding = AcquireBinding();
  TReceivedDatagram received;
  ssize_t length = binding.ReceiveWithin(timeoutMs == kUseReceiveTimeout ? ReceiveTimeout : timeoutMs,
                                         buffer, capacity, received.Address, received.Port);
  if (length < 0) {
    const int code = udp_ops::LastSocketError();
    if (code == udp_ops::kCodeWouldBlock) return received;  // nothing within the wait
    received.Status = TReceiveStatus::kFailed;
    received.ErrorCode = code;
  } else if (length == 0) {
    received.Status = TReceiveStatus::kEmpty;
  } else if (static_cast<size_t>(length) > capacity) {
    received.Status = TReceiveStatus::kTooLong;
  } else {
    received.Status = TReceiveStatus::kDatagram;
    received.Size = static_cast<size_t>(length);
  }
  return received;
}

void RaiseReceiveFailure(const TReceivedDatagram& received) {
  switch (received.Status) {
    case TReceiveStatus::kEmpty:
      throw ENetUDPReceiveErrorZeroBytes();
    case TReceiveStatus::kTooLong:
      throw ENetSocketError(udp_ops::kCodeMessageTooLong);
    default:
      throw ENetSocketError(received.ErrorCode);
  }
}

std::string TNetUDPBase::ReceivePacket(int timeoutMs, std::string& host, int& port) {
  std::string bytes(static_cast<size_t>(BufferSize), '\0');
  TReceivedDatagram received = ReceiveInto(bytes.data(), bytes.size(), timeoutMs);
  host.clear();
  port = 0;
  if (received.Status == TReceiveStatus::kNothing) return {};
  if (received.Status != TReceiveStatus::kDatagram) RaiseReceiveFailure(received);
  bytes.resize(received.Size);
  host = TNetStack::AddressText(received.Address);
  port = received.Port;
  return bytes;
}

void TNetUDPBase::SendPacket(const std::string& host, int port, const std::string& bytes) {
  std::string address = SharedStack().LookupHost(host);
  AcquireBinding().SendDatagram(address, port, bytes);
}
