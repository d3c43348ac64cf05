// The real program under the operator's options: where it listens, whom it
// serves, how long it keeps records, and what a bad option leaves alone.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>

#include "program_under_test.h"
#include "unit_connection.h"

using namespace std::chrono_literals;

namespace {

sockaddr_in At(const char* address, int port) {
  sockaddr_in at{AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
  ::inet_pton(AF_INET, address, &at.sin_addr);
  return at;
}

// A socket of the given type bound to from; the caller closes it.
int SocketFrom(int type, const char* from) {
  int fd = ::socket(AF_INET, type, 0);
  sockaddr_in local = At(from, 0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  return fd;
}

// The first bytes a unit connecting from `from` gets ("" when it is closed or refused).
std::string FirstBytesOfUnitLink(const char* from, const char* to) {
  int fd = SocketFrom(SOCK_STREAM, from);
  sockaddr_in server = At(to, ProgramUnderTest::kUnitPort);
  char bytes[64] = {};
  pollfd ready{fd, POLLIN, 0};
  if (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0 &&
      ::poll(&ready, 1, 3000) == 1)
    ::recv(fd, bytes, sizeof bytes - 1, 0);
  ::close(fd);
  return bytes;
}

// The reply to a read request for log/a.txt sent from `from` to `to`, and
// the address it came from; "" when none comes.
std::string FileTransferReply(const char* from, const char* to, std::string* replier = nullptr) {
  int fd = SocketFrom(SOCK_DGRAM, from);
  sockaddr_in server = At(to, ProgramUnderTest::kFileTransferPort);
  std::string request("\0\1log/a.txt\0octet\0", 18);
  ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&server),
           sizeof server);
  char reply[600];
  sockaddr_in source{};
  socklen_t size = sizeof source;
  pollfd ready{fd, POLLIN, 0};
  ssize_t got =
      ::poll(&ready, 1, 3000) == 1
          ? ::recvfrom(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&source), &size)
          : -1;
  ::close(fd);
  if (replier != nullptr) *replier = inet_ntoa(source.sin_addr);
  return got > 0 ? std::string(reply, static_cast<std::size_t>(got)) : std::string();
}

// The first bytes of the web view's answer to GET /healthz from `from` ("" when closed).
std::string WebAnswer(const char* from, const char* to = "127.0.0.1") {
  int fd = SocketFrom(SOCK_STREAM, from);
  sockaddr_in server = At(to, 10078);
  char bytes[16] = {};
  pollfd ready{fd, POLLIN, 0};
  if (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0 &&
      ::send(fd, "GET /healthz HTTP/1.0\r\n\r\n", 26, MSG_NOSIGNAL) == 26 &&
      ::poll(&ready, 1, 3000) == 1)
    ::recv(fd, bytes, sizeof bytes - 1, 0);
  ::close(fd);
  return bytes;
}

// Moves this test and the programs it starts into a network of their own:
// loopback, and dc0 (one end of a veth pair) with 10.200.0.1/24.
bool OwnNetworkWithAnInterface() {
  return ::unshare(CLONE_NEWNET) == 0 &&
         std::system(
             "ip link set lo up && ip link add dc0 type veth peer name dc1 && "
             "ip link set dc1 up && ip link set dc0 up && "
             "ip addr add 10.200.0.1/24 brd + dev dc0") == 0;
}

// A record line dated `daysAgo` days before today, in the German short date format.
std::string RecordLine(int daysAgo, const std::string& value) {
  std::time_t now = std::time(nullptr);
  std::tm day{};
  localtime_r(&now, &day);
  day.tm_mday -= daysAgo;
  day.tm_hour = 12;
  std::mktime(&day);
  char text[16];
  std::strftime(text, sizeof text, "%d.%m.%Y", &day);
  return std::string(text) + " " + value + "\r\n";
}

const std::string kData = std::string("\0\3\0\1", 4) + "abc";

class OperatorOptionsTest : public ::testing::Test {
 protected:
  void StartWith(std::vector<std::string> arguments) {
    WriteWholeFile(program_.Path("log/a.txt"), "abc");
    program_.SetArguments(std::move(arguments));
    program_.Start();
    ASSERT_TRUE(program_.WaitForUnitPort()) << program_.StandardError();
    ASSERT_TRUE(program_.WaitForFileTransferPort()) << program_.StandardError();
  }
  void TearDown() override { program_.StopAll(); }
  ProgramUnderTest program_;
};

// Each list guards its own ports: --allow the units' ports, --http-allow the web view.
TEST_F(OperatorOptionsTest, SenderOutsideTheAllowedNetworkGetsNothingAndRestartsNothing) {
  // Both networks of --allow are served.
  StartWith({"--allow", "127.0.0.1/32", "--allow=127.0.0.3", "--http-allow", "127.0.0.2"});
  EXPECT_EQ(WebAnswer("127.0.0.1"), "");
  EXPECT_EQ(WebAnswer("127.0.0.2"), "HTTP/1.1 200 OK");
  EXPECT_EQ(FirstBytesOfUnitLink("127.0.0.2", "127.0.0.1"), "");
  EXPECT_EQ(FileTransferReply("127.0.0.2", "127.0.0.1"), "");
  EXPECT_EQ(FileTransferReply("127.0.0.3", "127.0.0.1"), kData);
  UnitConnection allowed("127.0.0.1", ProgramUnderTest::kUnitPort);
  allowed.Register("SU1");
  allowed.SendText("DU_CHECK");
  EXPECT_EQ(allowed.NextText(5s), "CHECK");
  EXPECT_EQ(FileTransferReply("127.0.0.1", "127.0.0.1"), kData);
  EXPECT_EQ(program_.RunningInstances(), std::vector<pid_t>{program_.FirstPid()});
  std::string err = program_.StandardError();
  EXPECT_NE(err.find("Refused 127.0.0.2 on the unit link"), std::string::npos) << err;
  EXPECT_NE(err.find("Refused 127.0.0.1 on the web view"), std::string::npos) << err;
  EXPECT_EQ(err.find("Refused 127.0.0.2", err.find("Refused 127.0.0.2") + 1), std::string::npos)
      << "reported more than once a minute: " << err;
}

TEST_F(OperatorOptionsTest, ListenAddressLeavesOthersUnansweredAlsoAfterARestart) {
  StartWith({"--listen", "127.0.0.2", "--http", "off"});
  for (int instance = 0; instance < 2; ++instance) {
    int web = SocketFrom(SOCK_STREAM, "127.0.0.1");
    sockaddr_in view = At("127.0.0.1", 10078);
    EXPECT_NE(::connect(web, reinterpret_cast<sockaddr*>(&view), sizeof view), 0) << "--http off";
    ::close(web);
    EXPECT_EQ(FirstBytesOfUnitLink("127.0.0.1", "127.0.0.1"), "");
    EXPECT_EQ(FileTransferReply("127.0.0.1", "127.0.0.1"), "");
    std::string replier;
    EXPECT_EQ(FileTransferReply("127.0.0.1", "127.0.0.2", &replier), kData);
    EXPECT_EQ(replier, "127.0.0.2");
    auto unit = std::make_unique<UnitConnection>("127.0.0.2", ProgramUnderTest::kUnitPort);
    unit->Register("SU1");
    unit->SendText("DU_CHECK");
    ASSERT_EQ(unit->NextText(5s), "CHECK");
    if (instance == 1) break;
    unit->ResetOnClose();
    unit.reset();  // an error on a unit's connection: the program restarts
    ASSERT_GT(program_.WaitForSoleSuccessor(program_.FirstPid()), 0);
    ASSERT_TRUE(program_.WaitForUnitPort() && program_.WaitForFileTransferPort());
  }
}

TEST_F(OperatorOptionsTest, BadOptionTouchesNothingAndRetentionDaysDecideWhatTheSweepKeeps) {
  std::filesystem::create_directory(program_.Path("log/SU1"));
  const std::string records = RecordLine(3, "1") + RecordLine(1, "2") + RecordLine(0, "3");
  WriteWholeFile(program_.Path("log/SU1/T1.dat"), records);
  program_.SetEnvironment("LC_ALL", "de_DE.UTF-8");
  for (auto bad : {std::vector<std::string>{"--retention-days", "0"},
                   {"--listen", "192.0.2.1"},
                   {"--check", "--listen", "224.0.0.1"},
                   {"--check", "--listen", "255.255.255.255"},
                   {"--check", "--http", "foo:10078"},
                   {"--check", "--http", "192.0.2.1:10078"},
                   {"--check", "--http", "224.0.0.1:10078"},
                   {"--check", "--stale-after", "0"},
                   {"--check", "--stale-after", "1w"}}) {
    std::filesystem::remove(program_.Root() + "/stderr.txt");
    program_.SetArguments(bad);
    program_.Start();
    EXPECT_EQ(program_.WaitForExit(), 2) << bad[1];
    const std::string err = program_.StandardError();
    EXPECT_EQ(err.find("datacontroller: " + bad[bad.size() - 2] + " " + bad.back()), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(ReadWholeFile(program_.Path("log/SU1/T1.dat")), records);
  }
  StartWith({"--retention-days", "2"});
  EXPECT_EQ(ReadWholeFile(program_.Path("log/SU1/T1.dat")),
            RecordLine(1, "2") + RecordLine(0, "3"));
}

// A restart while the --listen address is gone (a link flap) waits for it
// instead of refusing its own option; a subnet broadcast is no address to listen on.
TEST_F(OperatorOptionsTest, RestartDuringAnAddressOutageServesOnceTheAddressIsBack) {
  if (!OwnNetworkWithAnInterface()) GTEST_SKIP() << "needs a network namespace of its own (root)";
  program_.SetArguments({"--check", "--listen", "10.200.0.255"});
  program_.Start();
  EXPECT_EQ(program_.WaitForExit(), 2);
  EXPECT_NE(program_.StandardError().find("10.200.0.255 is the broadcast address of dc0"),
            std::string::npos);
  StartWith({"--listen", "10.200.0.1", "--http", "10.200.0.1:10078"});
  auto unit = std::make_unique<UnitConnection>("10.200.0.1", ProgramUnderTest::kUnitPort);
  unit->Register("SU1");
  ::kill(program_.FirstPid(), SIGSTOP);  // the reset and the outage come before it looks
  unit->ResetOnClose();
  unit.reset();
  ASSERT_EQ(std::system("ip addr del 10.200.0.1/24 dev dc0"), 0);
  ::kill(program_.FirstPid(), SIGCONT);
  ASSERT_GT(program_.WaitForSoleSuccessor(program_.FirstPid()), 0);
  ASSERT_TRUE(program_.WaitForUnitPort()) << program_.StandardError();  // while the address is gone
  ASSERT_EQ(std::system("ip addr add 10.200.0.1/24 brd + dev dc0"), 0);
  UnitConnection back("10.200.0.1", ProgramUnderTest::kUnitPort);
  back.Register("SU1");
  back.SendText("DU_CHECK");
  EXPECT_EQ(back.NextText(5s), "CHECK");
  EXPECT_EQ(FileTransferReply("10.200.0.1", "10.200.0.1"), kData);
  EXPECT_EQ(WebAnswer("10.200.0.1", "10.200.0.1"), "HTTP/1.1 200 OK");
}

}  // namespace
