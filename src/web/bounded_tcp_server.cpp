#include "web/bounded_tcp_server.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTcpSocket>
#include <QTimer>

namespace {

// Every byte the kernel took from the peer on this connection, whether or not
// anyone read it yet: the HTTP server may read more than a notification
// announced, so what sockets announce cannot be counted instead.
qint64 BytesReceived(const QTcpSocket& socket) {
  tcp_info info{};
  socklen_t size = sizeof info;
  const int fd = static_cast<int>(socket.socketDescriptor());
  if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
      size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
    return -1;
  return static_cast<qint64>(info.tcpi_bytes_received);
}

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
    if (!requestUnderWay_) request_.start(BoundedTcpServer::kRequestTimeoutMs);
    requestUnderWay_ = true;
    // A full read buffer means the server waits for more than a request may hold.
    if (ReceivedSinceAnswer() > BoundedTcpServer::kMaxRequestBytes ||
        socket_->bytesAvailable() >= BoundedTcpServer::kMaxRequestBytes)
      Cut();
  }
  // The server reads what arrived before it answers; what comes after counts
  // for the next request.
  void Answering() {
    idle_.start(BoundedTcpServer::kIdleTimeoutMs);
    request_.stop();
    requestUnderWay_ = false;
    answeredAt_ = BytesReceived(*socket_);
  }
  qint64 ReceivedSinceAnswer() const {
    const qint64 now = BytesReceived(*socket_);
    return now < 0 || answeredAt_ < 0 ? socket_->bytesAvailable() : now - answeredAt_;
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
  bool requestUnderWay_ = false;
  qint64 answeredAt_ = 0;  // bytes received when the last answer began; -1: unknown
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
