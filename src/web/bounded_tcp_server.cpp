#include "web/bounded_tcp_server.h"

#include <unistd.h>

#include <QTcpSocket>
#include <QTimer>

namespace {

// Watches one connection: bytes received since its last answer began, the
// deadline of the request under way and the idle deadline. A child of the
// socket, so it goes with it.
class ConnectionWatch : public QObject {
 public:
  ConnectionWatch(QTcpSocket* socket, int& open) : QObject(socket), socket_(socket), open_(open) {
    ++open_;
    request_.setSingleShot(true);
    idle_.setSingleShot(true);
    connect(&request_, &QTimer::timeout, this, [this] { Cut(); });
    connect(&idle_, &QTimer::timeout, this, [this] { Cut(); });
    // Connected before the HTTP server's own handlers, so this check runs first.
    connect(socket, &QTcpSocket::readyRead, this, [this] { Received(); });
    connect(socket, &QTcpSocket::bytesWritten, this, [this] { Answering(); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    idle_.start(BoundedTcpServer::kIdleTimeoutMs);
  }
  ~ConnectionWatch() override { --open_; }

 private:
  void Received() {
    idle_.start(BoundedTcpServer::kIdleTimeoutMs);
    if (pending_ == 0) request_.start(BoundedTcpServer::kRequestTimeoutMs);
    // The server reads everything at each notification: what is available now is new.
    // A full read buffer means the server waits for more than a request may hold.
    pending_ += socket_->bytesAvailable();
    if (pending_ > BoundedTcpServer::kMaxRequestBytes ||
        socket_->bytesAvailable() >= BoundedTcpServer::kMaxRequestBytes)
      Cut();
  }
  // The server reads what arrived before it answers; what it read counts on.
  void Answering() {
    idle_.start(BoundedTcpServer::kIdleTimeoutMs);
    request_.stop();
    pending_ = 0;
  }
  void Cut() {
    request_.stop();
    idle_.stop();
    socket_->abort();
  }

  QTcpSocket* socket_;
  int& open_;
  QTimer request_;
  QTimer idle_;
  qint64 pending_ = 0;
};

}  // namespace

BoundedTcpServer::BoundedTcpServer(QObject* parent) : QTcpServer(parent) {}

void BoundedTcpServer::incomingConnection(qintptr descriptor) {
  if (open_ >= kMaxConnections) {
    ::close(static_cast<int>(descriptor));
    return;
  }
  auto* socket = new QTcpSocket(this);
  if (!socket->setSocketDescriptor(descriptor)) {
    delete socket;
    ::close(static_cast<int>(descriptor));
    return;
  }
  socket->setReadBufferSize(kMaxRequestBytes);  // what one notification can bring
  new ConnectionWatch(socket, open_);
  addPendingConnection(socket);
}
