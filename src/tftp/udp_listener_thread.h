// The listener of a TNetUDPServer: waits up to SelectTimeout on all bindings,
// reads each datagram into one reused buffer and dispatches it. No datagram
// ends it: empty, oversized and unreadable datagrams are dropped.
// Owned by the server, which stops and awaits it before closing the bindings.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "tftp/net_thread.h"

class TNetUDPServer;
class TNetSocketHandle;

class TNetUDPListenerThread : public TNetThread {
 public:
  static constexpr int kSelectTimeoutMs = 1000;

  TNetUDPListenerThread(int bufferSize, TNetUDPServer& owner);
  ~TNetUDPListenerThread() override;

  // Ends a dispatch that waits for the main thread; call before StopAndWait.
  void Retire();

  int SelectTimeout = kSelectTimeoutMs;

 protected:
  void Step() override;

 private:
  void ReadOne(int socket);
  void Dispatch(size_t size, TNetSocketHandle& binding);

  // Shared with dispatch calls posted to the main thread.
  struct Guard {
    std::mutex mutex;
    bool serverAlive = true;  // guarded by mutex
  };

  TNetSocketHandle* ArrivalBinding = nullptr;
  std::vector<char> PacketBuffer;
  TNetUDPServer& OwnerServer;
  std::shared_ptr<Guard> guard_;
};
