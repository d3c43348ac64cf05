// The TFTP request server: owns the socket of its port and one listener
// thread, which reads each request, checks it, confines the file name to the
// log, config and alarms directories below the start directory, opens the
// file and launches a transfer session for it. Every refused request is
// answered with one error packet from the server's port, at most a burst of
// kAnswerBurst and then one per kAnswerIntervalMs for each source address; an
// error packet is never answered, and a client's repeat of a request whose
// session has not heard from it yet is answered by that session. No datagram
// stops the listener. Control (activation, handlers, destruction) from one thread,
// the main thread; reports of ended sessions arrive on the main thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/allowed_senders.h"
#include "store/path_resolver.h"
#include "tftp/answer_rate.h"
#include "tftp/repeated_requests.h"
#include "tftp/tftp_protocol.h"
#include "tftp/tftp_request.h"
#include "tftp/tftp_session_options.h"
#include "tftp/transfer_report.h"
#include "tftp/udp_socket.h"

class TNetTrivialFTPServer {
 public:
  static constexpr int kWellKnownPort = 69;
  // The longest request datagram read; longer ones are dropped.
  static constexpr size_t kRequestBufferSize = 8192;
  // Error answers from the server's port to one source address.
  static constexpr int kAnswerBurst = 32;
  static constexpr int kAnswerIntervalMs = 10;

  // A handler may replace the name, refuse access, or supply the stream to
  // move (freed at the end when freeStreamOnComplete stays true).
  using TAccessFileEvent = std::function<void(
      TNetTrivialFTPServer& sender, std::string& fileName, const TPeerInfo& peer, bool& grantAccess,
      std::unique_ptr<TransferStream>& stream, bool& freeStreamOnComplete)>;
  // The handler may keep the stream (null when the session freed it).
  using TTransferCompleteEvent =
      std::function<void(TNetTrivialFTPServer& sender, bool success, const TPeerInfo& peer,
                         std::unique_ptr<TransferStream>& stream, bool writeOperation)>;

  // Files are served from startDirectory (absolute, without a trailing "/").
  // DefaultPort 69 on all local addresses, inactive until SetActive(true).
  explicit TNetTrivialFTPServer(std::string startDirectory = PathResolver::ProcessStartDirectory());
  // Stops listening; sessions under way run to their end but report to nobody.
  ~TNetTrivialFTPServer();
  TNetTrivialFTPServer(const TNetTrivialFTPServer&) = delete;
  TNetTrivialFTPServer& operator=(const TNetTrivialFTPServer&) = delete;

  // true binds the port and starts the listener (raises ENetCouldNotBindSocket
  // or ENetSocketError, and the server stays inactive); false stops the
  // listener and closes the port. The value the server has does nothing.
  void SetActive(bool active);
  bool Active() const { return socket_ != nullptr; }
  int DefaultPort() const { return defaultPort_; }
  // Takes effect at the next activation; 0: a free port chosen by the system.
  void SetDefaultPort(int port) { defaultPort_ = port; }
  // The local address to listen on (dotted quad; "" all), from the next
  // activation; sessions answer from it too.
  void SetLocalAddress(const std::string& dotted);
  // A request from a sender that senders refuse gets no answer at all (an
  // error packet would go to whatever address a forged datagram names). Null
  // (the default): everyone. Set it while the server is inactive.
  void SetAllowedSenders(std::shared_ptr<AllowedSenders> senders) { senders_ = std::move(senders); }
  // The port bound while active (the chosen one when DefaultPort is 0), else 0.
  int LocalPort() const;
  bool ListenerRunning() const { return listening_; }

  const std::string& StartDirectory() const { return resolver_.StartDirectory(); }
  // The sessions' wait for an answer when the client names no timeout
  // (1500 ms), and the longest wait a session uses whatever the client named
  // (the 255 s the timeout option allows). Shortened only by tests: setting
  // the wait sets the longest one too (unless given), so no client keeps a
  // test waiting.
  void SetAnswerWaitMs(int waitMs, int longestWaitMs = 0) {
    answerWaitMs_ = waitMs;
    longestWaitMs_ = longestWaitMs > 0 ? longestWaitMs : waitMs;
  }

  // Main thread: a session ended (raised only while OnTransferComplete is assigned).
  void ReportTransferComplete(bool success, const TPeerInfo& peer,
                              std::unique_ptr<TransferStream> stream, bool writeOperation);

  // Read by the listener thread: assign them while the server is inactive.
  TTransferCompleteEvent OnTransferComplete;
  TAccessFileEvent OnReadFile;
  TAccessFileEvent OnWriteFile;

 private:
  void Listen();
  void HandleRequest(std::string_view data, const sockaddr_in& peer);
  void AnswerFailure(const std::exception& failure, const sockaddr_in& peer);
  void StartReadTransfer(std::string fileName, const sockaddr_in& peer, SessionOptions options);
  void StartWriteTransfer(std::string fileName, const sockaddr_in& peer,
                          const SessionOptions& options);
  // The host path of a requested name, or ENetTFTPAccessViolation.
  std::string ConfinedPath(const std::string& fileName) const;
  FileDescriptor OpenConfined(const std::string& fileName, int flags, mode_t mode = 0) const;
  void AskAccess(const TAccessFileEvent& event, std::string& fileName, const sockaddr_in& peer,
                 std::unique_ptr<TransferStream>& stream, bool& freeStream);
  // The channel for a session's report; null while nobody listens.
  std::shared_ptr<TransferReportChannel> ReportChannel() const;

  PathResolver resolver_;
  std::shared_ptr<TransferReportChannel> channel_;
  int defaultPort_ = kWellKnownPort;
  uint32_t localAddress_ = INADDR_ANY;       // host byte order
  std::shared_ptr<AllowedSenders> senders_;  // read by the listener
  int answerWaitMs_ = tftp::kAnswerWaitMs;
  int longestWaitMs_ = tftp::kMaxTimeoutSeconds * 1000;
  std::unique_ptr<UdpSocket> socket_;  // while active; the listener reads it
  std::thread listener_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> listening_{false};
  std::vector<char> request_;  // the listener's receive buffer
  RepeatedRequests repeats_;
  std::map<uint32_t, AnswerRate> answerRates_;  // the listener's, by source address
};
