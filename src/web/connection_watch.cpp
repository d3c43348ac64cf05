#include "web/connection_watch.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QTcpSocket>

#include "web/bounded_tcp_server.h"

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

QHostAddress ClientAddress(const QTcpSocket& socket) {
  bool mapped = false;
  const quint32 ipv4 = socket.peerAddress().toIPv4Address(&mapped);
  return mapped ? QHostAddress(ipv4) : socket.peerAddress();
}

}  // namespace

ConnectionWatch::ConnectionWatch(QTcpSocket* socket, std::function<void(ConnectionWatch*)> gone)
    : QObject(socket), socket_(socket), gone_(std::move(gone)), peer_(ClientAddress(*socket)) {
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

ConnectionWatch::~ConnectionWatch() {
  if (gone_) gone_(this);
}

void ConnectionWatch::Cut() {
  request_.stop();
  idle_.stop();
  socket_->abort();
}

void ConnectionWatch::Received() {
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
void ConnectionWatch::Answering() {
  idle_.start(BoundedTcpServer::kIdleTimeoutMs);
  lastServed_ = std::chrono::steady_clock::now();
  served_ = true;
  request_.stop();
  requestUnderWay_ = false;
  answeredAt_ = BytesReceived(*socket_);
}

qint64 ConnectionWatch::ReceivedSinceAnswer() const {
  const qint64 now = BytesReceived(*socket_);
  return now < 0 || answeredAt_ < 0 ? socket_->bytesAvailable() : now - answeredAt_;
}
