#include "link/server_connection.h"

#include <algorithm>
#include <exception>

#include "base/failure_report.h"
#include "link/socket_notifier.h"
#include "link/socket_ops.h"

TServerConnection::TServerConnection(int handle, TConnectionHooks* hooks, std::size_t send_queue_limit)
    : handle_(handle), hooks_(hooks), send_queue_limit_(send_queue_limit) {}

TServerConnection::~TServerConnection() {
  hooks_ = nullptr;
  ReleaseSocket();
}

void TServerConnection::Watch() {
  // Each notification holds the connection, so a handler may drop every other reference.
  std::weak_ptr<TServerConnection> weak = weak_from_this();
  read_notifier_ = WatchSocket(handle_, QSocketNotifier::Read, [weak] {
    if (auto self = weak.lock()) RunGuarded([&] { self->HandleReadReady(); });
  });
  write_notifier_ = WatchSocket(handle_, QSocketNotifier::Write, [weak] {
    if (auto self = weak.lock()) RunGuarded([&] { self->HandleWriteReady(); });
  });
  write_notifier_->setEnabled(false);
}

void TServerConnection::Detach() {
  hooks_ = nullptr;
  if (!closing_) ReleaseSocket();  // a close step under way closes the socket itself
}

void TServerConnection::HandleReadReady() {
  if (handle_ < 0) return;
  if (socket_ops::BytesAvailable(handle_).value > 0) return RaiseRead();
  socket_ops::Result peek = socket_ops::PeekOne(handle_);
  if (peek.value > 0) return RaiseRead();
  if (peek.value < 0 && socket_ops::WouldBlock(peek.error)) return;
  CloseNotification(peek.value == 0 ? 0 : peek.error);
}

void TServerConnection::RaiseRead() {
  read_taken_ = false;
  if (hooks_ != nullptr) hooks_->ConnectionRead(*this);
  // Until the bytes are taken no further read notification comes, so a
  // handler that reads nothing does not spin the loop.
  if (!read_taken_ && read_notifier_) read_notifier_->setEnabled(false);
}

// The peer's end of stream or a broken connection, reported once.
void TServerConnection::CloseNotification(int code) {
  if (read_notifier_) read_notifier_->setEnabled(false);
  if (code == 0) return CloseStep();
  int error_code = code;
  if (hooks_ != nullptr) hooks_->ConnectionError(*this, TErrorEvent::ekDisconnect, error_code);
  if (error_code != 0) throw AsyncSocketError(error_code);
}

void TServerConnection::HandleWriteReady() {
  if (handle_ < 0 || !Flush() || QueuedBytes() > 0) return;
  if (write_notifier_) write_notifier_->setEnabled(false);
  if (hooks_ != nullptr) hooks_->ConnectionWrite(*this);
}

int TServerConnection::WriteText(const std::string& Text) {
  auto self = shared_from_this();
  if (handle_ < 0) return 0;
  int length = static_cast<int>(Text.size());
  if (QueuedBytes() > 0) return Enqueue(Text.data(), Text.size(), length);
  socket_ops::Result sent = socket_ops::Send(handle_, Text.data(), Text.size());
  if (sent.value < 0) {
    if (!socket_ops::WouldBlock(sent.error)) return SendFailed(sent.error);
    sent.value = 0;
  }
  auto taken = static_cast<std::size_t>(sent.value);
  if (taken < Text.size()) return Enqueue(Text.data() + taken, Text.size() - taken, length);
  return length;
}

int TServerConnection::Enqueue(const char* data, std::size_t size, int accepted_length) {
  if (QueuedBytes() + size > send_queue_limit_) {
    out_.clear();
    out_start_ = 0;
    CloseStep();
    return -1;
  }
  if (out_start_ > 0) {
    out_.erase(0, out_start_);
    out_start_ = 0;
  }
  out_.append(data, size);
  if (write_notifier_) write_notifier_->setEnabled(true);
  return accepted_length;
}

// Sends what is queued; false when a send failed (the failure is handled).
bool TServerConnection::Flush() {
  while (QueuedBytes() > 0) {
    socket_ops::Result sent = socket_ops::Send(handle_, out_.data() + out_start_, QueuedBytes());
    if (sent.value < 0) {
      if (socket_ops::WouldBlock(sent.error)) return true;
      SendFailed(sent.error);
      return false;
    }
    out_start_ += static_cast<std::size_t>(sent.value);
  }
  out_.clear();
  out_start_ = 0;
  return true;
}

int TServerConnection::SendFailed(int code) {
  out_.clear();
  out_start_ = 0;
  int error_code = code;
  if (hooks_ != nullptr) hooks_->ConnectionError(*this, TErrorEvent::ekSend, error_code);
  CloseStep();
  if (error_code != 0) throw SocketApiError(error_code, "send");
  return -1;
}

std::string TServerConnection::ReadAvailableText() {
  auto self = shared_from_this();
  if (handle_ < 0) return {};
  read_taken_ = true;
  if (read_notifier_ && !read_notifier_->isEnabled()) read_notifier_->setEnabled(true);
  socket_ops::Result available = socket_ops::BytesAvailable(handle_);
  if (available.value <= 0) return {};
  std::string text(std::min(static_cast<std::size_t>(available.value), kMaxReadBytes), '\0');
  socket_ops::Result received = socket_ops::Receive(handle_, text.data(), text.size());
  if (received.value >= 0) {
    text.resize(static_cast<std::size_t>(received.value));
    return text;
  }
  if (socket_ops::WouldBlock(received.error)) return {};
  int error_code = received.error;
  if (hooks_ != nullptr) hooks_->ConnectionError(*this, TErrorEvent::ekReceive, error_code);
  CloseStep();
  if (error_code != 0) throw SocketApiError(error_code, "recv");
  return {};
}

void TServerConnection::Close() {
  auto self = shared_from_this();
  CloseStep();
}

// A nested close step (a send failing inside the disconnect event) does nothing.
void TServerConnection::CloseStep() {
  if (handle_ < 0 || closing_) return;
  closing_ = true;
  std::exception_ptr failure;
  try {
    if (hooks_ != nullptr) hooks_->ConnectionClosing(*this);
  } catch (...) {
    failure = std::current_exception();
  }
  closing_ = false;
  int code = ReleaseSocket();
  if (failure) std::rethrow_exception(failure);
  if (code != 0) throw SocketApiError(code, "closesocket");
}

// Returns the error of closing the handle, 0 when none.
int TServerConnection::ReleaseSocket() {
  if (handle_ < 0) return 0;
  DropNotifier(read_notifier_);
  DropNotifier(write_notifier_);
  out_.clear();
  out_start_ = 0;
  int handle = handle_;
  handle_ = -1;
  socket_ops::Result closed = socket_ops::Close(handle);
  return closed.value < 0 ? closed.error : 0;
}
