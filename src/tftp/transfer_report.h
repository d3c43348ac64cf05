// Carries the end-of-session reports to the TFTP server on the main thread.
// The server creates one channel and closes it when it is destroyed; the
// sessions it starts while OnTransferComplete is assigned share it (no other
// session waits for the main thread), so a report never reaches a destroyed
// server, and a session never waits for a main thread that is gone or for a
// server that was closed.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "tftp/transfer_stream.h"

class TNetTrivialFTPServer;

// The requester of a transfer: dotted IPv4 address text and UDP port.
struct TPeerInfo {
  std::string Host;
  int Port = 0;
};

class TransferReportChannel : public std::enable_shared_from_this<TransferReportChannel> {
 public:
  explicit TransferReportChannel(TNetTrivialFTPServer& server) : server_(&server) {}

  // After it returns no report reaches the server. Any thread.
  void Close();

  // Session thread: has the server's ReportTransferComplete run on the main
  // thread and waits until it ran, was dropped, or the channel was closed.
  void Report(bool success, const TPeerInfo& peer, std::unique_ptr<TransferStream> stream,
              bool writeOperation);

 private:
  void Deliver(bool success, const TPeerInfo& peer, std::unique_ptr<TransferStream> stream,
               bool writeOperation);

  std::recursive_mutex mutex_;    // a report handler may destroy the server
  TNetTrivialFTPServer* server_;  // guarded by mutex_; null once closed
  std::atomic<bool> closed_{false};
};
