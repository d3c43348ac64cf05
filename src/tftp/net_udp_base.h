// A UDP socket component: one socket opened on first use, sends to a peer
// address and receives with a time-out (TNetUDPBase), and the client form
// with its published peer and time-out (TNetUDPClient). One thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tftp/net_socket_handle.h"
#include "tftp/net_stack.h"

// How one receive ended; the socket layer's own return code.
enum class TReceiveStatus { kDatagram, kNothing, kEmpty, kTooLong, kFailed };

// One received datagram, read into a caller's buffer.
struct TReceivedDatagram {
  TReceiveStatus Status = TReceiveStatus::kNothing;
  size_t Size = 0;          // bytes in the buffer (kDatagram)
  uint32_t Address = 0;     // sender, host byte order
  uint16_t Port = 0;
  int ErrorCode = 0;        // socket error code (kFailed)
};

class TNetUDPBase : public TNetComponent {
 public:
  static constexpr int kUseReceiveTimeout = -1;

  TNetUDPBase() = default;
  ~TNetUDPBase() override;

  bool Active() const { return IsActive(); }
  // true opens the socket(s), false closes them; the same value does nothing.
  void SetActive(bool active);
  bool BroadcastEnabled() const { return broadcast_; }
  void SetBroadcastEnabled(bool enabled);

  // The component's socket, opened when needed.
  virtual TNetSocketHandle& AcquireBinding();
  virtual void ReleaseBinding();

  // Bytes of one datagram with its sender; no bytes, "" and 0 after a quiet
  // timeout. Raises ENetSocketError (10040 for a datagram longer than
  // BufferSize) or ENetUDPReceiveErrorZeroBytes.
  std::string ReceivePacket(int timeoutMs, std::string& host, int& port);
  // The same without exceptions, into buffer (capacity bytes); a datagram
  // longer than capacity gives kTooLong.
  TReceivedDatagram ReceiveInto(char* buffer, size_t capacity, int timeoutMs);

  // One datagram to host (looked up) and port, or to Host and Port.
  void SendPacket(const std::string& host, int port, const std::string& bytes);
  void SendPacket(const std::string& bytes) { SendPacket(Host, Port, bytes); }

  int BufferSize = 8192;
  std::string Host;
  int Port = 0;
  int ReceiveTimeout = TNetStack::kWaitWithoutLimit;

 protected:
  virtual bool IsActive() const;
  virtual void ApplyBroadcast();

 private:
  std::unique_ptr<TNetSocketHandle> binding_;
  bool broadcast_ = false;
};

// Raises the exception that stands for a failed receive (not kDatagram/kNothing).
[[noreturn]] void RaiseReceiveFailure(const TReceivedDatagram& received);

class TNetUDPClient : public TNetUDPBase {};
