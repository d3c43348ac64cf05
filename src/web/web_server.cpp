#include "web/web_server.h"

#include <QAbstractHttpServer>
#include <QCoreApplication>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpSocket>

#include "base/failure_report.h"
#include "web/bounded_tcp_server.h"
#include "web/gzip_body.h"
#include "web/web_errors.h"
#include "web/web_site.h"

namespace {

// No inline script or style, nothing from elsewhere, no framing.
constexpr char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'";
constexpr qint64 kFileSliceBytes = 64 * 1024;

// Sends a file in slices as the client takes them: one slice is queued at a
// time, so a slow reader costs one slice of memory. A child of the socket.
class FileSender : public QObject {
 public:
  FileSender(QTcpSocket* socket, std::unique_ptr<QFile> file, BusyFiles::Mark mark)
      : QObject(socket), socket_(socket), file_(std::move(file)), mark_(std::move(mark)) {
    connect(socket, &QTcpSocket::bytesWritten, this, [this] { SendSlice(); });
    SendSlice();
  }

 private:
  void SendSlice() {
    if (socket_->bytesToWrite() >= kFileSliceBytes) return;
    QByteArray slice = file_->read(kFileSliceBytes);
    if (slice.isEmpty()) return deleteLater();
    socket_->write(slice);
  }

  QTcpSocket* socket_;
  std::unique_ptr<QFile> file_;
  BusyFiles::Mark mark_;  // given back when the file is sent or the client gone
};

class HttpFront : public QAbstractHttpServer {
 public:
  HttpFront(std::shared_ptr<WebState> state, const std::string& startDirectory,
            std::shared_ptr<AllowedSenders> senders)
      : site_(std::move(state), startDirectory), senders_(std::move(senders)) {}

  // The port listened on, or 0 with the reason in error.
  int Listen(const WebAddress& address, QString& error) {
    auto* listener = new BoundedTcpServer(senders_, this);
    QHostAddress host;
    if (!host.setAddress(QString::fromStdString(address.host))) {
      error = QStringLiteral("not an IP address");
      return 0;
    }
    if (!listener->ListenFreely(host, static_cast<quint16>(address.port), error)) return 0;
    bind(listener);
    return listener->serverPort();
  }

 protected:
  bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override {
    QHttpServerResponder responder = makeResponder(request, socket);
    bool head = request.method() == QHttpServerRequest::Method::Head;
    if (head || request.method() == QHttpServerRequest::Method::Get)
      Send(responder, socket, Compressed(GuardedAnswer(request), request), head);
    else
      Send(responder, socket, MethodNotAllowed(), false);
    return true;
  }
  void missingHandler(const QHttpServerRequest&, QTcpSocket*) override {}

 private:
  // The event loop cannot carry exceptions: a failure answers 500 and goes to
  // the program's failure report on the main thread.
  HttpReply GuardedAnswer(const QHttpServerRequest& request) {
    try {
      return site_.Answer(request.url().path(), request.query());
    } catch (const std::exception& failure) {
      std::string text =
          "The web view failed on " + request.url().path().toStdString() + ": " + failure.what();
      QMetaObject::invokeMethod(
          QCoreApplication::instance(), [text] { ReportFailure(EWebServerError(text)); },
          Qt::QueuedConnection);
      return HttpReply::Text(500, "Internal error.\n");
    }
  }

  // A body worth it goes out in gzip when the client asks for that.
  static HttpReply Compressed(HttpReply reply, const QHttpServerRequest& request) {
    if (reply.file || reply.body.size() < gzip_body::kMinBytes) return reply;
    reply.headers.emplace_back("Vary", "Accept-Encoding");
    if (!gzip_body::Accepted(request.value("Accept-Encoding"))) return reply;
    if (std::optional<QByteArray> packed = gzip_body::Compress(reply.body)) {
      reply.body = std::move(*packed);
      reply.headers.emplace_back("Content-Encoding", "gzip");
    }
    return reply;
  }

  static HttpReply MethodNotAllowed() {
    HttpReply reply = HttpReply::Text(405, "Only GET and HEAD are served.\n");
    reply.headers.emplace_back("Allow", "GET, HEAD");
    return reply;
  }

  static void Send(QHttpServerResponder& responder, QTcpSocket* socket, HttpReply reply,
                   bool head) {
    qint64 length = reply.file ? reply.file->size() : reply.body.size();
    responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(reply.status));
    responder.writeHeader("Content-Type", reply.contentType);
    responder.writeHeader("Content-Length", QByteArray::number(length));
    responder.writeHeader("Content-Security-Policy", kContentSecurityPolicy);
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    responder.writeHeader("Cache-Control", "no-store");
    for (const auto& [name, value] : reply.headers) responder.writeHeader(name, value);
    if (head) return responder.writeBody(QByteArray());
    if (reply.file) {
      responder.writeBody(QByteArray());
      new FileSender(socket, std::move(reply.file), std::move(reply.readMark));
      return;
    }
    responder.writeBody(reply.body);
  }

  WebSite site_;
  std::shared_ptr<AllowedSenders> senders_;
};

}  // namespace

WebServer::WebServer(std::shared_ptr<WebState> state, std::string startDirectory,
                     std::shared_ptr<AllowedSenders> senders)
    : state_(std::move(state)),
      startDirectory_(std::move(startDirectory)),
      senders_(std::move(senders)) {
  thread_.setObjectName(QStringLiteral("web view"));
}

WebServer::~WebServer() { Stop(); }

void WebServer::Start(const WebAddress& address) {
  Stop();
  auto* front = new HttpFront(state_, startDirectory_, senders_);
  front->moveToThread(&thread_);
  thread_.start();
  QString error;
  int port = 0;
  QMetaObject::invokeMethod(
      front, [&] { port = front->Listen(address, error); }, Qt::BlockingQueuedConnection);
  front_ = front;
  if (port == 0) {
    Stop();
    throw EWebServerError("Cannot serve the web view on " + address.host + ":" +
                          std::to_string(address.port) + ": " + error.toStdString());
  }
  port_ = port;
}

void WebServer::Stop() {
  if (front_ != nullptr) {
    QObject* front = front_;
    QMetaObject::invokeMethod(
        front, [front] { delete front; }, Qt::BlockingQueuedConnection);
    front_ = nullptr;
  }
  thread_.quit();
  thread_.wait();
  port_ = 0;
}
