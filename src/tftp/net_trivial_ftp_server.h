// The TFTP request server: reads each request on its listener thread, checks
// it, confines the file name to the log, config and alarms directories below
// the start directory, opens the file and starts a transfer session for it.
// Every refused request is answered with one error packet from the port it
// came to; no datagram stops the listener. Control (activation, destruction)
// from the main thread; reports of ended sessions arrive on the main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "store/path_resolver.h"
#include "tftp/net_udp_server.h"
#include "tftp/tftp_request.h"
#include "tftp/tftp_session_options.h"
#include "tftp/transfer_report.h"

class TNetTrivialFTPServer : public TNetUDPServer {
 public:
  static constexpr int kWellKnownPort = 69;

  // A handler may replace the name, refuse access, or supply the stream to
  // move (freed at the end when freeStreamOnComplete stays true).
  using TAccessFileEvent = std::function<void(
      TNetTrivialFTPServer& sender, std::string& fileName, const TPeerInfo& peer,
      bool& grantAccess, std::unique_ptr<TTransferStream>& stream, bool& freeStreamOnComplete)>;
  // The handler may keep the stream (null when the session freed it).
  using TTransferCompleteEvent =
      std::function<void(TNetTrivialFTPServer& sender, bool success, const TPeerInfo& peer,
                         std::unique_ptr<TTransferStream>& stream, bool writeOperation)>;

  // Files are served from startDirectory (absolute, without a trailing "/").
  // DefaultPort 69, ThreadedEvent true, inactive until SetActive(true).
  explicit TNetTrivialFTPServer(std::string startDirectory = PathResolver::ProcessStartDirectory());
  // Stops listening; sessions under way run to their end but report to nobody.
  ~TNetTrivialFTPServer() override;

  void DispatchDatagram(std::string_view data, TNetSocketHandle& binding) override;

  // Start a session or raise the ENetTFTP* exception that answers the request.
  // A read's size option is settled here from the stream's remaining bytes; a
  // write announcing more than the disk holds is refused (code 3) before the
  // file is created or emptied.
  virtual void StartReadTransfer(std::string fileName, TransferMode mode, const TPeerInfo& peer,
                                 TSessionOptions options);
  virtual void StartWriteTransfer(std::string fileName, TransferMode mode, const TPeerInfo& peer,
                                  const TSessionOptions& options);
  // Main thread: a session ended.
  virtual void ReportTransferComplete(bool success, const TPeerInfo& peer,
                                      std::unique_ptr<TTransferStream> stream, bool writeOperation);

  const std::string& StartDirectory() const { return resolver_.StartDirectory(); }
  // The sessions' wait for an answer when the client names no timeout
  // (1500 ms), and the longest wait a session uses whatever the client named
  // (the 255 s the timeout option allows). Shortened only by tests: setting
  // the wait sets the longest one too, so no client keeps a test waiting.
  void SetAnswerWaitMs(int waitMs) { answerWaitMs_ = longestWaitMs_ = waitMs; }

  TTransferCompleteEvent OnTransferComplete;
  TAccessFileEvent OnReadFile;
  TAccessFileEvent OnWriteFile;

 private:
  void HandleRequest(std::string_view data, const TPeerInfo& peer);
  // The host path of a requested name, or ENetTFTPAccessViolation.
  std::string ConfinedPath(const std::string& fileName) const;
  void AskAccess(const TAccessFileEvent& event, std::string& fileName, const TPeerInfo& peer,
                 std::unique_ptr<TTransferStream>& stream, bool& freeStream);

  PathResolver resolver_;
  std::shared_ptr<TTransferReportChannel> channel_;
  int answerWaitMs_ = tftp::kAnswerWaitMs;
  int longestWaitMs_ = tftp::kMaxTimeoutSeconds * 1000;
};
