#include "base/failure_report.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/exceptions.h"

namespace {

FailureSink& Sink() {
  static FailureSink sink;
  return sink;
}

// Under a service manager standard error may be the journal, which reads a
// leading "<3>" as the error level; it says so in JOURNAL_STREAM ("dev:inode").
const char* LevelPrefix(const char* level) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat err {};
  if (stream == nullptr || ::fstat(2, &err) != 0) return "";
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return "";
  return device == err.st_dev && inode == err.st_ino ? level : "";
}

void WriteLine(const char* level, const std::string& text) {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(stderr, "%s%s datacontroller: %s\n", LevelPrefix(level), stamp, text.c_str());
  std::fflush(stderr);
}

void Deliver(const std::string& message) {
  std::string text = FailureText(message);
  WriteFailureLine(text);
  if (Sink()) Sink()(text);
}

}  // namespace

void WriteFailureLine(const std::string& text) { WriteLine("<3>", text); }

void WriteNoticeLine(const std::string& text) { WriteLine("<5>", text); }

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
