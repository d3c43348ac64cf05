#include "tftp/tftp_session.h"

#include <algorithm>
#include <climits>
#include <thread>

#include "tftp/tftp_exceptions.h"
#include "tftp/tftp_packets.h"
#include "tftp/tftp_protocol.h"
#include "tftp/tftp_request.h"
#include "tftp/transfer_counters.h"

namespace {

using Clock = std::chrono::steady_clock;

// Error-5 answers to strangers: a burst of a few, then one per interval.
constexpr int kStrangerBurst = 4;
constexpr auto kStrangerInterval = std::chrono::milliseconds(100);

// Room for any error packet of RFC 1350 size, so a peer's error text is read
// whole whatever the block size.
constexpr size_t kSmallestReceiveBuffer = tftp::kDefaultBlockSize + tftp::kHeaderSize;

}  // namespace

TftpSession::TftpSession(Setup&& setup, size_t receiveCapacity)
    : options_(std::move(setup.options)),
      claim_(std::move(setup.claim)),
      busy_(std::move(setup.busy)),
      stream_(std::move(setup.stream)),
      report_(std::move(setup.report)),
      peer_(setup.peer),
      freeStream_(setup.freeStream),
      socket_(SocketAddress(setup.local, 0)),
      answer_(std::max(receiveCapacity, kSmallestReceiveBuffer)),
      strangerAnswers_(kStrangerBurst, kStrangerInterval),
      repeats_(std::move(setup.repeats)) {
  socket_.ReportUnreachable();
  claim_.SetWake([this] { socket_.Wake(); });
}

TftpSession::~TftpSession() {
  claim_.SetWake(nullptr);  // the socket goes before the claim
  if (repeats_) repeats_->Close();
}

void TftpSession::Launch(std::unique_ptr<TftpSession> session) {
  TftpSession* running = session.get();
  std::thread([running] {
    std::unique_ptr<TftpSession> owned(running);
    owned->Run();
  }).detach();
  session.release();  // the thread owns it now
}

void TftpSession::Run() {
  SessionLoop();
  TransferCounters::Process().Count(IsWriteOperation(), finished_,
                                    stream_ ? static_cast<std::uint64_t>(stream_->Position()) : 0);
  if (freeStream_) stream_.reset();
  busy_ = BusyFiles::Mark();
  Report();
}

void TftpSession::Report() {
  if (!report_) return;
  const TPeerInfo peer{AddressText(peer_), PortOf(peer_)};
  report_->Report(finished_, peer, std::move(stream_), IsWriteOperation());
}

void TftpSession::SessionLoop() {
  try {
    Exchange();
  } catch (const EWriteError&) {
    SendError(BuildErrorPacket(tftp::kAllocationExceeded,
                               "Unable to complete write request, progress halted at " +
                                   std::to_string(stream_->Position()) + " bytes"));
  } catch (const std::exception& failure) {
    SendError(BuildErrorPacket(failure));
  }
}

// The error being answered matters more than one lost answer: a failed send
// of it is not reported.
void TftpSession::SendError(const std::string& packet) { socket_.SendTo(peer_, packet); }

void TftpSession::Exchange() {
  if (!options_.Acknowledged.empty()) {
    optionAck_ = BuildOptionAck(options_.Acknowledged);
    SetPending(optionAck_.data(), optionAck_.size());
  }
  int retries = 0;
  bool send = true;
  for (;;) {
    if (!HasPending()) {
      BuildNextPacket();
      retries = 0;
    }
    if (retries == options_.SendsPerPacket) {
      if (finished_) return;  // a complete store whose peer kept repeating its last block
      throw ENetTFTPIllegalOperation("Timeout");
    }
    // A complete store waits for a repeat of its last block only while its
    // address has a final wait left. Its share is given back before its last
    // acknowledgement goes out: the client's next request may follow at once.
    const bool finalWait = finished_ && claim_.MoveToFinalWait();
    if (send) {
      ArmRepeats();  // before the send: the answer to it may bring the next request
      SendPending();
      AfterSend();
    }
    if (finished_ && !finalWait) return;
    const Answer answer = AwaitAnswer();
    if (answer == Answer::kEnded) return;
    send = answer != Answer::kProgress;
    if (answer == Answer::kProgress) retries = 0;
    if (answer == Answer::kSilence && finished_) return;
    if (answer == Answer::kSilence || answer == Answer::kResend) ++retries;
  }
}

void TftpSession::ArmRepeats() {
  if (!repeats_ || repeatsArmed_) return;
  repeatsArmed_ = true;
  repeats_->Arm(&socket_, peer_, FirstAnswer(), options_.SendsPerPacket);
}

void TftpSession::HeardFromPeer() {
  if (!confirmed_) {
    confirmed_ = true;
    claim_.Confirm();
  }
  if (!repeats_) return;
  repeats_->Close();
  repeats_.reset();
}

// Until the peer has answered once, the request may be forged: the session
// keeps the default wait, whatever timeout the request named.
int TftpSession::AnswerWaitMs() const {
  return confirmed_ ? options_.AnswerWaitMs
                    : std::min(options_.AnswerWaitMs, options_.UnconfirmedWaitMs);
}

void TftpSession::SendPending() { SendToPeer(pendingData_, pendingSize_); }

void TftpSession::SendToPeer(const OutgoingDatagram* datagrams, size_t count) {
  if (count == 0) return;
  if (const int code = socket_.SendBatch(peer_, datagrams, count)) throw ENetSocketError(code);
}

void TftpSession::SendToPeer(const char* data, size_t size) {
  if (const int code = socket_.SendTo(peer_, std::string_view(data, size))) {
    throw ENetSocketError(code);
  }
}

// Waits for the answer to the packet just sent; datagrams that do not
// advance the transfer do not extend the wait.
// A session ends quietly when it gave its place to a new request, and when
// its peer cannot be reached (an error packet would not arrive either).
TftpSession::Answer TftpSession::AwaitAnswer() {
  const Clock::time_point start = Clock::now();
  const int fullWaitMs = AnswerWaitMs();
  int waitMs = fullWaitMs;
  Received received = answerPoll_.Poll(socket_, answer_.data(), answer_.size());
  for (;;) {
    if (received.status == Received::kNothing) received = ReceiveUnlessCutOff(waitMs);
    if (!confirmed_ && claim_.Evicted()) return Answer::kEnded;
    if (received.status == Received::kNothing) return Answer::kSilence;
    if (received.status == Received::kFailed) throw ENetSocketError(received.error);
    if (received.status == Received::kUnreachable) {
      if (SameAddress(received.from, peer_)) return Answer::kEnded;
    } else if (!SameAddress(received.from, peer_)) {
      AnswerStranger(received);
    } else {
      HeardFromPeer();
      const size_t kept = std::min(received.length, answer_.size());
      const Answer answer = Classify(std::string_view(answer_.data(), kept), received.length);
      if (answer != Answer::kIgnored) {
        answerPoll_.Heard(Clock::now() - start);
        return answer;
      }
    }
    received = Received{};
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    waitMs = fullWaitMs - static_cast<int>(waited.count());
    if (waitMs < 0) return Answer::kSilence;
  }
}

// Waits in slices, so that the ending process's cut-off reaches a waiting
// session within one slice.
Received TftpSession::ReceiveUnlessCutOff(int waitMs) {
  for (;;) {
    if (SessionBudget::Process().CutOff()) {
      if (finished_) return Received{};  // a complete store ends its final wait quietly
      throw Exception("Transfer cut off: the data unit is ending");
    }
    const int slice = waitMs < 0 ? SessionBudget::kCutOffSliceMs
                                 : std::min(waitMs, SessionBudget::kCutOffSliceMs);
    const Received received = socket_.Receive(answer_.data(), answer_.size(), slice);
    if (received.status != Received::kNothing || slice == waitMs) return received;
    if (waitMs > 0) waitMs -= slice;
  }
}

// Error packets are never answered (two sessions would bounce errors at each
// other); anything else gets error 5, a burst of a few and then one per
// interval, so a flood from a stranger is not mirrored.
void TftpSession::AnswerStranger(const Received& received) {
  const bool isError = received.length >= tftp::kOpcodeSize &&
                       ReadWord(std::string_view(answer_.data(), 2), 0) == tftp::kError;
  if (isError || !strangerAnswers_.Allow()) return;
  socket_.SendTo(received.from,
                 BuildErrorPacket(tftp::kUnknownTransferId, tftp::kUnknownTransferIdText));
}

// packet holds what was read of a datagram of length bytes.
TftpSession::Answer TftpSession::Classify(std::string_view packet, size_t length) {
  if (length == 0) throw ENetUDPReceiveErrorZeroBytes();
  const uint16_t opcode = packet.size() >= tftp::kOpcodeSize ? ReadWord(packet, 0) : 0;
  if (opcode == tftp::kError) throw EAbort("Operation aborted");
  if (length > static_cast<size_t>(options_.BlockSize) + tftp::kHeaderSize) {
    throw ENetSocketError(UdpSocket::kCodeMessageTooLong);
  }
  if (opcode != tftp::kData && opcode != tftp::kAck) RaiseUnexpected();
  if (packet.size() < tftp::kHeaderSize) return Answer::kIgnored;  // no block number
  const uint16_t block = ReadWord(packet, 2);
  if (opcode == tftp::kData) return OnData(block, packet.substr(tftp::kHeaderSize));
  return OnAck(block);
}

TftpSession::Answer TftpSession::OnData(uint16_t, std::string_view) { RaiseUnexpected(); }

TftpSession::Answer TftpSession::OnAck(uint16_t) { RaiseUnexpected(); }

void TftpSession::RaiseUnexpected() const {
  throw ENetTFTPIllegalOperation(UnexpectedOperationText(AddressText(peer_), PortOf(peer_)));
}

void TftpSession::QueueReceivedBytes(size_t bytes) {
  socket_.SetReceiveQueueBytes(static_cast<int>(std::min<size_t>(bytes, INT_MAX / 2)));
}

void TftpSession::SetPending(const char* data, size_t size) {
  pendingData_ = data;
  pendingSize_ = size;
}
