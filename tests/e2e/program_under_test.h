// Runs the real datacontroller binary for end-to-end tests: in a fresh
// temporary working directory, offscreen, on the fixed ports 10079 and 69
// (so such tests are registered with LOCK and run one at a time). The
// destructor ends every instance still running in that directory (a restart
// leaves a new process behind) and removes the directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class ProgramUnderTest {
 public:
  static constexpr int kUnitPort = 10079;
  static constexpr int kFileTransferPort = 69;

  // withLogDir: create log/ in the working directory before the start.
  explicit ProgramUnderTest(bool withLogDir = true);
  ~ProgramUnderTest();
  ProgramUnderTest(const ProgramUnderTest&) = delete;
  ProgramUnderTest& operator=(const ProgramUnderTest&) = delete;

  // Sets a variable in the environment of instances started from now on
  // (a restarted instance inherits it).
  void SetEnvironment(const std::string& name, const std::string& value);
  // Starts instances from now on from path (absolute) instead of the build's binary.
  void SetBinary(const std::string& path) { binary_ = path; }
  // The arguments of instances started from now on (a restart passes them on itself).
  void SetArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
  void Start();
  // The exit status of the first instance once it has ended, or -1 after wait.
  int WaitForExit(std::chrono::milliseconds wait = std::chrono::seconds(10));
  // True once a TCP connection to the unit port is accepted.
  bool WaitForUnitPort(std::chrono::milliseconds wait = std::chrono::seconds(10)) const;
  // True once UDP port 69 is bound by someone.
  static bool FileTransferPortBound();
  bool WaitForFileTransferPort(std::chrono::milliseconds wait = std::chrono::seconds(10)) const;
  static bool UnitPortListening();

  // Every datacontroller process whose working directory is ours.
  std::vector<pid_t> RunningInstances() const;
  // Waits until exactly one instance runs and it is not `earlier` (a restart
  // has ended the old instance); returns its process id, or -1 after wait.
  pid_t WaitForSoleSuccessor(pid_t earlier,
                             std::chrono::milliseconds wait = std::chrono::seconds(20)) const;
  pid_t FirstPid() const { return pid_; }
  // Ends every running instance (SIGTERM, then SIGKILL).
  void StopAll();

  const std::string& WorkDir() const { return workDir_; }
  // A directory of the test's own beside the working directory (removed with it).
  const std::string& Root() const { return root_; }
  std::string Path(const std::string& relative) const { return workDir_ + "/" + relative; }
  // What the program wrote to standard error (every failure report lands there).
  std::string StandardError() const;

 private:
  std::string root_;
  std::string binary_ = DC_BINARY_PATH;
  std::string workDir_;
  std::vector<std::pair<std::string, std::string>> environment_;
  std::vector<std::string> arguments_;
  pid_t pid_ = -1;
};

// Small file helpers for the tests.
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& content);
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds wait);
