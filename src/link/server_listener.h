// The listening socket of a TServerSocket: IPv4, one or every local address, watched
// for accept readiness on the main thread's event loop. Owned by its server;
// raises ESocketError with the system's texts when opening fails.
#pragma once

#include <QSocketNotifier>
#include <chrono>
#include <functional>
#include <memory>

#include "link/socket_ops.h"

class ServerListener {
 public:
  // accept_ready runs on every accept notification while the socket is open.
  explicit ServerListener(std::function<void()> accept_ready);
  ~ServerListener();
  ServerListener(const ServerListener&) = delete;
  ServerListener& operator=(const ServerListener&) = delete;

  // Creates the socket, binds it to address (host byte order; INADDR_ANY:
  // every local one) and port (0: any free one) and watches it. Raises
  // "Can't create new socket" or the "bind" message; nothing stays open then.
  void Bind(uint32_t address, int port);
  // Starts listening; raises the "listen" message.
  void Listen(int backlog);
  // One pending connection's handle and its peer's address, or -1 with the
  // error of the failed accept.
  socket_ops::Result AcceptOne(uint32_t& peer);
  // Stops accept notifications for span; they resume unless the socket was closed meanwhile.
  void Pause(std::chrono::milliseconds span);
  void Close();
  bool IsOpen() const { return handle_ >= 0; }
  // The port bound to, or 0 while closed.
  int BoundPort() const;

 private:
  std::function<void()> accept_ready_;
  int handle_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
  // Expires when the notifier it was made for is dropped.
  std::shared_ptr<char> watching_;
};
