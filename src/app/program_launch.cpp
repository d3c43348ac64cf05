#include "app/program_launch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "app/service_notice.h"
#include "base/failure_report.h"
#include "base/retry_on_interrupt.h"

namespace {

std::string& Remembered() {
  static std::string path;
  return path;
}

std::vector<std::string>& RestartArguments() {
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
[[noreturn]] void ExecDetached(char* const* argv, int news) {
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
  ::execv(argv[0], argv);
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

// The pipe's write end closes on a successful exec; an error comes before.
pid_t LaunchDetached(const std::string& path, int& error) {
  std::vector<std::string> words{path};
  words.insert(words.end(), RestartArguments().begin(), RestartArguments().end());
  std::vector<char*> argv;  // made before the fork: the child may not allocate
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int news[2];
  if (::pipe2(news, O_CLOEXEC) != 0) {
    error = errno;
    return -1;
  }
  pid_t child = ::fork();
  if (child == 0) {
    ::close(news[0]);
    ExecDetached(argv.data(), news[1]);
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

void RememberRestartArguments(std::vector<std::string> arguments) {
  RestartArguments() = std::move(arguments);
}

std::string OwnExecutable() { return Remembered().empty() ? RunningExecutable() : Remembered(); }

void LaunchOwnExecutableDetached() {
  std::string path = OwnExecutable();
  int error = 0;
  pid_t started = LaunchDetached(path, error);
  if (started < 0) {
    WriteFailureLine("Cannot start " + path + " again: " + std::strerror(error));
    return;
  }
  HandOverServiceTo(started);
}
