#include "tftp/transfer_report.h"

#include "base/failure_report.h"
#include "base/main_thread_call.h"
#include "tftp/net_trivial_ftp_server.h"

void TransferReportChannel::Close() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  server_ = nullptr;
  closed_ = true;
}

void TransferReportChannel::Report(bool success, const TPeerInfo& peer,
                                   std::unique_ptr<TransferStream> stream, bool writeOperation) {
  if (closed_) return;
  auto self = shared_from_this();
  auto held = std::make_shared<std::unique_ptr<TransferStream>>(std::move(stream));
  RunOnMainThreadAndWait(
      [self, success, peer, held, writeOperation] {
        self->Deliver(success, peer, std::move(*held), writeOperation);
      },
      [self] { return self->closed_.load(); });
}

void TransferReportChannel::Deliver(bool success, const TPeerInfo& peer,
                                    std::unique_ptr<TransferStream> stream, bool writeOperation) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (server_ == nullptr) return;
  RunGuarded(
      [&] { server_->ReportTransferComplete(success, peer, std::move(stream), writeOperation); });
}
