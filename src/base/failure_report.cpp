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

// The journal reads a leading "<N>" as the level and stamps each line with
// time and program itself; elsewhere a line carries both.
void WriteLine(const char* level, const std::string& text) {
  if (StandardErrorIsJournal()) {
    std::fprintf(stderr, "%s%s\n", level, text.c_str());
  } else {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(stderr, "%s datacontroller: %s\n", stamp, text.c_str());
  }
  std::fflush(stderr);
}

void Deliver(const std::string& message) {
  std::string text = FailureText(message);
  WriteFailureLine(text);
  if (Sink()) Sink()(text);
}

}  // namespace

// Under a service manager standard error may be the journal, which says so
// in JOURNAL_STREAM ("dev:inode" of the stream).
bool StandardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat err {};
  if (stream == nullptr || ::fstat(2, &err) != 0) return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  return device == err.st_dev && inode == err.st_ino;
}

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
