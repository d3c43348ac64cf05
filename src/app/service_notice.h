// Messages to a service manager (systemd) on its notification socket: that
// the data unit serves, and which process is the service's main process.
// Without a service manager (no NOTIFY_SOCKET) nothing is sent and the
// program runs as it would anyway. A message that cannot be sent is written
// to standard error. Main thread only.
#pragma once

#include <sys/types.h>

#include <string>

// True when a service manager listens (NOTIFY_SOCKET is set).
bool UnderServiceManager();

// "READY=1" and "MAINPID=" this process: both ports listen.
void NotifyServiceReady();

// "STATUS=" text: what the instance is doing, for `systemctl status`; an
// empty text clears it.
void NotifyServiceStatus(const std::string& text);

// "MAINPID=" successor, the instance a restart launched; waits (at most 5 s)
// until the manager has read it, so that this process may end without the
// service ending with it.
void HandOverServiceTo(pid_t successor);
