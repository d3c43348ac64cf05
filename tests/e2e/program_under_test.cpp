#include "program_under_test.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

std::string ReadLink(const std::string& path) {
  char target[PATH_MAX];
  ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  if (n < 0) return {};
  return std::string(target, static_cast<std::size_t>(n));
}

// The binary's resolved directory and name: an instance whose file was
// replaced since it started still names it (with " (deleted)" behind).
std::string RealBinary(const std::string& path) {
  std::filesystem::path binary(path);
  char resolved[PATH_MAX];
  if (::realpath(binary.parent_path().c_str(), resolved) == nullptr)
    throw std::runtime_error("no binary directory");
  return (std::filesystem::path(resolved) / binary.filename()).string();
}

bool ProcNetListsPort(const char* table, int port, const char* state) {
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, st;
    fields >> slot >> local >> remote >> st;
    std::size_t colon = local.find(':');
    if (colon == std::string::npos) continue;
    if (std::stoi(local.substr(colon + 1), nullptr, 16) == port &&
        (state == nullptr || st == state))
      return true;
  }
  return false;
}

}  // namespace

ProgramUnderTest::ProgramUnderTest(bool withLogDir) {
  char pattern[] = "/tmp/dc-e2e-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  workDir_ = root_ + "/work";
  std::filesystem::create_directory(workDir_);
  if (withLogDir) std::filesystem::create_directory(workDir_ + "/log");
}

ProgramUnderTest::~ProgramUnderTest() {
  StopAll();
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

void ProgramUnderTest::SetEnvironment(const std::string& name, const std::string& value) {
  environment_.emplace_back(name, value);
}

void ProgramUnderTest::Start() {
  // The ports are fixed: an instance of an earlier test (or another checkout's
  // run) may still hold them for a moment.
  WaitUntil([] { return !UnitPortListening() && !FileTransferPortBound(); },
            std::chrono::seconds(30));
  std::string binary = binary_;
  std::string errPath = root_ + "/stderr.txt";
  std::vector<char*> argv{binary.data()};
  for (std::string& argument : arguments_) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (::chdir(workDir_.c_str()) != 0) _exit(127);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (err >= 0) ::dup2(err, 2);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    for (const auto& [name, value] : environment_) ::setenv(name.c_str(), value.c_str(), 1);
    ::execv(binary.c_str(), argv.data());
    _exit(127);
  }
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds wait) {
  auto deadline = std::chrono::steady_clock::now() + wait;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool ProgramUnderTest::UnitPortListening() {
  return ProcNetListsPort("/proc/net/tcp", kUnitPort, "0A");
}

bool ProgramUnderTest::WaitForUnitPort(std::chrono::milliseconds wait) const {
  // Only looks: a probing connection that closed with the slot offer unread
  // would be reset, and a reset connection restarts the program.
  return WaitUntil([] { return UnitPortListening(); }, wait);
}

bool ProgramUnderTest::FileTransferPortBound() {
  return ProcNetListsPort("/proc/net/udp", kFileTransferPort, nullptr);
}

bool ProgramUnderTest::WaitForFileTransferPort(std::chrono::milliseconds wait) const {
  return WaitUntil([] { return FileTransferPortBound(); }, wait);
}

pid_t ProgramUnderTest::WaitForSoleSuccessor(pid_t earlier, std::chrono::milliseconds wait) const {
  pid_t found = -1;
  WaitUntil(
      [&] {
        std::vector<pid_t> running = RunningInstances();
        found = running.size() == 1 && running[0] != earlier ? running[0] : -1;
        return found > 0;
      },
      wait);
  return found;
}

std::vector<pid_t> ProgramUnderTest::RunningInstances() const {
  // Reap our own child if it has ended, so it does not linger as a zombie.
  if (pid_ > 0) ::waitpid(pid_, nullptr, WNOHANG);
  std::vector<pid_t> found;
  std::string binary = RealBinary(binary_);
  std::string workReal = std::filesystem::canonical(workDir_).string();
  DIR* proc = ::opendir("/proc");
  while (dirent* entry = proc ? ::readdir(proc) : nullptr) {
    pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::string base = std::string("/proc/") + entry->d_name;
    std::string exe = ReadLink(base + "/exe");
    if (exe.rfind(binary, 0) != 0 || ReadLink(base + "/cwd") != workReal) continue;
    std::ifstream stat(base + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::size_t close = text.rfind(')');
    if (close != std::string::npos && text.size() > close + 2 && text[close + 2] == 'Z') continue;
    found.push_back(pid);
  }
  if (proc) ::closedir(proc);
  return found;
}

void ProgramUnderTest::StopAll() {
  for (int round = 0; round < 2; ++round) {
    for (pid_t pid : RunningInstances()) ::kill(pid, round == 0 ? SIGTERM : SIGKILL);
    WaitUntil([this] { return RunningInstances().empty(); }, std::chrono::seconds(3));
  }
  if (pid_ > 0) ::waitpid(pid_, nullptr, WNOHANG);
  // A process that is ending may still hold its sockets for a moment; the
  // next test must find both ports free.
  WaitUntil([] { return !UnitPortListening() && !FileTransferPortBound(); },
            std::chrono::seconds(5));
}

std::string ProgramUnderTest::StandardError() const { return ReadWholeFile(root_ + "/stderr.txt"); }

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

void WriteWholeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}
