#include "web/bounded_tcp_server.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/allowed_senders.h"
#include "base/failure_report.h"
#include "web/connection_watch.h"

namespace {

constexpr int kBacklog = 50;  // as QTcpServer::listen

// The socket address of host:port and its size; 0 when host is no IP address.
socklen_t SocketAddressOf(const QHostAddress& host, quint16 port, sockaddr_storage& address) {
  address = {};
  if (host.protocol() == QAbstractSocket::IPv4Protocol) {
    auto& ipv4 = reinterpret_cast<sockaddr_in&>(address);
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(port);
    ipv4.sin_addr.s_addr = htonl(host.toIPv4Address());
    return sizeof ipv4;
  }
  if (host.protocol() != QAbstractSocket::IPv6Protocol) return 0;
  auto& ipv6 = reinterpret_cast<sockaddr_in6&>(address);
  ipv6.sin6_family = AF_INET6;
  ipv6.sin6_port = htons(port);
  const Q_IPV6ADDR bytes = host.toIPv6Address();
  std::memcpy(&ipv6.sin6_addr, bytes.c, sizeof ipv6.sin6_addr);
  ipv6.sin6_scope_id = ::if_nametoindex(host.scopeId().toLatin1().constData());  // 0: none
  return sizeof ipv6;
}

// A listening TCP socket bound freely to address, or -1 with errno set.
int OpenListening(const sockaddr_storage& address, socklen_t size) {
  const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  // Address reuse as QTcpServer has it: a restarted program listens again at once.
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ::setsockopt(fd, IPPROTO_IP, IP_FREEBIND, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0 &&
      ::listen(fd, kBacklog) == 0)
    return fd;
  const int error = errno;
  ::close(fd);
  errno = error;
  return -1;
}

}  // namespace

BoundedTcpServer::BoundedTcpServer(std::shared_ptr<AllowedSenders> senders, QObject* parent)
    : QTcpServer(parent), senders_(std::move(senders)) {
  connect(this, &QTcpServer::acceptError, this, [this] { RetryAcceptingLater(); });
}

BoundedTcpServer::~BoundedTcpServer() {
  for (ConnectionWatch* watch : connections_) watch->Forget();
}

bool BoundedTcpServer::ListenFreely(const QHostAddress& host, quint16 port, QString& error) {
  sockaddr_storage address;
  const socklen_t size = SocketAddressOf(host, port, address);
  const int fd = size == 0 ? -1 : OpenListening(address, size);
  if (fd < 0) {
    error =
        size == 0 ? QStringLiteral("not an IP address") : QString::fromLocal8Bit(strerror(errno));
    return false;
  }
  if (setSocketDescriptor(fd)) return true;
  error = errorString();
  ::close(fd);
  return false;
}

void BoundedTcpServer::incomingConnection(qintptr descriptor) {
  shortageReported_ = false;
  auto* socket = new QTcpSocket(this);
  if (!socket->setSocketDescriptor(descriptor)) {
    delete socket;
    ::close(static_cast<int>(descriptor));
    return;
  }
  auto* watch = new ConnectionWatch(socket, [this](ConnectionWatch* gone) { Forget(gone); });
  if (!Admitted(watch->Peer())) {
    delete socket;  // closes the connection; the watch goes with it
    return;
  }
  MakeRoomFor(watch->Peer());
  connections_.push_back(watch);
  socket->setReadBufferSize(kMaxRequestBytes);  // what one notification can bring
  addPendingConnection(socket);
}

bool BoundedTcpServer::Admitted(const QHostAddress& client) {
  if (!senders_) return true;
  bool ipv4 = false;
  const quint32 address = client.toIPv4Address(&ipv4);
  return ipv4 && senders_->Admit(address, "the web view");
}

// A client that holds its share gives up its own longest unserved connection;
// otherwise, in a full table, the longest unserved of all gives way.
void BoundedTcpServer::MakeRoomFor(const QHostAddress& client) {
  const auto own = std::count_if(connections_.begin(), connections_.end(),
                                 [&](ConnectionWatch* watch) { return watch->Peer() == client; });
  if (own >= kMaxPerClient) return Close(LongestUnserved(&client));
  if (OpenConnections() >= kMaxConnections) Close(LongestUnserved(nullptr));
}

// Of client's connections, or of all when client is null.
ConnectionWatch* BoundedTcpServer::LongestUnserved(const QHostAddress* client) const {
  ConnectionWatch* longest = nullptr;
  for (ConnectionWatch* watch : connections_) {
    if (client != nullptr && watch->Peer() != *client) continue;
    if (longest == nullptr || watch->LastServed() < longest->LastServed()) longest = watch;
  }
  return longest;
}

// Leaves the table at once; the socket and its watch go later.
void BoundedTcpServer::Close(ConnectionWatch* watch) {
  if (watch == nullptr) return;
  Forget(watch);
  watch->Forget();
  watch->Cut();
}

void BoundedTcpServer::Forget(ConnectionWatch* watch) {
  connections_.erase(std::remove(connections_.begin(), connections_.end(), watch),
                     connections_.end());
}

// QTcpServer stops accepting after an error such as a shortage of file
// descriptors; the connection waits in the kernel's queue meanwhile.
void BoundedTcpServer::RetryAcceptingLater() {
  if (!shortageReported_)
    WriteFailureLine("The web view cannot accept a connection now (" + errorString().toStdString() +
                     "); it tries again every " + std::to_string(kAcceptRetryMs) + " ms");
  shortageReported_ = true;
  pauseAccepting();
  QTimer::singleShot(kAcceptRetryMs, this, [this] { resumeAccepting(); });
}
