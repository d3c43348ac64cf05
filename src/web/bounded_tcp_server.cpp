#include "web/bounded_tcp_server.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/allowed_senders.h"
#include "base/failure_report.h"
#include "base/retry_on_interrupt.h"
#include "web/connection_watch.h"

namespace {

constexpr int kBacklog = 50;  // as QTcpServer::listen
// Accepted in one turn of the event loop at most; the rest in the next.
constexpr int kAcceptBatch = BoundedTcpServer::kMaxConnections;

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
    : QTcpServer(parent), senders_(std::move(senders)) {}

BoundedTcpServer::~BoundedTcpServer() {
  delete acceptReady_;  // before QTcpServer closes the descriptor
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
  if (!setSocketDescriptor(fd)) {
    error = errorString();
    ::close(fd);
    return false;
  }
  pauseAccepting();  // QTcpServer's own notifier stays off: AcceptWaiting accepts
  listening_ = fd;
  acceptReady_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(acceptReady_, &QSocketNotifier::activated, this, [this] { AcceptWaiting(); });
  return true;
}

QTcpSocket* BoundedTcpServer::nextPendingConnection() {
  QTcpSocket* socket = QTcpServer::nextPendingConnection();
  pauseAccepting();  // QTcpServer turns its notifier on again when one is taken
  return socket;
}

// Accepting is done here, not by QTcpServer: Qt 6.4 keeps the first error of
// its listening socket, the "none waiting" that ends every round, so a later
// shortage of descriptors passes for it and the notifier fires without end (a
// busy loop); when the shortage comes first, Qt stops accepting for good.
void BoundedTcpServer::AcceptWaiting() {
  for (int round = 0; round < kAcceptBatch; ++round) {
    const int descriptor = RetryOnInterrupt(
        [&] { return ::accept4(listening_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); });
    if (descriptor >= 0) {
      incomingConnection(descriptor);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return;
    } else if (errno != ECONNABORTED && errno != EPROTO) {  // else: that client is gone
      return RetryAcceptingLater(errno);
    }
  }
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
  if (!Admitted(watch->Peer()) || !MakeRoomFor(watch->Peer())) {
    delete socket;  // closes the connection; the watch goes with it
    return;
  }
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

// A client that holds its share gives up its own keep-alive connection served
// longest ago, or is refused when it has none (all its connections are new or
// waiting for their first answer); otherwise, in a full table, a connection of
// anyone gives way. False: refused.
bool BoundedTcpServer::MakeRoomFor(const QHostAddress& client) {
  const auto own = std::count_if(connections_.begin(), connections_.end(),
                                 [&](ConnectionWatch* watch) { return watch->Peer() == client; });
  if (own >= kMaxPerClient) {
    ConnectionWatch* idle = GivingWay(&client);
    if (idle == nullptr || !idle->Served()) return false;
    Close(idle);
  } else if (OpenConnections() >= kMaxConnections) {
    Close(GivingWay(nullptr));
  }
  return true;
}

// Of client's connections, or of all when client is null: the keep-alive
// connection served longest ago, else the one accepted longest ago.
ConnectionWatch* BoundedTcpServer::GivingWay(const QHostAddress* client) const {
  ConnectionWatch* chosen = nullptr;
  for (ConnectionWatch* watch : connections_) {
    if (client != nullptr && watch->Peer() != *client) continue;
    if (chosen == nullptr || GivesWayBefore(*watch, *chosen)) chosen = watch;
  }
  return chosen;
}

bool BoundedTcpServer::GivesWayBefore(const ConnectionWatch& one, const ConnectionWatch& other) {
  if (one.Served() != other.Served()) return one.Served();
  return one.LastServed() < other.LastServed();
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

// The connections wait in the kernel's queue meanwhile; the first failure of
// a spell is reported.
void BoundedTcpServer::RetryAcceptingLater(int error) {
  if (!shortageReported_)
    WriteFailureLine("The web view cannot accept a connection now (" +
                     std::string(std::strerror(error)) + "); it tries again every " +
                     std::to_string(kAcceptRetryMs) + " ms");
  shortageReported_ = true;
  acceptReady_->setEnabled(false);
  QTimer::singleShot(kAcceptRetryMs, acceptReady_, [this] { acceptReady_->setEnabled(true); });
}
