// One TFTP transfer: its own thread and its own UDP socket (a fresh port, the
// transfer ID); lock step with one packet in flight unless a window was agreed
// (then a send session has up to WindowSize blocks in flight); whatever is
// pending is sent at most SendsPerPacket times AnswerWaitMs apart. Started by the request server; owned
// by nobody: it frees itself at its end, after reporting through the channel.
// Datagrams from any other address or port get error 5 and change nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/busy_files.h"
#include "tftp/net_udp_base.h"
#include "tftp/tftp_request.h"
#include "tftp/tftp_session_options.h"
#include "tftp/transfer_report.h"

class TNetTFTPServerThread {
 public:
  virtual ~TNetTFTPServerThread();
  TNetTFTPServerThread(const TNetTFTPServerThread&) = delete;
  TNetTFTPServerThread& operator=(const TNetTFTPServerThread&) = delete;

  // Sessions that have not ended yet, and a wait until none is left (false
  // when timeoutMs passed first). Thread safe.
  static int LiveCount();
  static bool WaitUntilAllEnded(int timeoutMs);

 protected:
  // What one datagram from the peer did to the transfer. kProgress: it moved
  // the transfer on but needs no answer yet (inside a receive window).
  enum class TAnswer { kIgnored, kAdvanced, kProgress, kResend, kEnded, kSilence };

  TNetTFTPServerThread(std::shared_ptr<TTransferReportChannel> owner, const TPeerInfo& peer,
                       std::unique_ptr<TTransferStream> stream, bool freeStream,
                       const TSessionOptions& options, BusyFiles::Mark busy);

  // Runs the session on a new thread, which deletes this object at its end.
  void Begin();

  virtual bool IsWriteOperation() const = 0;
  // Makes the next packet pending (a data block, or an acknowledgement).
  virtual void BuildNextPacket() = 0;
  // Whether something waits to be sent (or sent again on silence), and the
  // sending of it; by default the one packet of SetPending.
  virtual bool HasPending() const { return pendingSize_ != 0; }
  virtual void SendPending();
  virtual TAnswer OnData(uint16_t block, std::string_view payload);
  virtual TAnswer OnAck(uint16_t block);
  // Called after each send, while the peer has the packet: time for work
  // that the next packet needs.
  virtual void AfterSend() {}

  void SetPending(const char* data, size_t size);
  void ClearPending() { pendingSize_ = 0; }
  void SendToPeer(const char* data, size_t size);
  void SendToPeer(const udp_ops::OutgoingDatagram* datagrams, size_t count);
  [[noreturn]] void RaiseUnexpected() const;

  std::unique_ptr<TTransferStream> Stream;
  TNetUDPClient Link;
  bool Finished = false;
  uint16_t BlockCounter = 0;
  const TSessionOptions Options;

 private:
  void ThreadBody();
  void SessionLoop();
  void Exchange();
  TAnswer AwaitAnswer();
  TAnswer Classify(std::string_view packet);
  bool FromPeer(const TReceivedDatagram& received) const;
  void NotifyComplete();

  bool FreeStream;
  std::shared_ptr<TTransferReportChannel> Owner;
  BusyFiles::Mark busy_;
  uint32_t peerAddress_;
  uint16_t peerPort_;
  std::string optionAck_;
  const char* pendingData_ = nullptr;
  size_t pendingSize_ = 0;
  std::vector<char> answer_;  // receive buffer, sized once
};
