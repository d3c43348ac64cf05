#include "link/server_listener.h"

#include <QTimer>
#include <cerrno>

#include "link/socket_error.h"
#include "link/socket_notifier.h"
#include "link/socket_ops.h"

ServerListener::ServerListener(std::function<void()> accept_ready)
    : accept_ready_(std::move(accept_ready)) {}

ServerListener::~ServerListener() { Close(); }

void ServerListener::Bind(uint32_t address, int port) {
  socket_ops::Result created = socket_ops::CreateStreamSocket();
  if (created.value < 0) throw ESocketError(kCantCreateSocket);
  handle_ = static_cast<int>(created.value);
  socket_ops::Result bound = socket_ops::Bind(handle_, address, port);
  if (bound.value < 0) {
    Close();
    throw SocketApiError(bound.error, "bind");
  }
  notifier_ = WatchSocket(handle_, QSocketNotifier::Read, [this] { accept_ready_(); });
  watching_ = std::make_shared<char>();
}

void ServerListener::Listen(int backlog) {
  socket_ops::Result listening = socket_ops::Listen(handle_, backlog);
  if (listening.value < 0) throw SocketApiError(listening.error, "listen");
}

socket_ops::Result ServerListener::AcceptOne(uint32_t& peer) {
  if (handle_ < 0) return {-1, EBADF};
  return socket_ops::Accept(handle_, peer);
}

void ServerListener::Pause(std::chrono::milliseconds span) {
  if (!notifier_) return;
  notifier_->setEnabled(false);
  std::weak_ptr<char> watching = watching_;
  QTimer::singleShot(span, notifier_.get(), [this, watching] {
    if (!watching.expired()) notifier_->setEnabled(true);
  });
}

void ServerListener::Close() {
  if (handle_ < 0) return;
  watching_.reset();
  DropNotifier(notifier_);
  socket_ops::Close(handle_);
  handle_ = -1;
}

int ServerListener::BoundPort() const {
  if (handle_ < 0) return 0;
  socket_ops::Result port = socket_ops::LocalPort(handle_);
  return port.value < 0 ? 0 : static_cast<int>(port.value);
}
