#include "app/program_launch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "app/service_notice.h"
#include "base/failure_report.h"
#include "base/retry_on_interrupt.h"

namespace {

// Set in the environment of the instance a restart launches.
constexpr const char* kRestartMark = "DATACONTROLLER_RESTARTED_FROM";
// The steady clock's nanoseconds at the last restart a connection error caused.
constexpr const char* kErrorRestartMark = "DATACONTROLLER_ERROR_RESTART_AT";

std::string& Remembered() {
  static std::string path;
  return path;
}

std::vector<std::string>& RememberedArguments() {
  static std::vector<std::string> arguments;
  return arguments;
}

std::string RunningExecutable() {
  char path[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first {
  }, second{};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// What the launching child tells its parent through a pipe: the new
// instance's process id, or the errno of a fork or exec that failed.
struct LaunchNews {
  char kind;  // 'p' process id, 'e' errno
  int value;
};

void Tell(int pipe, LaunchNews news) {
  RetryOnInterrupt([&] { return ::write(pipe, &news, sizeof news); });
}

// The grandchild runs the program; the child leaves at once, so the new
// instance is re-parented and never becomes a zombie of this one. Only
// async-signal-safe calls: the parent has other threads.
[[noreturn]] void ExecDetached(const char* path, char* const* argv, char* const* environment,
                               int news) {
  ::setsid();
  pid_t grandchild = ::fork();
  if (grandchild != 0) {
    Tell(news, grandchild > 0 ? LaunchNews{'p', grandchild} : LaunchNews{'e', errno});
    _exit(0);
  }
  for (int fd = 3; fd < 1024; ++fd) {
    if (fd != news) ::close(fd);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(path, argv, environment);
  Tell(news, {'e', errno});
  _exit(127);
}

// The process id of the new instance once it runs the program, or -1.
pid_t AwaitLaunch(int news, pid_t child, int& error) {
  pid_t started = -1;
  LaunchNews received{};
  ssize_t got;
  while ((got = RetryOnInterrupt([&] { return ::read(news, &received, sizeof received); })) != 0) {
    if (got != sizeof received) break;
    if (received.kind == 'p') started = received.value;
    if (received.kind == 'e') error = received.value;
  }
  ::waitpid(child, nullptr, 0);
  return error == 0 ? started : -1;
}

bool HasName(const char* entry, const std::string& prefix) {
  return std::strncmp(entry, prefix.c_str(), prefix.size()) == 0;
}

// This process's environment with the restart marks added; the strings are
// made before the fork, since the child may not allocate.
std::vector<std::string> MarkedEnvironment(
    std::optional<std::chrono::steady_clock::time_point> lastErrorRestart) {
  std::vector<std::string> entries;
  const std::string prefix = std::string(kRestartMark) + "=";
  const std::string errorPrefix = std::string(kErrorRestartMark) + "=";
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!HasName(*entry, prefix) && !HasName(*entry, errorPrefix)) entries.emplace_back(*entry);
  }
  entries.push_back(prefix + std::to_string(::getpid()));
  if (lastErrorRestart)
    entries.push_back(errorPrefix + std::to_string(lastErrorRestart->time_since_epoch().count()));
  return entries;
}

// The pipe's write end closes on a successful exec; an error comes before.
// The child allocates nothing: its argument vector is made here.
pid_t LaunchDetached(const std::string& path, std::vector<std::string> entries, int& error) {
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (std::string& argument : RememberedArguments()) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<char*> environment;
  for (std::string& entry : entries) environment.push_back(entry.data());
  environment.push_back(nullptr);
  int news[2];
  if (::pipe2(news, O_CLOEXEC) != 0) {
    error = errno;
    return -1;
  }
  pid_t child = ::fork();
  if (child == 0) {
    ::close(news[0]);
    ExecDetached(path.c_str(), argv.data(), environment.data(), news[1]);
  }
  if (child < 0) error = errno;
  ::close(news[1]);
  pid_t started = child > 0 ? AwaitLaunch(news[0], child, error) : -1;
  ::close(news[0]);
  return started;
}

}  // namespace

void RememberOwnExecutable(const char* argv0) {
  std::string running = RunningExecutable();
  Remembered() = running;
  if (argv0 == nullptr || std::strchr(argv0, '/') == nullptr) return;
  std::error_code failed;
  std::string started = std::filesystem::absolute(argv0, failed).lexically_normal().string();
  if (!failed && SameFile(started, running)) Remembered() = started;
}

void RememberOwnArguments(int argc, const char* const* argv) {
  if (argc > 1) RememberedArguments().assign(argv + 1, argv + argc);
}

std::string OwnExecutable() { return Remembered().empty() ? RunningExecutable() : Remembered(); }

void LaunchOwnExecutableDetached(
    std::optional<std::chrono::steady_clock::time_point> lastErrorRestart) {
  std::string path = OwnExecutable();
  int error = 0;
  pid_t started = LaunchDetached(path, MarkedEnvironment(lastErrorRestart), error);
  if (started < 0) {
    WriteFailureLine("Cannot start " + path + " again: " + std::strerror(error));
    return;
  }
  HandOverServiceTo(started);
}

bool TakeRestartMark() {
  const bool marked = std::getenv(kRestartMark) != nullptr;
  ::unsetenv(kRestartMark);
  return marked;
}

std::optional<std::chrono::steady_clock::time_point> TakeLastErrorRestart() {
  const char* value = std::getenv(kErrorRestartMark);
  std::optional<std::chrono::steady_clock::time_point> last;
  if (value != nullptr && *value != '\0') {
    char* end = nullptr;
    long long count = std::strtoll(value, &end, 10);
    auto now = std::chrono::steady_clock::now();
    using Duration = std::chrono::steady_clock::duration;
    if (*end == '\0') last = std::min(now, std::chrono::steady_clock::time_point(Duration(count)));
  }
  ::unsetenv(kErrorRestartMark);
  return last;
}
