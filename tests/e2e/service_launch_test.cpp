// The real program as a service manager and an upgrade see it: the command
// line, the readiness and main-process messages on a notification socket of
// the test's own, and the restart after its file was replaced or removed.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <vector>

#include "program_under_test.h"
#include "unit_connection.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The datagram socket a service manager listens on (NOTIFY_SOCKET).
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      ADD_FAILURE() << "bind " << path;
  }
  ~NotifySocket() { ::close(fd_); }
  const std::string& Path() const { return path_; }

  // The next message, read within wait; descriptors sent along are dropped.
  std::optional<std::string> Next(std::chrono::milliseconds wait = 15s) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
    char buffer[4096];
    ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(got));
  }
  // True once a message equal to wanted was read (now or before); false when
  // none comes within 15 s.
  bool WaitFor(const std::string& wanted) {
    if (std::find(heard_.begin(), heard_.end(), wanted) != heard_.end()) return true;
    auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
      std::optional<std::string> message = Next(1s);
      if (message) heard_.push_back(*message);
      if (message == wanted) return true;
    }
    return false;
  }
  const std::vector<std::string>& Heard() const { return heard_; }

 private:
  std::string path_;
  int fd_ = -1;
  std::vector<std::string> heard_;
};

struct Finished {
  int status = -1;
  std::string output;
};

// "dev:inode" of a descriptor, as JOURNAL_STREAM names the journal's stream.
std::string StreamId(int fd) {
  struct stat info {};
  ::fstat(fd, &info);
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

// Runs the program with args to its end (killed after 10 s), without display
// or platform; with a directory, in it, offscreen, with the environment
// added and standard error captured too (as the journal's stream: journal).
Finished RunToEnd(const std::vector<std::string>& args, const std::string& directory = {},
                  const std::vector<std::string>& environment = {}, bool journal = false) {
  int out[2];
  if (::pipe(out) != 0) return {};
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("QT_QPA_PLATFORM");
    if (!directory.empty()) {
      if (::chdir(directory.c_str()) != 0) _exit(126);
      ::dup2(out[1], 2);
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    for (const std::string& variable : environment) ::putenv(const_cast<char*>(variable.c_str()));
    if (journal) ::setenv("JOURNAL_STREAM", StreamId(2).c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(DC_BINARY_PATH)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::alarm(10);
    ::execv(DC_BINARY_PATH, argv.data());
    _exit(127);
  }
  ::close(out[1]);
  Finished finished;
  char buffer[4096];
  for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;)
    finished.output.append(buffer, got);
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  finished.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return finished;
}

class ServiceLaunchTest : public ::testing::Test {
 protected:
  void StartProgram() {
    program_.Start();
    ASSERT_TRUE(program_.WaitForUnitPort()) << program_.StandardError();
    ASSERT_TRUE(program_.WaitForFileTransferPort()) << program_.StandardError();
  }
  // A connection reset by its unit: an error on a client connection, which restarts the program.
  void ResetOneConnection() {
    UnitConnection broken("127.0.0.1", ProgramUnderTest::kUnitPort);
    broken.Register("SU9");
    broken.SendText("DU_CHECK");
    ASSERT_EQ(broken.NextText(5s), "CHECK");
    broken.ResetOnClose();
  }
  // Runs this test's own copy of the program, which it may replace or remove.
  std::string UseCopyOfProgram() {
    fs::create_directory(program_.Root() + "/bin");
    std::string copy = program_.Root() + "/bin/datacontroller";
    fs::copy_file(DC_BINARY_PATH, copy);
    program_.SetBinary(copy);
    return copy;
  }
  pid_t NewInstance(pid_t first) { return program_.WaitForSoleSuccessor(first, 15s); }
  void TearDown() override { program_.StopAll(); }

  ProgramUnderTest program_;
};

TEST(CommandLineTest, HelpAndVersionAnswerWithoutDisplayAndOtherArgumentsAreRefused) {
  Finished version = RunToEnd({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output, std::string("datacontroller ") + DC_VERSION + "\n");
  Finished help = RunToEnd({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.output.rfind("Usage: datacontroller [OPTION]...\n", 0), 0u) << help.output;
  Finished unknown = RunToEnd({"-platform", "offscreen", "--port=1"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(RunToEnd({"--http", "10080"}).status, 2);
  EXPECT_FALSE(ProgramUnderTest::UnitPortListening());
}

TEST_F(ServiceLaunchTest, ServiceManagerHearsReadinessAndTheRestartedInstanceAsMainProcess) {
  NotifySocket manager(program_.Root() + "/notify");
  program_.SetEnvironment("NOTIFY_SOCKET", manager.Path());
  StartProgram();
  pid_t first = program_.FirstPid();
  ASSERT_TRUE(manager.WaitFor("READY=1\nMAINPID=" + std::to_string(first)));
  ResetOneConnection();
  // The ending instance hands over to the new one and waits until that was
  // read (the barrier); the new one announces itself once it serves.
  std::optional<std::string> handOver = manager.Next();
  while (handOver && handOver->rfind("STATUS=", 0) == 0) handOver = manager.Next();
  ASSERT_TRUE(handOver && handOver->rfind("MAINPID=", 0) == 0) << handOver.value_or("nothing");
  pid_t second = std::stoi(handOver->substr(8));
  EXPECT_TRUE(manager.WaitFor("BARRIER=1"));
  EXPECT_TRUE(manager.WaitFor("READY=1\nMAINPID=" + std::to_string(second)));
  EXPECT_EQ(NewInstance(first), second) << program_.StandardError();
  const std::string said = program_.StandardError();  // one line: the restart and its cause
  const std::string line =
      " datacontroller: Restarting: the connection of unit SU9 reported error ";
  EXPECT_NE(said.find(line), std::string::npos) << said;
  EXPECT_EQ(said.find(" datacontroller: "), said.rfind(" datacontroller: ")) << said;
  EXPECT_TRUE(program_.WaitForUnitPort());
  EXPECT_TRUE(program_.WaitForFileTransferPort());
}

// Under a service manager an instance that cannot open its ports ends at
// once and says why; the journal gets bare lines and no Qt warnings.
TEST_F(ServiceLaunchTest, BusyPortUnderAServiceManagerEndsTheInstanceAndNamesThePort) {
  NotifySocket manager(program_.Root() + "/notify");
  int taken = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(ProgramUnderTest::kFileTransferPort);
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  Finished run = RunToEnd({}, program_.WorkDir(), {"NOTIFY_SOCKET=" + manager.Path()}, true);
  ::close(taken);
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(
      ("\n" + run.output).find("\n<3>Cannot serve, ending: UDP port 69: Could not bind socket."),
      std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find("propagateSizeHints"), std::string::npos) << run.output;
  for (std::optional<std::string> message; (message = manager.Next(100ms));)
    EXPECT_EQ(message->find("READY=1"), std::string::npos);
}

// The tree belongs to the instance running in it: one started by hand
// beside it ends at once, and its start-up sweep never runs.
TEST_F(ServiceLaunchTest, ASecondInstanceInTheSameTreeEndsWithoutTouchingIt) {
  program_.SetEnvironment("LC_ALL", "C");
  StartProgram();
  fs::create_directories(program_.Path("log/SU1"));
  const std::string records = "1/1/01 old\r\n1/2/01 last\r\n";  // a sweep keeps the last only
  WriteWholeFile(program_.Path("log/SU1/T1.dat"), records);
  Finished second = RunToEnd({}, program_.WorkDir(), {"LC_ALL=C"});
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.output.find("Another instance of the data unit is running in"),
            std::string::npos)
      << second.output;
  EXPECT_EQ(ReadWholeFile(program_.Path("log/SU1/T1.dat")), records);
  EXPECT_EQ(program_.RunningInstances(), std::vector<pid_t>{program_.FirstPid()});
  EXPECT_TRUE(ProgramUnderTest::UnitPortListening());
  ::kill(program_.FirstPid(), SIGINT);  // Ctrl-C at a terminal: the ordered ending
  EXPECT_EQ(program_.WaitForExit(), 0) << "ended by the signal, not by the ordered ending";
}

// A package upgrade replaces the file by rename: the running instance's own
// file is then a deleted one, and the restart must start the new file.
TEST_F(ServiceLaunchTest, RestartAfterTheFileWasReplacedByRenameRunsTheNewFile) {
  std::string binary = UseCopyOfProgram();
  StartProgram();
  pid_t first = program_.FirstPid();
  fs::copy_file(DC_BINARY_PATH, binary + ".new");
  fs::rename(binary + ".new", binary);
  ResetOneConnection();
  pid_t second = NewInstance(first);
  ASSERT_GT(second, 0) << program_.StandardError();
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(second) + "/exe"), fs::canonical(binary));
  EXPECT_TRUE(program_.WaitForUnitPort());
  EXPECT_TRUE(program_.WaitForFileTransferPort());
}

TEST_F(ServiceLaunchTest, RestartWhoseFileIsGoneSaysSoOnStandardError) {
  std::string binary = UseCopyOfProgram();
  StartProgram();
  fs::remove(binary);
  ResetOneConnection();
  std::string expected = "Cannot start " + binary + " again: No such file or directory";
  EXPECT_TRUE(
      WaitUntil([&] { return program_.StandardError().find(expected) != std::string::npos; }, 15s))
      << program_.StandardError();
  EXPECT_TRUE(WaitUntil([&] { return program_.RunningInstances().empty(); }, 15s));
}

}  // namespace
