#include "base/confined_open.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <string>
#include <vector>

#include "base/file_descriptor.h"
#include "base/retry_on_interrupt.h"

namespace {

constexpr int kMaxLinks = 40;  // as the kernel's own limit
std::atomic<bool> kernelLacksOpenat2 = false;

void AppendComponents(std::string_view path, std::deque<std::string>& into, bool atFront) {
  std::vector<std::string> parts;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    std::string_view part = path.substr(begin, i - begin);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    begin = i + 1;
  }
  if (atFront)
    into.insert(into.begin(), parts.begin(), parts.end());
  else
    into.insert(into.end(), parts.begin(), parts.end());
}

int Fail(int error) {
  errno = error;
  return -1;
}

std::string CurrentPathOf(int fd) {
  char buffer[4096];
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer);
  return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

// The part of an absolute link target below where beneath is now, or false.
bool RelativeToBeneath(int beneath, std::string_view target, std::string& rest) {
  std::string base = CurrentPathOf(beneath);
  if (base.empty() || target.compare(0, base.size(), base) != 0) return false;
  if (target.size() > base.size() && target[base.size()] != '/' && base != "/") return false;
  rest = std::string(target.substr(base.size()));
  return true;
}

// Follows the link name in directory at into the components still to walk.
bool ExpandLink(int at, const std::string& name, int beneath, std::deque<std::string>& todo,
                std::vector<FileDescriptor>& walked, int& links) {
  if (++links > kMaxLinks) return Fail(ELOOP), false;
  char buffer[4096];
  ssize_t length = ::readlinkat(at, name.c_str(), buffer, sizeof buffer);
  if (length < 0 && errno == EINVAL) {
    todo.push_front(name);  // no link any more (swapped back meanwhile): that step again
    return true;
  }
  if (length < 0) return false;
  std::string_view target(buffer, static_cast<std::size_t>(length));
  if (!target.empty() && target.front() == '/') {
    std::string rest;
    if (!RelativeToBeneath(beneath, target, rest)) return Fail(EXDEV), false;
    walked.clear();  // from beneath itself again
    AppendComponents(rest, todo, true);
    return true;
  }
  AppendComponents(target, todo, true);
  return true;
}

int Walk(int beneath, std::string_view path, int flags, mode_t mode) {
  std::deque<std::string> todo;
  AppendComponents(path, todo, false);
  std::vector<FileDescriptor> walked;  // the directories below beneath, deepest last
  int links = 0;
  auto current = [&] { return walked.empty() ? beneath : walked.back().Get(); };
  while (!todo.empty()) {
    std::string name = std::move(todo.front());
    todo.pop_front();
    bool last = todo.empty();
    if (name == "..") {
      if (walked.empty()) return Fail(EXDEV);
      walked.pop_back();
      if (last) return RetryOnInterrupt([&] { return ::openat(current(), ".", flags, mode); });
      continue;
    }
    int stepFlags = (last ? flags : O_PATH | O_CLOEXEC) | O_NOFOLLOW;
    FileDescriptor step(
        RetryOnInterrupt([&] { return ::openat(current(), name.c_str(), stepFlags, mode); }));
    struct stat info {};
    bool isLink = false;
    if (!step.Valid()) {
      // O_NOFOLLOW met a link (ELOOP, or ENOTDIR with O_DIRECTORY)?
      int error = errno;
      if (error != ELOOP && error != ENOTDIR) return -1;
      if (::fstatat(current(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISLNK(info.st_mode))
        return Fail(error);
      isLink = true;
    } else if (!last || (flags & O_PATH) != 0) {
      if (::fstat(step.Get(), &info) != 0) return -1;
      isLink = S_ISLNK(info.st_mode);
    }
    if (isLink) {
      if (!ExpandLink(current(), name, beneath, todo, walked, links)) return -1;
      if (todo.empty())
        return RetryOnInterrupt([&] { return ::openat(current(), ".", flags, mode); });
      continue;
    }
    if (last) return step.Release();
    if (!S_ISDIR(info.st_mode)) return Fail(ENOTDIR);
    walked.push_back(std::move(step));
  }
  return RetryOnInterrupt([&] { return ::openat(current(), ".", flags, mode); });
}

int Kernel(int beneath, std::string_view path, int flags, mode_t mode) {
  std::string name(path.empty() ? std::string_view(".") : path);
  open_how how{};
  how.flags = static_cast<__u64>(flags);
  how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0;; ++attempt) {
    int fd = static_cast<int>(RetryOnInterrupt(
        [&] { return ::syscall(SYS_openat2, beneath, name.c_str(), &how, sizeof how); }));
    // EAGAIN: a rename raced a ".." step; the kernel asks to try again.
    if (fd >= 0 || errno != EAGAIN || attempt == 8) return fd;
  }
}

}  // namespace

namespace confined_open {

int Open(int beneath, std::string_view path, int flags, mode_t mode, Method method) {
  if (path.find('\0') != std::string_view::npos) return Fail(EINVAL);
  flags |= O_CLOEXEC;
  if (method == Method::kKernel && !kernelLacksOpenat2) {
    int fd = Kernel(beneath, path, flags, mode);
    if (fd >= 0 || (errno != ENOSYS && errno != EXDEV)) return fd;
    if (errno == ENOSYS) kernelLacksOpenat2 = true;
    // EXDEV: an absolute link may still lead into beneath; the walk decides.
  }
  return Walk(beneath, path, flags, mode);
}

}  // namespace confined_open
