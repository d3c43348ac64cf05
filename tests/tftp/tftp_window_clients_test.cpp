// Real clients with the options beyond the block size: atftp asking for
// windows of 1 to 64 blocks at block sizes 512 to 65464, and curl, which
// asks for the transfer size, block size and timeout on every transfer.
#include <gtest/gtest.h>

#include "tftp_test_support.h"

namespace tftp_test {
namespace {

struct WindowCase {
  int Window;
  int BlockSize;
};

class WindowClientTest : public ::testing::Test {
 protected:
  std::string Port() const { return std::to_string(server_.Port()); }
  void Run(const std::string& command) {
    EXPECT_EQ(Shell("timeout 60 " + command + " >/dev/null 2>&1"), 0) << command;
    EXPECT_TRUE(AwaitSessionsEnded());
  }
  static std::string Atftp(const WindowCase& c, const std::string& direction,
                           const std::string& remote, const std::string& local,
                           const std::string& port) {
    return "atftp --option 'windowsize " + std::to_string(c.Window) + "' --option 'blksize " +
           std::to_string(c.BlockSize) + "' " + direction + " -r " + remote + " -l " + local +
           " 127.0.0.1 " + port;
  }
  // One size that ends exactly on a window boundary (so with an empty last
  // block) and one that ends inside a window.
  static std::vector<size_t> SizesFor(const WindowCase& c) {
    const size_t window = static_cast<size_t>(c.Window) * static_cast<size_t>(c.BlockSize);
    return {window * (c.Window == 64 && c.BlockSize > 8192 ? 1 : 3), 1024 * 1024 + 77};
  }

  TempTree tree_;
  TempTree local_;
  RunningServer server_{tree_, 300};
};

const std::vector<WindowCase> kCases = {
    {1, 512}, {4, 1428}, {16, 8192}, {64, 65464}, {64, 512}, {4, 65464}, {16, 1428},
};

TEST_F(WindowClientTest, AtftpReadsAreByteIdenticalForEveryWindowAndBlockSize) {
  for (const WindowCase& c : kCases) {
    for (size_t size : SizesFor(c)) {
      const std::string tag =
          std::to_string(c.Window) + "_" + std::to_string(c.BlockSize) + "_" + std::to_string(size);
      const std::string content = SampleBytes(size, static_cast<unsigned>(size + c.Window));
      WriteFile(tree_.At("log/r" + tag), content);
      Run(Atftp(c, "-g", "log/r" + tag, local_.At("r" + tag), Port()));
      EXPECT_EQ(ReadFile(local_.At("r" + tag)), content) << "read " << tag;
    }
  }
}

TEST_F(WindowClientTest, AtftpWritesAreByteIdenticalForEveryWindowAndBlockSize) {
  for (const WindowCase& c : kCases) {
    for (size_t size : SizesFor(c)) {
      const std::string tag =
          std::to_string(c.Window) + "_" + std::to_string(c.BlockSize) + "_" + std::to_string(size);
      const std::string content = SampleBytes(size, static_cast<unsigned>(size + 3 * c.Window));
      WriteFile(local_.At("w" + tag), content);
      Run(Atftp(c, "-p", "config/w" + tag, local_.At("w" + tag), Port()));
      EXPECT_EQ(ReadFile(tree_.At("config/w" + tag)), content) << "write " << tag;
    }
  }
}

// curl sends tsize, blksize and timeout on every request and checks the
// acknowledged size against what arrives.
TEST_F(WindowClientTest, CurlWithTransferSizeAndTimeoutMovesEveryBlockSize) {
  for (int blockSize : {512, 1428, 65464}) {
    for (size_t size : {size_t{1}, size_t{65464}, size_t{2 * 1024 * 1024 + 5}}) {
      const std::string tag = std::to_string(blockSize) + "_" + std::to_string(size);
      const std::string content = SampleBytes(size, static_cast<unsigned>(size + blockSize));
      const std::string url = "tftp://127.0.0.1:" + Port() + "/";
      const std::string option = " --tftp-blksize " + std::to_string(blockSize);
      WriteFile(tree_.At("log/c" + tag), content);
      Run("curl -sS" + option + " -o " + local_.At("c" + tag) + " " + url + "log/c" + tag);
      EXPECT_EQ(ReadFile(local_.At("c" + tag)), content) << "curl read " << tag;
      Run("curl -sS" + option + " -T " + local_.At("c" + tag) + " " + url + "alarms/c" + tag);
      EXPECT_EQ(ReadFile(tree_.At("alarms/c" + tag)), content) << "curl write " << tag;
    }
  }
}

}  // namespace
}  // namespace tftp_test
