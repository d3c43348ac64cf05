#include "curl_client.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

std::string Url(const std::string& remoteName) { return "tftp://127.0.0.1/" + remoteName; }

// Everything is prepared before the fork: the callers may run threads, and
// the child must not allocate.
pid_t StartCurl(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
  }
  ::execvp("curl", argv.data());
  _exit(127);
}

std::vector<std::string> CommonArguments(int blockSize) {
  std::vector<std::string> arguments{"curl", "-s", "--max-time", "60"};
  if (blockSize != 512)
    arguments.insert(arguments.end(), {"--tftp-blksize", std::to_string(blockSize)});
  return arguments;
}

}  // namespace

int WaitForExit(pid_t pid) {
  if (pid < 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t StartFetchByTftp(const std::string& remoteName, const std::string& localFile, int blockSize) {
  std::vector<std::string> arguments = CommonArguments(blockSize);
  arguments.insert(arguments.end(), {"-o", localFile, Url(remoteName)});
  return StartCurl(std::move(arguments));
}

int FetchByTftp(const std::string& remoteName, const std::string& localFile, int blockSize) {
  return WaitForExit(StartFetchByTftp(remoteName, localFile, blockSize));
}

int StoreByTftp(const std::string& localFile, const std::string& remoteName, int blockSize) {
  std::vector<std::string> arguments = CommonArguments(blockSize);
  arguments.insert(arguments.end(), {"-T", localFile, Url(remoteName)});
  return WaitForExit(StartCurl(std::move(arguments)));
}
