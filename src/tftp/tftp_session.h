// One TFTP transfer: its own thread and its own UDP socket (a fresh port, the
// transfer ID); lock step with one packet in flight unless a window was agreed;
// whatever is pending is sent at most SendsPerPacket times: again after each
// wait of AnswerWaitMs without an answer and at once for a repeated packet of
// the peer, both counted alike, so a peer that repeats itself cannot keep a
// session alive that makes no progress.
// A session is complete when constructed and owns itself once launched: its
// thread destroys it at its end, after the report (when anyone listens). The
// file, its busy mark and the budget claim are released when it is destroyed,
// also when it never started. Datagrams from any other address or port get
// error 5 (a burst of four, then one per 100 ms at most) and change nothing;
// their error packets are never answered. Until the peer has answered once,
// the session waits no longer than the default and gives its place to a
// new request when the session cap is full (then it ends without a word);
// an ICMP error for its peer ends it at once, also without a word.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/busy_files.h"
#include "tftp/answer_poll.h"
#include "tftp/answer_rate.h"
#include "tftp/repeated_requests.h"
#include "tftp/session_budget.h"
#include "tftp/tftp_session_options.h"
#include "tftp/transfer_report.h"
#include "tftp/udp_socket.h"

class TftpSession {
 public:
  // Everything a session is made of, handed over whole by the request server.
  struct Setup {
    sockaddr_in peer{};
    uint32_t local = INADDR_ANY;  // the address the session answers from, host byte order
    SessionOptions options;
    std::unique_ptr<TransferStream> stream;
    bool freeStream = true;
    BusyFiles::Mark busy;
    SessionBudget::Claim claim;
    std::shared_ptr<TransferReportChannel> report;  // null: nobody listens
    // Answers the client's repeats of its request; null: none are answered.
    std::shared_ptr<RepeatedRequests::Entry> repeats;
  };

  virtual ~TftpSession();
  TftpSession(const TftpSession&) = delete;
  TftpSession& operator=(const TftpSession&) = delete;

  // Runs session on a thread that owns it. When no thread can be started,
  // the session is destroyed here and the failure raised.
  static void Launch(std::unique_ptr<TftpSession> session);

 protected:
  // What one datagram from the peer did to the transfer. kProgress: it moved
  // the transfer on but needs no answer yet (inside a receive window).
  enum class Answer { kIgnored, kAdvanced, kProgress, kResend, kEnded, kSilence };

  // Opens the session's socket and a receive buffer of receiveCapacity bytes
  // (at least 516, so a peer's error packet is read whole); raises
  // ENetSocketError or std::bad_alloc.
  TftpSession(Setup&& setup, size_t receiveCapacity);

  virtual bool IsWriteOperation() const = 0;
  // Makes the next packet pending (a data block, or an acknowledgement).
  virtual void BuildNextPacket() = 0;
  // Whether something waits to be sent (or sent again on silence), and the
  // sending of it; by default the one packet of SetPending.
  virtual bool HasPending() const { return pendingSize_ != 0; }
  virtual void SendPending();
  // The first packet as it went out, for a repeated request.
  virtual std::string FirstAnswer() const { return std::string(pendingData_, pendingSize_); }
  virtual Answer OnData(uint16_t block, std::string_view payload);
  virtual Answer OnAck(uint16_t block);
  // Called after each send, while the peer has the packet.
  virtual void AfterSend() {}

  void SetPending(const char* data, size_t size);
  void ClearPending() { pendingSize_ = 0; }
  // Raise ENetSocketError when the datagrams did not all go out.
  void SendToPeer(const char* data, size_t size);
  void SendToPeer(const OutgoingDatagram* datagrams, size_t count);
  [[noreturn]] void RaiseUnexpected() const;

  TransferStream& Stream() { return *stream_; }
  // Lets the socket queue that many bytes of datagrams not yet read.
  void QueueReceivedBytes(size_t bytes);
  // Gives the file back to others before the session ends (a store whose
  // last block is written need not hold it through its wait for a repeat).
  void ReleaseFileMark() { busy_ = BusyFiles::Mark(); }

  const SessionOptions options_;
  bool finished_ = false;
  uint16_t blockCounter_ = 0;

 private:
  void Run();
  void SessionLoop();
  void Exchange();
  Answer AwaitAnswer();
  int AnswerWaitMs() const;
  Received ReceiveUnlessCutOff(int waitMs);
  Answer Classify(std::string_view packet, size_t length);
  void AnswerStranger(const Received& received);
  // From the first send on: the client's repeats of its request are answered
  // with it until any datagram comes from the peer.
  void ArmRepeats();
  void HeardFromPeer();
  void SendError(const std::string& packet);
  void Report();

  // Members end in reverse order: the socket and the file close first, the
  // busy mark goes next and the budget claim last (options_ and the flags
  // above hold no resources), so a session counted as
  // ended holds nothing.
  SessionBudget::Claim claim_;
  BusyFiles::Mark busy_;
  std::unique_ptr<TransferStream> stream_;
  std::shared_ptr<TransferReportChannel> report_;
  const sockaddr_in peer_;
  const bool freeStream_;
  UdpSocket socket_;
  std::string optionAck_;
  const char* pendingData_ = nullptr;
  size_t pendingSize_ = 0;
  std::vector<char> answer_;  // receive buffer, sized once
  AnswerRate strangerAnswers_;
  AnswerPoll answerPoll_;
  std::shared_ptr<RepeatedRequests::Entry> repeats_;  // closed before the socket
  bool repeatsArmed_ = false;
  bool confirmed_ = false;  // a datagram came from the peer
};
