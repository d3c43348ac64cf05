#include "app/program_launch.h"

#include <climits>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The grandchild runs the program; the child leaves at once, so the new
// instance is re-parented and never becomes a zombie of this one.
void ExecDetached(const char* path) {
  ::setsid();
  if (::fork() != 0) _exit(0);
  for (int fd = 3; fd < 1024; ++fd) ::close(fd);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execl(path, path, static_cast<char*>(nullptr));
  _exit(127);
}

}  // namespace

void LaunchOwnExecutableDetached() {
  char path[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return;
  path[length] = '\0';
  pid_t child = ::fork();
  if (child == 0) ExecDetached(path);
  if (child > 0) ::waitpid(child, nullptr, 0);
}
