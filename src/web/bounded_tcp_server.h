// The listening socket of the web view, with the bounds a public port needs:
// at most kMaxConnections at once and kMaxPerClient from one client address,
// where a new connection takes the place of a keep-alive one (MakeRoomFor),
// so one client's crowd never keeps another client or a health check out.
// Each connection is watched (ConnectionWatch: request size and time, idle
// time), so a slow or hostile client holds one socket and a few buffers, never
// a thread; a client outside the allow list is closed at once; a shortage of
// file descriptors pauses accepting for kAcceptRetryMs (AcceptWaiting). Lives
// on the web server's thread and is used only there.
#pragma once

#include <QHostAddress>
#include <QTcpServer>
#include <memory>
#include <vector>

class AllowedSenders;
class ConnectionWatch;
class QSocketNotifier;

class BoundedTcpServer : public QTcpServer {
  Q_OBJECT

 public:
  static constexpr int kMaxConnections = 64;
  static constexpr int kMaxPerClient = kMaxConnections / 4;
  static constexpr qint64 kMaxRequestBytes = 64 * 1024;
  static constexpr int kRequestTimeoutMs = 10000;
  static constexpr int kIdleTimeoutMs = 30000;
  static constexpr int kAcceptRetryMs = 200;

  // senders: whom to serve; null serves everyone.
  explicit BoundedTcpServer(std::shared_ptr<AllowedSenders> senders, QObject* parent = nullptr);
  ~BoundedTcpServer() override;

  // Listens on host:port with the address bound freely (IP_FREEBIND): an
  // address that is missing for a moment, as in a link flap during a
  // restart, is served once it is back. False with the reason in error.
  bool ListenFreely(const QHostAddress& host, quint16 port, QString& error);
  int OpenConnections() const { return static_cast<int>(connections_.size()); }
  QTcpSocket* nextPendingConnection() override;

 protected:
  void incomingConnection(qintptr descriptor) override;

 private:
  void AcceptWaiting();
  bool Admitted(const QHostAddress& client);
  bool MakeRoomFor(const QHostAddress& client);
  ConnectionWatch* GivingWay(const QHostAddress* client) const;
  static bool GivesWayBefore(const ConnectionWatch& one, const ConnectionWatch& other);
  void Close(ConnectionWatch* watch);
  void Forget(ConnectionWatch* watch);
  void RetryAcceptingLater(int error);

  std::shared_ptr<AllowedSenders> senders_;
  std::vector<ConnectionWatch*> connections_;
  int listening_ = -1;                      // owned by QTcpServer
  QSocketNotifier* acceptReady_ = nullptr;  // accepting while enabled
  bool shortageReported_ = false;
};
