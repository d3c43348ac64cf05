// SIGTERM and SIGINT as File/Exit: Install (early in main, before any thread)
// makes each of them write one byte to a pipe instead of ending the process;
// a StopSignals object watches that pipe on the Qt event loop and runs its
// handler there, once per signal received. Main thread only, except the
// signal handler itself (async-signal-safe: one non-blocking write).
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

class StopSignals : public QObject {
 public:
  // Raises std::system_error when the pipe cannot be made or a handler set.
  static void Install();

  explicit StopSignals(std::function<void()> onStop, QObject* parent = nullptr);

 private:
  void Drain();

  std::function<void()> onStop_;
  QSocketNotifier* notifier_ = nullptr;
};
