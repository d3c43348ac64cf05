#include "base/failure_report.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "base/exceptions.h"

namespace {

FailureSink& Sink() {
  static FailureSink sink;
  return sink;
}

void WriteToStandardError(const std::string& text) {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(stderr, "%s datacontroller: %s\n", stamp, text.c_str());
  std::fflush(stderr);
}

void Deliver(const std::string& message) {
  std::string text = FailureText(message);
  WriteToStandardError(text);
  if (Sink()) Sink()(text);
}

}  // namespace

std::string FailureText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
  return message;
}

FailureSink SetFailureSink(FailureSink sink) {
  FailureSink previous = std::move(Sink());
  Sink() = std::move(sink);
  return previous;
}

void ReportFailure(const std::exception& failure) {
  if (dynamic_cast<const EAbort*>(&failure) != nullptr) return;
  Deliver(failure.what());
}

void ReportCurrentException() {
  try {
    throw;
  } catch (const std::exception& failure) {
    ReportFailure(failure);
  } catch (...) {
    Deliver("Unknown exception");
  }
}
