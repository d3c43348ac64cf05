// Real TFTP clients (curl, tftp-hpa's tftp, atftp) against the server on a
// free port: every file size that matters, both directions, byte-identical.
#include <gtest/gtest.h>

#include "tftp/session_budget.h"
#include "tftp_test_support.h"

namespace tftp_test {
namespace {

const std::vector<size_t> kSizes = {0, 511, 512, 513, 3 * 1024 * 1024 + 77};

class ClientTest : public ::testing::Test {
 protected:
  std::string Url(const std::string& name) const {
    return "tftp://127.0.0.1:" + std::to_string(server_.Port()) + "/" + name;
  }
  std::string Port() const { return std::to_string(server_.Port()); }
  // Runs a client command; the sessions are awaited so files are complete.
  void Run(const std::string& command) {
    EXPECT_EQ(Shell("timeout 60 " + command + " >/dev/null 2>&1"), 0) << command;
    EXPECT_TRUE(AwaitSessionsEnded());
  }
  // Reads log/<name> through command(remote, local) and compares.
  template <typename Command>
  void CheckReads(const std::string& tag, Command command) {
    for (size_t size : kSizes) {
      const std::string name = "log/" + tag + std::to_string(size);
      const std::string content = SampleBytes(size, static_cast<unsigned>(size));
      WriteFile(tree_.At(name), content);
      const std::string local = local_.At(tag + std::to_string(size));
      Run(command(name, local));
      EXPECT_EQ(ReadFile(local), content) << tag << " read of " << size << " bytes";
    }
  }
  template <typename Command>
  void CheckWrites(const std::string& tag, Command command) {
    for (size_t size : kSizes) {
      const std::string name = "config/" + tag + std::to_string(size);
      const std::string content = SampleBytes(size, static_cast<unsigned>(size) + 9);
      const std::string local = local_.At(tag + std::to_string(size));
      WriteFile(local, content);
      Run(command(name, local));
      EXPECT_EQ(ReadFile(tree_.At(name)), content) << tag << " write of " << size << " bytes";
    }
  }

  TempTree tree_;
  TempTree local_;
  RunningServer server_{tree_, 300};
};

// Larger block sizes with curl: see the windowed client tests.
TEST_F(ClientTest, CurlReadsAndWritesAtTheDefaultBlockSize) {
  CheckReads("curlr", [&](const std::string& name, const std::string& local) {
    return "curl -sS -o " + local + " " + Url(name);
  });
  CheckWrites("curlw", [&](const std::string& name, const std::string& local) {
    return "curl -sS -T " + local + " " + Url(name);
  });
}

TEST_F(ClientTest, TftpHpaReadsAndWrites) {
  CheckReads("hpar", [&](const std::string& name, const std::string& local) {
    return "tftp -m binary 127.0.0.1 " + Port() + " -c get " + name + " " + local;
  });
  CheckWrites("hpaw", [&](const std::string& name, const std::string& local) {
    return "tftp -m binary 127.0.0.1 " + Port() + " -c put " + local + " " + name;
  });
}

TEST_F(ClientTest, AtftpReadsAndWritesWithAndWithoutBlockSize) {
  for (std::string blksize : {"", "1024", "9000"}) {
    const std::string option = blksize.empty() ? "" : " --option 'blksize " + blksize + "'";
    CheckReads("at" + blksize + "r", [&](const std::string& name, const std::string& local) {
      return "atftp" + option + " -g -r " + name + " -l " + local + " 127.0.0.1 " + Port();
    });
    CheckWrites("at" + blksize + "w", [&](const std::string& name, const std::string& local) {
      return "atftp" + option + " -p -r " + name + " -l " + local + " 127.0.0.1 " + Port();
    });
  }
}

TEST_F(ClientTest, TwentyParallelCurlReadsAndWritesAreByteIdentical) {
  std::string script;
  for (int i = 0; i < 20; ++i) {
    const std::string n = std::to_string(i);
    WriteFile(tree_.At("log/p" + n), SampleBytes(600000 + i, 40 + i));
    WriteFile(local_.At("up" + n), SampleBytes(300000 + i, 80 + i));
    script += "curl -sS -o " + local_.At("p" + n) + " " + Url("log/p" + n) + " & ";
    script += "curl -sS --tftp-blksize 1428 -T " + local_.At("up" + n) + " " +
              Url("alarms/up" + n) + " & ";
  }
  Run("bash -c '" + script + "wait'");
  for (int i = 0; i < 20; ++i) {
    const std::string n = std::to_string(i);
    EXPECT_EQ(ReadFile(local_.At("p" + n)), SampleBytes(600000 + i, 40 + i)) << i;
    EXPECT_EQ(ReadFile(tree_.At("alarms/up" + n)), SampleBytes(300000 + i, 80 + i)) << i;
  }
}

TEST_F(ClientTest, CurlIsRefusedOutsideTheDataTree) {
  WriteFile(tree_.At("outside.txt"), "no");
  EXPECT_NE(
      Shell("timeout 30 curl -sS -o " + local_.At("o") + " " + Url("outside.txt") + " 2>/dev/null"),
      0);
  EXPECT_NE(Shell("timeout 30 curl -sS -T " + tree_.At("outside.txt") + " " + Url("x.txt") +
                  " 2>/dev/null"),
            0);
  EXPECT_FALSE(FileExists(tree_.At("x.txt")));
  EXPECT_TRUE(AwaitSessionsEnded());
}

}  // namespace
}  // namespace tftp_test
