#include "tftp/net_thread.h"

#include "base/exceptions.h"

TNetThread::~TNetThread() { StopAndWait(); }

void TNetThread::BeginRun() {
  if (thread_.joinable() || terminated_) return;
  stopFlag_ = false;
  running_ = true;
  thread_ = std::thread([this] { Body(); });
}

void TNetThread::RequestStop() {
  if (Stopped()) return;
  terminated_ = true;
  stopFlag_ = true;
}

void TNetThread::StopAndWait() {
  terminated_ = true;
  stopFlag_ = true;
  if (thread_.joinable()) thread_.join();
}

std::string TNetThread::LastExceptionMessage() const {
  std::lock_guard<std::mutex> lock(messageMutex_);
  return lastExceptionMessage_;
}

void TNetThread::Body() {
  try {
    BeforeRun();
    while (!Stopped()) Step();
    AfterRun();
  } catch (const std::exception& failure) {
    std::lock_guard<std::mutex> lock(messageMutex_);
    lastExceptionMessage_ = failure.what();
  }
  terminated_ = true;
  running_ = false;
}
