#include "link/server_connection.h"

#include <QTimer>
#include <algorithm>
#include <exception>

#include "base/failure_report.h"
#include "link/socket_notifier.h"
#include "link/socket_ops.h"

ServerConnection::ServerConnection(int handle, ConnectionHooks* hooks, OutputBounds limits)
    : handle_(handle), hooks_(hooks), limits_(limits) {}

ServerConnection::~ServerConnection() {
  hooks_ = nullptr;
  ReleaseSocket();
}

void ServerConnection::Watch() {
  // Each notification holds the connection, so a handler may drop every other reference.
  std::weak_ptr<ServerConnection> weak = weak_from_this();
  read_notifier_ = WatchSocket(handle_, QSocketNotifier::Read, [weak] {
    if (auto self = weak.lock()) RunGuarded([&] { self->HandleReadReady(); });
  });
  write_notifier_ = WatchSocket(handle_, QSocketNotifier::Write, [weak] {
    if (auto self = weak.lock()) RunGuarded([&] { self->HandleWriteReady(); });
  });
  write_notifier_->setEnabled(false);
}

void ServerConnection::Detach() {
  hooks_ = nullptr;
  if (!closing_) ReleaseSocket();  // a close step under way closes the socket itself
}

void ServerConnection::HandleReadReady() {
  if (!Connected()) return;
  if (socket_ops::BytesAvailable(handle_).value > 0) return RaiseRead();
  socket_ops::Result peek = socket_ops::PeekOne(handle_);
  if (peek.value > 0) return RaiseRead();
  if (peek.value < 0 && socket_ops::WouldBlock(peek.error)) return;
  CloseNotification(peek.value == 0 ? 0 : peek.error);
}

void ServerConnection::RaiseRead() {
  read_taken_ = false;
  if (hooks_ != nullptr) hooks_->ConnectionRead(*this);
  // Until the bytes are taken no further read notification comes, so a
  // handler that reads nothing does not spin the loop.
  if (!read_taken_ && read_notifier_) read_notifier_->setEnabled(false);
}

// The peer's end of stream or a broken connection, reported once. After an
// end of stream the peer may still read: what is queued for it goes out.
void ServerConnection::CloseNotification(int code) {
  if (read_notifier_) read_notifier_->setEnabled(false);
  if (code == 0) return CloseStep(true);
  int error_code = code;
  if (hooks_ != nullptr) hooks_->ConnectionError(*this, TErrorEvent::ekDisconnect, error_code);
  if (error_code != 0) throw AsyncSocketError(error_code);
}

void ServerConnection::HandleWriteReady() {
  if (handle_ < 0 || !Flush()) return;
  if (lingering_) {
    if (QueuedBytes() == 0) FinishLingering();
    return;
  }
  if (QueuedBytes() > 0) return;
  if (write_notifier_) write_notifier_->setEnabled(false);
  if (hooks_ != nullptr) hooks_->ConnectionWrite(*this);
}

int ServerConnection::WriteText(const std::string& Text) {
  auto self = shared_from_this();
  if (!Connected()) return 0;
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

// A backlog above the bound is watched for a stall. A text that finds more
// than the ceiling queued closes at once; below it, a text of any size is taken.
int ServerConnection::Enqueue(const char* data, std::size_t size, int accepted_length) {
  if (QueuedBytes() > limits_.Ceiling) {
    out_.clear();
    out_start_ = 0;
    CloseStep(false);
    return -1;
  }
  if (QueuedBytes() == 0) last_taken_ = std::chrono::steady_clock::now();
  if (out_start_ > 0 && out_start_ >= out_.size() / 2) {
    out_.erase(0, out_start_);
    out_start_ = 0;
  }
  out_.append(data, size);
  if (write_notifier_) write_notifier_->setEnabled(true);
  if (QueuedBytes() > limits_.Backlog && !stall_check_due_) {
    stall_check_due_ = true;
    After(limits_.Stall, &ServerConnection::CheckStall);
  }
  return accepted_length;
}

// Sends what is queued; false when a send failed (the failure is handled).
bool ServerConnection::Flush() {
  while (QueuedBytes() > 0) {
    socket_ops::Result sent = socket_ops::Send(handle_, out_.data() + out_start_, QueuedBytes());
    if (sent.value < 0) {
      if (socket_ops::WouldBlock(sent.error)) return true;
      SendFailed(sent.error);
      return false;
    }
    out_start_ += static_cast<std::size_t>(sent.value);
    last_taken_ = std::chrono::steady_clock::now();
  }
  out_.clear();
  out_start_ = 0;
  return true;
}

int ServerConnection::SendFailed(int code) {
  out_.clear();
  out_start_ = 0;
  int error_code = code;
  if (hooks_ != nullptr) hooks_->ConnectionError(*this, TErrorEvent::ekSend, error_code);
  if (lingering_) {
    FinishLingering();
  } else {
    CloseStep(false);
  }
  if (error_code != 0) throw SocketApiError(error_code, "send");
  return -1;
}

// A peer that has taken nothing of a backlog for the stall time is closed.
void ServerConnection::CheckStall() {
  stall_check_due_ = false;
  if (!Connected() || QueuedBytes() <= limits_.Backlog) return;
  auto idle = std::chrono::steady_clock::now() - last_taken_;
  if (idle < limits_.Stall) {
    stall_check_due_ = true;
    auto rest = std::chrono::ceil<std::chrono::milliseconds>(limits_.Stall - idle);
    return After(rest, &ServerConnection::CheckStall);
  }
  out_.clear();
  out_start_ = 0;
  CloseStep(false);
}

// Runs step after delay on the main thread, unless the connection is gone by then.
void ServerConnection::After(std::chrono::milliseconds delay, void (ServerConnection::*step)()) {
  std::weak_ptr<ServerConnection> weak = weak_from_this();
  QTimer::singleShot(delay, [weak, step] {
    if (auto self = weak.lock()) RunGuarded([&] { ((*self).*step)(); });
  });
}

std::string ServerConnection::ReadAvailableText() {
  auto self = shared_from_this();
  if (!Connected()) return {};
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
  CloseStep(false);
  if (error_code != 0) throw SocketApiError(error_code, "recv");
  return {};
}

void ServerConnection::Close() {
  auto self = shared_from_this();
  CloseStep(true);
}

// A nested close step (a send failing inside the disconnect event) does
// nothing. A lingering connection stays listed until its socket is released,
// so its server keeps it alive and can still drop it.
void ServerConnection::CloseStep(bool linger) {
  if (!Connected() || closing_) return;
  closing_ = true;
  std::exception_ptr failure;
  try {
    if (hooks_ != nullptr) hooks_->ConnectionClosing(*this);
  } catch (...) {
    failure = std::current_exception();
  }
  closing_ = false;
  if (linger && handle_ >= 0 && QueuedBytes() > 0 && hooks_ != nullptr) {
    lingering_ = true;
    if (read_notifier_) read_notifier_->setEnabled(false);
    After(limits_.Linger, &ServerConnection::FinishLingering);
    if (failure) std::rethrow_exception(failure);
    return;
  }
  int code = ReleaseSocket();
  if (failure) std::rethrow_exception(failure);
  if (code != 0) throw SocketApiError(code, "closesocket");
}

// What is still queued when the time is up is dropped.
void ServerConnection::FinishLingering() {
  if (!lingering_) return;
  int code = ReleaseSocket();
  if (code != 0) throw SocketApiError(code, "closesocket");
}

// Returns the error of closing the handle, 0 when none.
int ServerConnection::ReleaseSocket() {
  if (handle_ < 0) return 0;
  DropNotifier(read_notifier_);
  DropNotifier(write_notifier_);
  out_.clear();
  out_start_ = 0;
  lingering_ = false;
  int handle = handle_;
  handle_ = -1;
  socket_ops::Result closed = socket_ops::Close(handle);
  if (hooks_ != nullptr) hooks_->ConnectionReleased(*this);
  return closed.value < 0 ? closed.error : 0;
}
