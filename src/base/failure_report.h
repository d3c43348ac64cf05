// The program-wide report of failures. Every handler on the main thread that
// lets an exception escape hands it here (the Qt event loop cannot carry
// exceptions), through RunGuarded or ReportCurrentException.
// Each report is written at once to standard error with a timestamp (only
// the journal's error level "<3>" when standard error is the journal), then
// handed to the installed sink (the main window's error box queue, or a test's
// recorder). EAbort is never reported. Main thread only.
#pragma once

#include <exception>
#include <functional>
#include <string>

// The text the operator sees: message with "." appended when it is not empty
// and its last character sorts after ".".
std::string FailureText(const std::string& message);

using FailureSink = std::function<void(const std::string& text)>;

// Installs the sink that shows reports; returns the one it replaces.
// An empty sink leaves standard error as the only report.
FailureSink SetFailureSink(FailureSink sink);

void ReportFailure(const std::exception& failure);

// One failure line on standard error only, as every report writes it; for
// a process that is ending and must not show anything more. Any thread.
void WriteFailureLine(const std::string& text);

// One line of news that is no failure (a restart and its cause), on standard
// error only: the journal's notice level "<5>" there. Any thread.
void WriteNoticeLine(const std::string& text);

// True when standard error is the journal (JOURNAL_STREAM names it): its
// lines then carry the level only, the journal adds time and program.
bool StandardErrorIsJournal();

// Reports the exception being handled; call only inside a catch block.
void ReportCurrentException();

// Runs one event handler; whatever it throws ends it and is reported.
template <typename Handler>
void RunGuarded(Handler&& handler) noexcept {
  try {
    handler();
  } catch (...) {
    ReportCurrentException();
  }
}
