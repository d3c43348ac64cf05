#include "link/server_socket.h"

#include <algorithm>
#include <cerrno>

#include "base/failure_report.h"
#include "link/socket_ops.h"

TServerSocket::TServerSocket(QObject* Owner)
    : QObject(Owner), listener_([this] { RunGuarded([this] { AcceptOne(); }); }) {}

TServerSocket::~TServerSocket() { CloseListener(); }

void TServerSocket::SetActive(bool Value) {
  if (Value) {
    OpenListener();
  } else {
    CloseListener();
  }
}

void TServerSocket::SetPort(int Value) {
  if (Value == port_) return;
  if (active_) throw ESocketError(kCantChangeWhileActive);
  port_ = Value;
}

void TServerSocket::OpenListener() {
  if (active_) return;
  listener_.Bind(localAddress_, port_);
  std::weak_ptr<char> alive = alive_;
  try {
    active_ = true;
    if (OnListen) OnListen(this);
    if (alive.expired()) return;
    listener_.Listen(kListenBacklog);
  } catch (...) {
    if (!alive.expired()) CloseListener();
    throw;
  }
}

void TServerSocket::CloseListener() {
  if (!active_ && !listener_.IsOpen()) return;
  while (!connections_.empty()) {
    std::shared_ptr<ServerConnection> last = std::move(connections_.back());
    connections_.pop_back();
    last->Detach();
  }
  listener_.Close();
  active_ = false;
}

ServerConnection* TServerSocket::ConnectionAt(int Index) const {
  if (Index < 0 || Index >= ConnectionCount()) throw ListIndexError(Index);
  return connections_[static_cast<std::size_t>(Index)].get();
}

void TServerSocket::AcceptOne() {
  uint32_t peer = 0;
  socket_ops::Result accepted = listener_.AcceptOne(peer);
  if (accepted.value < 0) return AcceptFailed(accepted.error);
  accept_failing_ = false;
  auto handle = static_cast<int>(accepted.value);
  if ((senders_ && !senders_->Admit(peer, "the unit link")) || !HasRoomFor(peer)) {
    socket_ops::Close(handle);
    return;
  }
  auto connection =
      std::make_shared<ServerConnection>(handle, static_cast<ConnectionHooks*>(this), OutputLimits);
  connection->peer_ = peer;
  connections_.push_back(connection);
  connection->Watch();
  RaiseAccepted(connection);
}

// A connection already gone, or nothing pending, needs nothing. Any other
// failure would come back at once while connections wait (the listener stays
// readable), so accepting pauses instead of spinning.
void TServerSocket::AcceptFailed(int code) {
  if (socket_ops::WouldBlock(code) || code == ECONNABORTED) return;
  listener_.Pause(kAcceptPause);
  if (accept_failing_) return;
  accept_failing_ = true;
  throw SocketApiError(code, "accept");
}

bool TServerSocket::HasRoomFor(uint32_t peer) {
  std::string reason;
  auto held = std::count_if(connections_.begin(), connections_.end(),
                            [peer](const auto& connection) { return connection->Peer() == peer; });
  if (connections_.size() >= kMaxConnections) {
    reason = "all " + std::to_string(kMaxConnections) + " connections are taken";
  } else if (static_cast<std::size_t>(held) >= kMaxConnectionsPerAddress) {
    reason = "it holds " + std::to_string(held) + " connections, its share of " +
             std::to_string(kMaxConnections);
  } else {
    return true;
  }
  limit_notice_.Count("Closed a connection from " + Ipv4Text(peer) +
                      " on the unit link: " + reason);
  return false;
}

// A failed OnClientConnect destroys the new connection without a disconnect event.
void TServerSocket::RaiseAccepted(const std::shared_ptr<ServerConnection>& connection) {
  std::weak_ptr<char> alive = alive_;
  try {
    if (OnClientConnect) OnClientConnect(this, connection.get());
  } catch (...) {
    if (!alive.expired()) DestroyConnection(connection.get());
    throw;
  }
  if (!alive.expired() && OnAccept) OnAccept(this, connection.get());
}

void TServerSocket::ConnectionRead(ServerConnection& connection) {
  if (OnClientRead) OnClientRead(this, &connection);
}

void TServerSocket::ConnectionWrite(ServerConnection& connection) {
  if (OnClientWrite) OnClientWrite(this, &connection);
}

void TServerSocket::ConnectionClosing(ServerConnection& connection) {
  if (OnClientDisconnect) OnClientDisconnect(this, &connection);
}

void TServerSocket::ConnectionError(ServerConnection& connection, TErrorEvent event, int& code) {
  if (OnClientError) OnClientError(this, &connection, event, code);
}

void TServerSocket::ConnectionReleased(ServerConnection& connection) {
  PostDestruction(connection);
}

// Runs after the current notification; a connection destroyed meanwhile is left alone.
void TServerSocket::PostDestruction(ServerConnection& connection) {
  std::weak_ptr<ServerConnection> weak = connection.weak_from_this();
  QMetaObject::invokeMethod(
      this,
      [this, weak] {
        RunGuarded([&] {
          if (auto target = weak.lock()) DestroyConnection(target.get());
        });
      },
      Qt::QueuedConnection);
}

void TServerSocket::DestroyConnection(ServerConnection* connection) {
  auto listed = std::find_if(connections_.begin(), connections_.end(),
                             [connection](const auto& item) { return item.get() == connection; });
  if (listed == connections_.end()) return;
  std::shared_ptr<ServerConnection> held = std::move(*listed);
  connections_.erase(listed);
  held->Detach();
}
