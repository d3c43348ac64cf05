// Watches one connection of the web view: cuts it when its request grows past
// BoundedTcpServer::kMaxRequestBytes or takes longer than kRequestTimeoutMs,
// or when no byte moves either way for kIdleTimeoutMs; and remembers who is
// at the other end and when the server last sent it anything, so that the
// server can pick the connection to close when it needs room. A child of its
// socket, so it goes with it; lives on the web server's thread.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>

class QTcpSocket;

class ConnectionWatch : public QObject {
 public:
  // Watches socket from now on; gone is called (once) when the watch goes.
  ConnectionWatch(QTcpSocket* socket, std::function<void(ConnectionWatch*)> gone);
  ~ConnectionWatch() override;

  // The client's address (an IPv4 client of a dual-stack socket as IPv4).
  const QHostAddress& Peer() const { return peer_; }
  // When the server last sent this connection a byte, or else when it was
  // accepted: the earlier, the longer it has waited without being served.
  std::chrono::steady_clock::time_point LastServed() const { return lastServed_; }
  // True once the server has sent it anything: a keep-alive connection.
  bool Served() const { return served_; }
  // Closes the connection at once; the watch goes with its socket later.
  void Cut();
  // The server is going: gone is not called any more.
  void Forget() { gone_ = nullptr; }

 private:
  void Received();
  void Answering();
  qint64 ReceivedSinceAnswer() const;

  QTcpSocket* socket_;
  std::function<void(ConnectionWatch*)> gone_;
  QHostAddress peer_;
  QTimer request_;
  QTimer idle_;
  std::chrono::steady_clock::time_point lastServed_ = std::chrono::steady_clock::now();
  bool requestUnderWay_ = false;
  bool served_ = false;
  qint64 answeredAt_ = 0;  // bytes received when the last answer began; -1: unknown
};
