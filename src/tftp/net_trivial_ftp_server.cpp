#include "tftp/net_trivial_ftp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>

#include <algorithm>

#include "store/busy_files.h"
#include "store/directory_scan.h"
#include "tftp/file_stream.h"
#include "tftp/receive_session.h"
#include "tftp/send_session.h"
#include "tftp/session_budget.h"
#include "tftp/tftp_exceptions.h"
#include "tftp/tftp_packets.h"
#include "tftp/upload_file.h"

namespace {

// The listener looks at its stop flag at least this often.
constexpr int kListenerWakeMs = 1000;

std::string AccessDeniedText(const std::string& fileName) {
  return "Access to " + fileName + " denied";
}

// The size is the client's, as it announced it; the name as requested.
std::string NoRoomText(const std::string& fileName, int64_t size) {
  const std::string bytes =
      size == SessionOptions::kSizeBeyondCount ? "more" : std::to_string(size);
  return "Not enough free space for " + fileName + " (" + bytes + " bytes)";
}

TPeerInfo PeerInfoOf(const sockaddr_in& peer) { return TPeerInfo{AddressText(peer), PortOf(peer)}; }

}  // namespace

TNetTrivialFTPServer::TNetTrivialFTPServer(std::string startDirectory)
    : resolver_(std::move(startDirectory)),
      channel_(std::make_shared<TransferReportChannel>(*this)) {}

TNetTrivialFTPServer::~TNetTrivialFTPServer() {
  channel_->Close();
  SetActive(false);
}

void TNetTrivialFTPServer::SetLocalAddress(const std::string& dotted) {
  in_addr address{};
  localAddress_ =
      ::inet_pton(AF_INET, dotted.c_str(), &address) == 1 ? ntohl(address.s_addr) : INADDR_ANY;
}

int TNetTrivialFTPServer::LocalPort() const {
  return socket_ ? PortOf(socket_->LocalAddress()) : 0;
}

void TNetTrivialFTPServer::SetActive(bool active) {
  if (active == Active()) return;
  if (active) {
    socket_ = std::make_unique<UdpSocket>(
        SocketAddress(localAddress_, static_cast<uint16_t>(defaultPort_)));
    request_.resize(kRequestBufferSize);
    // The top directories are held from now on, so a transfer opens one descriptor.
    for (const char* top : {"log", "config", "alarms"}) resolver_.OpenConfined(top, {top}, O_PATH);
    stopping_ = false;
    listening_ = true;
    listener_ = std::thread([this] { Listen(); });
    return;
  }
  stopping_ = true;
  socket_->Wake();
  listener_.join();
  socket_.reset();
}

void TNetTrivialFTPServer::Listen() {
  while (!stopping_) {
    const Received received = socket_->Receive(request_.data(), request_.size(), kListenerWakeMs);
    if (stopping_) break;
    // Empty, cut and unreadable datagrams are dropped.
    if (received.status != Received::kDatagram || received.length == 0 ||
        received.length > request_.size()) {
      continue;
    }
    if (senders_ && !senders_->Admit(ntohl(received.from.sin_addr.s_addr), "file transfer")) {
      continue;
    }
    HandleRequest(std::string_view(request_.data(), received.length), received.from);
  }
  listening_ = false;
}

// Every failure is answered from the server's port. An error packet is
// never answered: two servers (or one forged packet from this port to
// itself) would bounce errors for ever.
void TNetTrivialFTPServer::HandleRequest(std::string_view data, const sockaddr_in& peer) {
  if (data.size() >= tftp::kOpcodeSize && ReadWord(data, 0) == tftp::kError) return;
  try {
    TftpRequest request = ParseRequest(data, AddressText(peer), PortOf(peer));
    if (repeats_.AnswerRepeat(peer, request.Opcode, request.FileName)) return;
    ParseTransferMode(request.ModeText);  // validated; the bytes move unchanged
    SessionOptions options =
        NegotiateOptions(request.Options, request.Opcode == tftp::kWriteRequest);
    if (!options.ClientChoseWait) options.AnswerWaitMs = answerWaitMs_;
    options.AnswerWaitMs = std::min(options.AnswerWaitMs, longestWaitMs_);
    options.UnconfirmedWaitMs = answerWaitMs_;
    if (request.Opcode == tftp::kReadRequest) {
      StartReadTransfer(std::move(request.FileName), peer, std::move(options));
    } else {
      StartWriteTransfer(std::move(request.FileName), peer, options);
    }
  } catch (const std::exception& failure) {
    AnswerFailure(failure, peer);
  }
}

// A flood from one source is not mirrored; a failed send of the answer is
// not reported (the requester may be gone).
void TNetTrivialFTPServer::AnswerFailure(const std::exception& failure, const sockaddr_in& peer) {
  constexpr size_t kRememberedSources = 4096;
  if (answerRates_.size() >= kRememberedSources) answerRates_.clear();
  const uint32_t source = ntohl(peer.sin_addr.s_addr);
  auto rate =
      answerRates_.try_emplace(source, kAnswerBurst, std::chrono::milliseconds(kAnswerIntervalMs))
          .first;
  if (rate->second.Allow()) socket_->SendTo(peer, BuildErrorPacket(failure));
}

std::string TNetTrivialFTPServer::ConfinedPath(const std::string& fileName) const {
  std::optional<std::string> hostPath =
      resolver_.ResolveConfined(fileName, {"log", "config", "alarms"});
  // A temporary file of the tree is never whole: neither served nor written.
  if (!hostPath || directory_scan::IsSweepTemporary(hostPath->substr(hostPath->rfind('/') + 1))) {
    throw ENetTFTPAccessViolation(AccessDeniedText(fileName));
  }
  return *hostPath;
}

// Opened by the one confined open: a name whose way was swapped for a link
// out since ConfinedPath looked is refused as ConfinedPath refuses it.
FileDescriptor TNetTrivialFTPServer::OpenConfined(const std::string& fileName, int flags,
                                                  mode_t mode) const {
  PathResolver::Opened opened =
      resolver_.OpenConfined(fileName, {"log", "config", "alarms"}, flags, mode);
  if (opened.error == PathResolver::kRefused) {
    throw ENetTFTPAccessViolation(AccessDeniedText(fileName));
  }
  return std::move(opened.fd);
}

// Raises the access event while assigned; a handler that refused ends the request.
void TNetTrivialFTPServer::AskAccess(const TAccessFileEvent& event, std::string& fileName,
                                     const sockaddr_in& peer,
                                     std::unique_ptr<TransferStream>& stream, bool& freeStream) {
  bool grant = true;
  if (event) event(*this, fileName, PeerInfoOf(peer), grant, stream, freeStream);
  if (!grant) throw ENetTFTPAccessViolation(AccessDeniedText(fileName));
}

std::shared_ptr<TransferReportChannel> TNetTrivialFTPServer::ReportChannel() const {
  return OnTransferComplete ? channel_ : nullptr;
}

// The file is marked busy before it is opened and stays marked while the
// session runs; a request that gets no session gives everything back.
void TNetTrivialFTPServer::StartReadTransfer(std::string fileName, const sockaddr_in& peer,
                                             SessionOptions options) {
  TftpSession::Setup setup;
  const std::string requested = fileName;
  AskAccess(OnReadFile, fileName, peer, setup.stream, setup.freeStream);
  if (!setup.stream) {
    const std::string hostPath = ConfinedPath(fileName);
    setup.busy = BusyFiles::Instance().TryMark(hostPath, BusyFiles::Mode::kRead);
    if (!setup.busy) throw ENetTFTPFileNotFound("Cannot open file " + fileName);
    std::unique_ptr<FileStream> file = FileStream::OpenRead(OpenConfined(fileName, O_RDONLY));
    if (!file) throw ENetTFTPFileNotFound("Cannot open file " + fileName);
    BusyFiles::Instance().UnderLock([&] { file->EndAtPresentLength(); });  // whole records only
    setup.stream = std::move(file);
    setup.freeStream = true;
  }
  const int64_t remaining = setup.stream->Remaining();
  options.SettleTransferSize(remaining);
  setup.claim = SessionBudget::Process().Take(SendSession::BufferBytes(options, remaining),
                                              ntohl(peer.sin_addr.s_addr));
  setup.peer = peer;
  setup.local = localAddress_;
  setup.options = std::move(options);
  setup.report = ReportChannel();
  setup.repeats = repeats_.Open(peer, tftp::kReadRequest, requested);
  TftpSession::Launch(std::make_unique<SendSession>(std::move(setup), remaining));
}

// A write announcing more than the disk holds, and one past the session
// caps, is refused before its temporary file is created; the file itself
// changes only when the upload is whole.
void TNetTrivialFTPServer::StartWriteTransfer(std::string fileName, const sockaddr_in& peer,
                                              const SessionOptions& options) {
  TftpSession::Setup setup;
  const std::string requested = fileName;
  AskAccess(OnWriteFile, fileName, peer, setup.stream, setup.freeStream);
  if (!setup.stream) {
    const std::string hostPath = ConfinedPath(fileName);
    setup.busy = BusyFiles::Instance().TryMark(hostPath, BusyFiles::Mode::kWrite);
    if (!setup.busy) throw ENetTFTPAllocationExceeded("Cannot create file " + fileName);
    if (options.AnnouncedSize > 0 && !FileStream::HasRoomFor(hostPath, options.AnnouncedSize)) {
      throw ENetTFTPAllocationExceeded(NoRoomText(fileName, options.AnnouncedSize));
    }
    setup.claim = SessionBudget::Process().Take(ReceiveSession::BufferBytes(options),
                                                ntohl(peer.sin_addr.s_addr));
    // The file's directory, opened confined; the upload names its files below it.
    setup.stream = UploadFile::Create(
        OpenConfined(fileName.substr(0, fileName.find_last_of("/\\")), O_PATH | O_DIRECTORY),
        hostPath);
    if (!setup.stream) throw ENetTFTPAllocationExceeded("Cannot create file " + fileName);
    setup.freeStream = true;
  } else {
    setup.claim = SessionBudget::Process().Take(ReceiveSession::BufferBytes(options),
                                                ntohl(peer.sin_addr.s_addr));
  }
  setup.peer = peer;
  setup.local = localAddress_;
  setup.options = options;
  setup.report = ReportChannel();
  setup.repeats = repeats_.Open(peer, tftp::kWriteRequest, requested);
  TftpSession::Launch(std::make_unique<ReceiveSession>(std::move(setup)));
}

void TNetTrivialFTPServer::ReportTransferComplete(bool success, const TPeerInfo& peer,
                                                  std::unique_ptr<TransferStream> stream,
                                                  bool writeOperation) {
  if (OnTransferComplete) OnTransferComplete(*this, success, peer, stream, writeOperation);
}
