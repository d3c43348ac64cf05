// The listening socket of the web view, with the bounds a public port needs:
// at most kMaxConnections at once (further ones are closed at once), and a
// connection is cut when it sends more than kMaxRequestBytes before it is
// answered, takes longer than kRequestTimeoutMs from its first byte to the
// start of its answer, or moves no byte either way for kIdleTimeoutMs (a
// reader that stopped reading a download too). So a slow or hostile client
// holds one socket and a few buffers, never a thread. Lives on the web
// server's thread and is used only there.
#pragma once

#include <QTcpServer>

class BoundedTcpServer : public QTcpServer {
  Q_OBJECT

 public:
  static constexpr int kMaxConnections = 64;
  static constexpr qint64 kMaxRequestBytes = 64 * 1024;
  static constexpr int kRequestTimeoutMs = 10000;
  static constexpr int kIdleTimeoutMs = 30000;

  explicit BoundedTcpServer(QObject* parent = nullptr);

  int OpenConnections() const { return open_; }

 protected:
  void incomingConnection(qintptr descriptor) override;

 private:
  int open_ = 0;
};
