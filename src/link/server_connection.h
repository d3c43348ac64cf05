// One accepted connection of a TServerSocket: a non-blocking IPv4 stream
// socket whose readiness is turned into events on the main thread. Owned by
// shared pointer (the server's list holds it while it is listed, including
// while a closed connection still sends what was queued for it); after its
// server destroys it, it raises nothing more and sends nothing. Main thread only.
#pragma once

#include <QSocketNotifier>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "link/socket_error.h"

class ServerConnection;

// What a connection reports to the server that accepted it.
class ConnectionHooks {
 public:
  virtual void ConnectionRead(ServerConnection& connection) = 0;
  virtual void ConnectionWrite(ServerConnection& connection) = 0;
  // The connection is closing; it is still open and can still send.
  virtual void ConnectionClosing(ServerConnection& connection) = 0;
  // The handler may clear code; a non-zero code is then raised by the connection.
  virtual void ConnectionError(ServerConnection& connection, TErrorEvent event, int& code) = 0;
  // The close step has released the socket (after sending what was queued, or not).
  virtual void ConnectionReleased(ServerConnection& connection) = 0;

 protected:
  ~ConnectionHooks() = default;
};

// What a connection's user keeps for it: bytes received but not yet framed,
// whether the peer ever registered, and the rest of a command that pauses
// the unit; freed with the connection.
struct ReceiveState {
  std::string Pending;
  bool PassRunning = false;  // a framing pass over Pending is under way
  bool Registered = false;   // the peer has registered a name (and may have removed it since)
  // While set, the messages behind the paused command wait for it to run.
  std::function<void()> Held;
};

// How much unsent output a connection may hold. A reply of any size is
// queued; once more than Backlog is queued and the peer has taken no byte for
// Stall, the connection is closed, and a text that finds more than Ceiling
// queued closes it at once (memory stays bounded by Ceiling plus one text).
// A closing connection sends what is queued for at most Linger before its
// socket is released.
struct OutputBounds {
  std::size_t Backlog = 1024 * 1024;
  std::chrono::milliseconds Stall{30000};
  std::size_t Ceiling = 16 * 1024 * 1024;
  std::chrono::milliseconds Linger{10000};
};

class ServerConnection : public std::enable_shared_from_this<ServerConnection> {
 public:
  // Takes over handle; events go to hooks until the connection is detached.
  ServerConnection(int handle, ConnectionHooks* hooks, OutputBounds limits);
  ~ServerConnection();
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  // Sends Text; what the kernel does not take now is queued and sent in order
  // when the socket is writable. Returns Text's length; 0 when the connection
  // is closed; -1 when more than the ceiling is queued already (the connection
  // is then closed) or when a failed send was cleared by the error handler. Any
  // other failure: error event, close step, then the "send" message.
  int WriteText(const std::string& Text);
  // The bytes that can be read now, in one piece, at most kMaxReadBytes of
  // them (the rest raises the next read event, so one busy connection cannot
  // hold the event loop from the others); empty when none or closed.
  // A failure: error event, close step, then the "recv" message unless cleared.
  std::string ReadAvailableText();
  static constexpr std::size_t kMaxReadBytes = 64 * 1024;
  // Runs the close step: the disconnect event (while hooked); the socket is
  // released once what is queued has gone out (at most Linger later).
  void Close();

  // False from the close step on, also while queued output still goes out.
  bool Connected() const { return handle_ >= 0 && !lingering_; }
  // The peer's IPv4 address (host byte order), as accepted; 0 when not accepted.
  uint32_t Peer() const { return peer_; }
  std::size_t QueuedBytes() const { return out_.size() - out_start_; }
  ReceiveState& Input() { return input_; }

 private:
  friend class TServerSocket;
  void Watch();
  // Ends all events and closes the socket without a disconnect event.
  void Detach();

  void HandleReadReady();
  void HandleWriteReady();
  void RaiseRead();
  void CloseNotification(int code);
  int Enqueue(const char* data, std::size_t size, int accepted_length);
  bool Flush();
  int SendFailed(int code);
  void CheckStall();
  void After(std::chrono::milliseconds delay, void (ServerConnection::*step)());
  // linger: keep the socket until the queued output has gone out.
  void CloseStep(bool linger);
  void FinishLingering();
  int ReleaseSocket();

  int handle_;
  uint32_t peer_ = 0;
  ConnectionHooks* hooks_;
  OutputBounds limits_;
  std::string out_;
  std::size_t out_start_ = 0;
  // When the peer last took a byte of queued output (or the queue began).
  std::chrono::steady_clock::time_point last_taken_;
  std::unique_ptr<QSocketNotifier> read_notifier_;
  std::unique_ptr<QSocketNotifier> write_notifier_;
  bool closing_ = false;
  bool lingering_ = false;
  bool stall_check_due_ = false;
  bool read_taken_ = false;
  ReceiveState input_;
};
