// Shared pieces of the unit link tests: a blocking-free loopback client,
// bounded waits that run the Qt event loop, and a recorder of failure reports.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/failure_report.h"

// Runs the event loop until done() holds or about timeout_ms passed; returns done().
bool WaitUntil(const std::function<bool()>& done, int timeout_ms = 5000);

// A unit's end of a connection to 127.0.0.1:port. Reading never blocks;
// Expect* helpers run the event loop while waiting for the server's bytes.
class TestClient {
 public:
  // receive_buffer > 0 shrinks the client's receive buffer before connecting;
  // source: the loopback address to connect from (127.0.0.2, ...).
  explicit TestClient(int port, int receive_buffer = 0, const char* source = "127.0.0.1");
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  void Send(const std::string& bytes);
  // Takes whatever has arrived; true once the server has closed.
  bool Pump();
  // Waits until the received bytes begin with expected, then removes them.
  bool ExpectReceived(const std::string& expected, int timeout_ms = 5000);
  // Waits until the server has closed the connection.
  bool ExpectClosed(int timeout_ms = 5000);
  const std::string& Received() const { return received_; }
  void ClearReceived() { received_.clear(); }
  // Stops sending; the server sees the end of stream but can still send to us.
  void ShutdownWrite();
  // Closes with a reset instead of an orderly close.
  void Reset();

 private:
  int fd_ = -1;
  bool closed_ = false;
  std::string received_;
};

// Collects failure reports for the lifetime of a test.
class ReportRecorder {
 public:
  ReportRecorder();
  ~ReportRecorder();
  const std::vector<std::string>& Reports() const { return reports_; }

 private:
  std::vector<std::string> reports_;
  FailureSink previous_;
};
