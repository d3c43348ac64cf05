// The event-driven TCP server component: listens on one IPv4 port, accepts
// connections and turns every socket's readiness into events, all on the
// main thread's event loop. Connections are listed in order of acceptance;
// positions close up when one is destroyed. Every exception that leaves a
// notification (an event handler's or the server's own) goes to the failure
// report and the loop goes on. Events are raised only while assigned; a
// handler may close the listener or destroy the server from inside an event.
#pragma once

#include <sys/socket.h>

#include <QObject>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "base/allowed_senders.h"
#include "link/limit_notice.h"
#include "link/server_connection.h"
#include "link/server_listener.h"
#include "link/socket_error.h"

class TServerSocket;

using TSocketNotifyEvent = std::function<void(TServerSocket* Sender, ServerConnection* Socket)>;
using TSocketErrorEvent = std::function<void(TServerSocket* Sender, ServerConnection* Socket,
                                             TErrorEvent ErrorEvent, int& ErrorCode)>;
using ListenEvent = std::function<void(TServerSocket* Sender)>;

class TServerSocket : public QObject, private ConnectionHooks {
 public:
  // The system's largest queue of connections not yet accepted: units that
  // connect together (after a restart) are all greeted, none is reset.
  static constexpr int kListenBacklog = SOMAXCONN;
  // Connections beyond this many, or beyond this many from one address (a
  // quarter: one host cannot take every slot), are accepted and closed at
  // once, without events; the closings are noted (see LimitNotice).
  static constexpr std::size_t kMaxConnections = 256;
  static constexpr std::size_t kMaxConnectionsPerAddress = kMaxConnections / 4;
  // After a failed accept (no descriptor left, no memory) accepting pauses this long.
  static constexpr std::chrono::milliseconds kAcceptPause{100};

  // Owner, when given, destroys the server with itself. The server does not listen yet.
  explicit TServerSocket(QObject* Owner = nullptr);
  // Closes the listener: connections are destroyed without disconnect events.
  ~TServerSocket() override;

  bool Active() const { return active_; }
  void SetActive(bool Value);
  int Port() const { return port_; }
  // Raises "Can't change value while socket is active" for a new value while open.
  void SetPort(int Value);
  // The local address to listen on (host byte order; 0: every one), from the next opening.
  void SetLocalAddress(uint32_t Address) { localAddress_ = Address; }
  // A connection from a sender that senders refuse is closed at once, before
  // any event: no slot, no greeting, no error. Null (the default): everyone.
  void SetAllowedSenders(std::shared_ptr<AllowedSenders> senders) { senders_ = std::move(senders); }
  // The port actually listened on (Port 0 picks a free one); 0 while closed.
  int BoundPort() const { return listener_.BoundPort(); }

  // Listens on Port (backlog kListenBacklog); raises the "bind" or "listen" message, and
  // then nothing stays open. Does nothing while open.
  void OpenListener();
  // Destroys the connections last-first without disconnect events, then
  // closes the listening socket. Does nothing while closed.
  void CloseListener();

  int ConnectionCount() const { return static_cast<int>(connections_.size()); }
  // Raises "List index out of bounds (%d)" for a position outside the list.
  ServerConnection* ConnectionAt(int Index) const;

  TSocketNotifyEvent OnClientConnect;     // accepted, listed last and watched
  TSocketNotifyEvent OnClientDisconnect;  // closing; still open and listed
  TSocketNotifyEvent OnClientRead;        // bytes arrived; read with ReadAvailableText
  TSocketNotifyEvent OnClientWrite;       // the queued output has all gone out
  TSocketErrorEvent OnClientError;        // ErrorCode left non-zero is raised afterwards
  ListenEvent OnListen;                   // the listener is about to listen
  TSocketNotifyEvent OnAccept;            // after OnClientConnect

  // The unsent output a connection may hold; applies to connections accepted from now on.
  OutputBounds OutputLimits;

 private:
  void ConnectionRead(ServerConnection& connection) override;
  void ConnectionWrite(ServerConnection& connection) override;
  void ConnectionClosing(ServerConnection& connection) override;
  void ConnectionError(ServerConnection& connection, TErrorEvent event, int& code) override;
  void ConnectionReleased(ServerConnection& connection) override;

  void AcceptOne();
  void AcceptFailed(int code);
  // False (and noted) when the connections or peer's share of them are all taken.
  bool HasRoomFor(uint32_t peer);
  void RaiseAccepted(const std::shared_ptr<ServerConnection>& connection);
  void PostDestruction(ServerConnection& connection);
  void DestroyConnection(ServerConnection* connection);

  bool active_ = false;
  int port_ = 0;
  uint32_t localAddress_ = 0;
  std::shared_ptr<AllowedSenders> senders_;
  // A run of failed accepts is reported once, at its first failure.
  bool accept_failing_ = false;
  LimitNotice limit_notice_;
  ServerListener listener_;
  std::vector<std::shared_ptr<ServerConnection>> connections_;
  // Expires with the server: code that raised an event checks it before going on.
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};
