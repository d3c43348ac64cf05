#include "app/stop_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <system_error>

#include "base/failure_report.h"
#include "base/retry_on_interrupt.h"

namespace {

int signal_pipe[2] = {-1, -1};

extern "C" void WriteStopByte(int) {
  const int saved = errno;
  const char byte = 's';
  (void)!::write(signal_pipe[1], &byte, 1);  // a full pipe already holds a stop
  errno = saved;
}

}  // namespace

void StopSignals::Install() {
  if (signal_pipe[0] >= 0) return;
  if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe2");
  struct sigaction action {};
  action.sa_handler = WriteStopByte;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT}) {
    if (::sigaction(signal, &action, nullptr) != 0)
      throw std::system_error(errno, std::generic_category(), "sigaction");
  }
}

StopSignals::StopSignals(std::function<void()> onStop, QObject* parent)
    : QObject(parent), onStop_(std::move(onStop)) {
  Install();
  notifier_ = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });
}

void StopSignals::Drain() {
  char bytes[64];
  ssize_t got = RetryOnInterrupt([&] { return ::read(signal_pipe[0], bytes, sizeof bytes); });
  for (ssize_t i = 0; i < got; ++i) RunGuarded([this] { onStop_(); });
}
