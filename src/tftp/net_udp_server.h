// A UDP server: bindings (local address/port pairs) opened on activation and a
// listener thread that reads every datagram and hands it to DispatchDatagram,
// on the listener thread (ThreadedEvent true) or on the main thread (false).
// Activate and deactivate from one controlling thread (the main thread).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "tftp/net_udp_base.h"

class TNetUDPListenerThread;

class TNetUDPServer : public TNetUDPBase {
 public:
  using TUDPReadEvent =
      std::function<void(TNetUDPServer& sender, std::string_view data, TNetSocketHandle& binding)>;

  TNetUDPServer();
  ~TNetUDPServer() override;

  TNetSocketHandles& Bindings() { return bindings_; }
  int DefaultPort() const { return bindings_.DefaultPort; }
  void SetDefaultPort(int port) { bindings_.DefaultPort = port; }

  // Opens every binding (adding one at DefaultPort when there is none) and
  // starts the listener. Raises ENetNoBindingsSpecified, ENetInvalidSocket,
  // ENetCouldNotBindSocket or ENetSocketError; the server then stays inactive.
  TNetSocketHandle& AcquireBinding() override;
  // Stops and awaits the listener, then closes every binding.
  void ReleaseBinding() override;

  // Called for each datagram, data holding exactly it; raises OnUDPRead.
  virtual void DispatchDatagram(std::string_view data, TNetSocketHandle& binding);

  // The binding of the datagram being dispatched (sends leave from it).
  TNetSocketHandle* DispatchBinding() const { return dispatchBinding_.load(); }
  // The listener's state, for a look at why it ended.
  bool ListenerRunning() const;
  std::string ListenerLastExceptionMessage() const;

  bool ThreadedEvent = false;
  TUDPReadEvent OnUDPRead;

 protected:
  bool IsActive() const override;
  void ApplyBroadcast() override;

 private:
  friend class TNetUDPListenerThread;
  void DispatchFromListener(std::string_view data, TNetSocketHandle& binding);
  void OpenBindings();

  TNetSocketHandles bindings_;
  // Written by the listener, read by the controlling thread.
  std::atomic<TNetSocketHandle*> dispatchBinding_{nullptr};
  std::unique_ptr<TNetUDPListenerThread> listener_;
  std::string lastListenerMessage_;
};
