#include "app/service_notice.h"

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/failure_report.h"

namespace {

constexpr std::uint64_t kHandOverWaitMicroseconds = 5000000;

void Notify(const std::string& message) {
  int sent = sd_notify(0, message.c_str());
  if (sent < 0)
    WriteFailureLine("Cannot notify the service manager: " + std::string(std::strerror(-sent)));
}

}  // namespace

bool UnderServiceManager() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && *socket != '\0';
}

void NotifyServiceStatus(const std::string& text) {
  if (UnderServiceManager()) Notify("STATUS=" + text);
}

void NotifyServiceReady() { Notify("READY=1\nMAINPID=" + std::to_string(::getpid())); }

void HandOverServiceTo(pid_t successor) {
  Notify("MAINPID=" + std::to_string(successor));
  if (sd_notify_barrier(0, kHandOverWaitMicroseconds) < 0) {
    WriteFailureLine("The service manager did not confirm the new main process");
  }
}
