#include "tftp/net_trivial_ftp_server.h"

#include <algorithm>

#include "tftp/file_stream.h"
#include "tftp/net_tftp_server_receive_file_thread.h"
#include "tftp/net_tftp_server_send_file_thread.h"
#include "tftp/tftp_exceptions.h"

namespace {

std::string AccessDeniedText(const std::string& fileName) {
  return "Access to " + fileName + " denied";
}

// The size is the client's, as it announced it; the name as requested.
std::string NoRoomText(const std::string& fileName, int64_t size) {
  const std::string bytes =
      size == TSessionOptions::kSizeBeyondCount ? "more" : std::to_string(size);
  return "Not enough free space for " + fileName + " (" + bytes + " bytes)";
}

}  // namespace

TNetTrivialFTPServer::TNetTrivialFTPServer(std::string startDirectory)
    : resolver_(std::move(startDirectory)),
      channel_(std::make_shared<TTransferReportChannel>(*this)) {
  SetDefaultPort(kWellKnownPort);
  ThreadedEvent = true;
}

TNetTrivialFTPServer::~TNetTrivialFTPServer() {
  channel_->Close();
  TNetUDPServer::ReleaseBinding();
}

void TNetTrivialFTPServer::DispatchDatagram(std::string_view data, TNetSocketHandle& binding) {
  TNetUDPServer::DispatchDatagram(data, binding);
  const TPeerInfo peer{binding.RemoteAddress, binding.RemotePort};
  try {
    HandleRequest(data, peer);
  } catch (const std::exception& failure) {
    SendErrorPacket(*this, peer.Host, peer.Port, failure);
  }
}

void TNetTrivialFTPServer::HandleRequest(std::string_view data, const TPeerInfo& peer) {
  TTftpRequest request = ParseRequest(data, peer.Host, peer.Port);
  TransferMode mode = ParseTransferMode(request.ModeText);
  TSessionOptions options =
      NegotiateOptions(request.Options, request.Opcode == tftp::kWriteRequest);
  if (!options.ClientChoseWait) options.AnswerWaitMs = answerWaitMs_;
  options.AnswerWaitMs = std::min(options.AnswerWaitMs, longestWaitMs_);
  if (request.Opcode == tftp::kReadRequest) {
    StartReadTransfer(std::move(request.FileName), mode, peer, options);
  } else {
    StartWriteTransfer(std::move(request.FileName), mode, peer, options);
  }
}

std::string TNetTrivialFTPServer::ConfinedPath(const std::string& fileName) const {
  std::optional<std::string> hostPath =
      resolver_.ResolveConfined(fileName, {"log", "config", "alarms"});
  if (!hostPath) throw ENetTFTPAccessViolation(AccessDeniedText(fileName));
  return *hostPath;
}

// Raises the access event while assigned; a handler that refused ends the request.
void TNetTrivialFTPServer::AskAccess(const TAccessFileEvent& event, std::string& fileName,
                                     const TPeerInfo& peer, std::unique_ptr<TTransferStream>& stream,
                                     bool& freeStream) {
  bool grant = true;
  if (event) event(*this, fileName, peer, grant, stream, freeStream);
  if (!grant) throw ENetTFTPAccessViolation(AccessDeniedText(fileName));
}

void TNetTrivialFTPServer::StartReadTransfer(std::string fileName, TransferMode mode,
                                             const TPeerInfo& peer, TSessionOptions options) {
  bool freeStream = true;
  std::unique_ptr<TTransferStream> stream;
  AskAccess(OnReadFile, fileName, peer, stream, freeStream);
  BusyFiles::Mark busy;
  if (!stream) {
    const std::string hostPath = ConfinedPath(fileName);
    busy = BusyFiles::Instance().TryMark(hostPath, BusyFiles::Mode::kRead);
    if (!busy) throw ENetTFTPFileNotFound("Cannot open file " + fileName);
    stream = TFileStream::OpenRead(hostPath);
    if (!stream) throw ENetTFTPFileNotFound("Cannot open file " + fileName);
    freeStream = true;
  }
  options.SettleTransferSize(stream->Remaining());
  TNetTFTPServerSendFileThread::Start(channel_, mode, peer, std::move(stream), freeStream, options,
                                      std::move(busy));
}

void TNetTrivialFTPServer::StartWriteTransfer(std::string fileName, TransferMode mode,
                                              const TPeerInfo& peer, const TSessionOptions& options) {
  bool freeStream = true;
  std::unique_ptr<TTransferStream> stream;
  AskAccess(OnWriteFile, fileName, peer, stream, freeStream);
  BusyFiles::Mark busy;
  if (!stream) {
    const std::string hostPath = ConfinedPath(fileName);
    busy = BusyFiles::Instance().TryMark(hostPath, BusyFiles::Mode::kWrite);
    if (!busy) throw ENetTFTPAllocationExceeded("Cannot create file " + fileName);
    if (options.AnnouncedSize > 0 && !TFileStream::HasRoomFor(hostPath, options.AnnouncedSize)) {
      throw ENetTFTPAllocationExceeded(NoRoomText(fileName, options.AnnouncedSize));
    }
    stream = TFileStream::Create(hostPath);
    if (!stream) throw ENetTFTPAllocationExceeded("Cannot create file " + fileName);
    freeStream = true;
  }
  TNetTFTPServerReceiveFileThread::Start(channel_, mode, peer, std::move(stream), freeStream,
                                         options, std::move(busy));
}

void TNetTrivialFTPServer::ReportTransferComplete(bool success, const TPeerInfo& peer,
                                                  std::unique_ptr<TTransferStream> stream,
                                                  bool writeOperation) {
  if (OnTransferComplete) OnTransferComplete(*this, success, peer, stream, writeOperation);
}
