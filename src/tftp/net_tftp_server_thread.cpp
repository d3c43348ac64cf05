#include "tftp/net_tftp_server_thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tftp/tftp_exceptions.h"
#include "tftp/tftp_protocol.h"

namespace {

std::mutex liveMutex;
std::condition_variable liveChanged;
int liveSessions = 0;  // guarded by liveMutex

using Clock = std::chrono::steady_clock;

}  // namespace

TNetTFTPServerThread::TNetTFTPServerThread(std::shared_ptr<TTransferReportChannel> owner,
                                           const TPeerInfo& peer,
                                           std::unique_ptr<TTransferStream> stream, bool freeStream,
                                           const TSessionOptions& options, BusyFiles::Mark busy)
    : Stream(std::move(stream)),
      Options(options),
      FreeStream(freeStream),
      Owner(std::move(owner)),
      busy_(std::move(busy)),
      peerAddress_(TNetStack::AddressFromText(peer.Host)),
      peerPort_(static_cast<uint16_t>(peer.Port)),
      answer_(static_cast<size_t>(options.BlockSize) + tftp::kHeaderSize) {
  Link.Host = peer.Host;
  Link.Port = peer.Port;
  Link.ReceiveTimeout = options.AnswerWaitMs;
  Link.BufferSize = options.BlockSize + static_cast<int>(tftp::kHeaderSize);
  std::lock_guard<std::mutex> lock(liveMutex);
  ++liveSessions;
}

TNetTFTPServerThread::~TNetTFTPServerThread() = default;

int TNetTFTPServerThread::LiveCount() {
  std::lock_guard<std::mutex> lock(liveMutex);
  return liveSessions;
}

bool TNetTFTPServerThread::WaitUntilAllEnded(int timeoutMs) {
  std::unique_lock<std::mutex> lock(liveMutex);
  return liveChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [] { return liveSessions == 0; });
}

void TNetTFTPServerThread::Begin() {
  std::thread([this] { ThreadBody(); }).detach();
}

void TNetTFTPServerThread::ThreadBody() {
  SessionLoop();
  if (FreeStream) Stream.reset();
  busy_ = BusyFiles::Mark();
  NotifyComplete();
  delete this;
  std::lock_guard<std::mutex> lock(liveMutex);
  --liveSessions;
  liveChanged.notify_all();
}

void TNetTFTPServerThread::NotifyComplete() {
  Owner->Report(Finished, TPeerInfo{Link.Host, Link.Port}, std::move(Stream), IsWriteOperation());
}

void TNetTFTPServerThread::SessionLoop() {
  Finished = false;
  try {
    Exchange();
  } catch (const ENetTFTPException& failure) {
    SendErrorPacket(Link, failure);
  } catch (const EWriteError&) {
    SendErrorPacket(Link, tftp::kAllocationExceeded,
                    "Unable to complete write request, progress halted at " +
                        std::to_string(Stream->Position()) + " bytes");
  } catch (const std::exception& failure) {
    SendErrorPacket(Link, failure);
  }
}

void TNetTFTPServerThread::Exchange() {
  if (!Options.Acknowledged.empty()) {
    optionAck_ = BuildOptionAck(Options.Acknowledged);
    SetPending(optionAck_.data(), optionAck_.size());
  }
  BlockCounter = 0;
  int retries = 0;
  bool send = true;
  for (;;) {
    if (!HasPending()) {
      BuildNextPacket();
      retries = 0;
    }
    if (retries == Options.SendsPerPacket) throw ENetTFTPIllegalOperation("Timeout");
    if (send) {
      SendPending();
      AfterSend();
    }
    const TAnswer answer = AwaitAnswer();
    if (Finished && IsWriteOperation()) busy_ = BusyFiles::Mark();  // the file is complete
    if (answer == TAnswer::kEnded) return;
    send = answer != TAnswer::kProgress;
    if (answer == TAnswer::kProgress) retries = 0;
    if (answer == TAnswer::kSilence) {
      if (Finished) return;
      ++retries;
    }
  }
}

void TNetTFTPServerThread::SendPending() { SendToPeer(pendingData_, pendingSize_); }

void TNetTFTPServerThread::SendToPeer(const udp_ops::OutgoingDatagram* datagrams, size_t count) {
  Link.AcquireBinding().SendDatagrams(peerAddress_, peerPort_, datagrams, count);
}

void TNetTFTPServerThread::SendToPeer(const char* data, size_t size) {
  Link.AcquireBinding().SendDatagram(peerAddress_, peerPort_, data, size);
}

// Waits for the answer to the packet just sent; datagrams that do not
// advance the transfer do not extend the wait. The first receive waits the
// whole time, so the socket's wait is set once per session, not per packet.
TNetTFTPServerThread::TAnswer TNetTFTPServerThread::AwaitAnswer() {
  const Clock::time_point start = Clock::now();
  int waitMs = Options.AnswerWaitMs;
  for (;;) {
    TReceivedDatagram received = Link.ReceiveInto(answer_.data(), answer_.size(), waitMs);
    if (received.Status == TReceiveStatus::kNothing) return TAnswer::kSilence;
    if (!FromPeer(received)) {
      SendErrorPacket(Link, TNetStack::AddressText(received.Address), received.Port,
                      tftp::kUnknownTransferId, tftp::kUnknownTransferIdText);
    } else {
      if (received.Status != TReceiveStatus::kDatagram) RaiseReceiveFailure(received);
      TAnswer answer = Classify(std::string_view(answer_.data(), received.Size));
      if (answer != TAnswer::kIgnored) return answer;
    }
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    waitMs = Options.AnswerWaitMs - static_cast<int>(waited.count());
    if (waitMs < 0) return TAnswer::kSilence;
  }
}

bool TNetTFTPServerThread::FromPeer(const TReceivedDatagram& received) const {
  if (received.Status == TReceiveStatus::kFailed) return true;  // no sender known
  return received.Address == peerAddress_ && received.Port == peerPort_;
}

TNetTFTPServerThread::TAnswer TNetTFTPServerThread::Classify(std::string_view packet) {
  const uint16_t opcode = packet.size() >= tftp::kOpcodeSize ? ReadWord(packet, 0) : 0;
  if (opcode == tftp::kError) throw EAbort("Operation aborted");
  if (opcode != tftp::kData && opcode != tftp::kAck) RaiseUnexpected();
  if (packet.size() < tftp::kHeaderSize) return TAnswer::kIgnored;  // no block number
  const uint16_t block = ReadWord(packet, 2);
  if (opcode == tftp::kData) return OnData(block, packet.substr(tftp::kHeaderSize));
  return OnAck(block);
}

TNetTFTPServerThread::TAnswer TNetTFTPServerThread::OnData(uint16_t, std::string_view) {
  RaiseUnexpected();
}

TNetTFTPServerThread::TAnswer TNetTFTPServerThread::OnAck(uint16_t) { RaiseUnexpected(); }

void TNetTFTPServerThread::RaiseUnexpected() const {
  throw ENetTFTPIllegalOperation(UnexpectedOperationText(Link.Host, Link.Port));
}

void TNetTFTPServerThread::SetPending(const char* data, size_t size) {
  pendingData_ = data;
  pendingSize_ = size;
}
