// The web view's HTTP server: a thread of its own with its own event loop,
// on which the listening socket, every connection and every page is served,
// so a slow or stalled browser never holds up the main thread and the unit
// link. Only GET and HEAD are served (anything else: 405); every answer
// carries a Content-Security-Policy that allows no inline script and
// "X-Content-Type-Options: nosniff". Connections and request sizes are
// bounded, shared out per client and, with an allow list, kept to its
// networks (BoundedTcpServer). Nothing it serves changes the data tree.
// Start, Stop and the destructor are called from one thread (the main thread).
#pragma once

#include <QThread>
#include <memory>
#include <string>

class AllowedSenders;
class WebSite;
class WebState;

struct WebAddress {
  std::string host = "127.0.0.1";
  int port = 10078;
};

class WebServer {
 public:
  // Serves state and the data tree below startDirectory (read only) to the
  // clients senders admits (null: every client).
  WebServer(std::shared_ptr<WebState> state, std::string startDirectory,
            std::shared_ptr<AllowedSenders> senders = nullptr);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Starts the thread and listens; raises EWebServerError
  // "Cannot serve the web view on ADDR:PORT: reason" when it cannot.
  void Start(const WebAddress& address);
  // Closes the port and every connection and ends the thread.
  void Stop();
  bool Active() const { return port_ != 0; }
  // The port listened on (the chosen one when 0 was asked for), else 0.
  int BoundPort() const { return port_; }

 private:
  std::shared_ptr<WebState> state_;
  std::string startDirectory_;
  std::shared_ptr<AllowedSenders> senders_;
  QThread thread_;
  QObject* front_ = nullptr;  // lives on thread_, deleted there
  int port_ = 0;
};
