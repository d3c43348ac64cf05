// The web view of the real program: /metrics after known traffic, /healthz,
// and the bounds on clients that stall, send a huge header or come by the thousand.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <map>
#include <sstream>

#include "curl_client.h"
#include "fault_fixture.h"
#include "tftp/tftp_test_support.h"
#include "web/bounded_tcp_server.h"

namespace {

using namespace tftp_test;

constexpr int kWebPort = 10078;

// A connection to the web view (on 127.0.0.1) from the loopback address `from`.
int ConnectToWeb(const char* from = "127.0.0.1") {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in source{AF_INET, 0, {inet_addr(from)}, {}};
  ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kWebPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// What the peer sends until it closes, waitMs pass without a byte, or (with
// complete) the answer is complete.
std::string ReadAll(int fd, int waitMs, bool (*complete)(const std::string&) = nullptr) {
  std::string received;
  char buffer[65536];
  pollfd ready{fd, POLLIN, 0};
  while ((complete == nullptr || !complete(received)) && ::poll(&ready, 1, waitMs) == 1) {
    ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    received.append(buffer, static_cast<size_t>(got));
  }
  return received;
}

bool HasWholeBody(const std::string& answer) {
  std::size_t end = answer.find("\r\n\r\n");
  std::size_t length = answer.find("Content-Length: ");
  if (end == std::string::npos || length == std::string::npos) return false;
  return answer.size() >= end + 4 + std::stoul(answer.substr(length + 16));
}

// True when the peer closes the connection within waitMs without sending a byte.
bool ClosedWithoutAnswer(int fd, int waitMs) {
  pollfd ready{fd, POLLIN, 0};
  char byte;
  return ::poll(&ready, 1, waitMs) == 1 && ::recv(fd, &byte, 1, 0) <= 0;
}

// The whole answer (status line, headers, body) to one GET on the open
// connection fd, which stays open.
std::string Exchange(int fd, const std::string& path) {
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: du\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  return ReadAll(fd, 5000, HasWholeBody);
}

// The whole answer to one GET on a connection of its own from `from`.
std::string HttpGet(const std::string& path, const char* from = "127.0.0.1") {
  int fd = ConnectToWeb(from);
  if (fd < 0) return "";
  std::string answer = Exchange(fd, path);
  ::close(fd);
  return answer;
}

// "name{labels}" -> value, from the Prometheus text format.
std::map<std::string, double> ParseMetrics(const std::string& answer) {
  std::map<std::string, double> samples;
  std::istringstream lines(answer.substr(answer.find("\r\n\r\n") + 4));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::size_t blank = line.rfind(' ');
    samples[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
  }
  return samples;
}

class WebViewTest : public FaultTest {};

TEST_F(WebViewTest, MetricsCountRecordsAlarmsAndTransfersOfKnownTraffic) {
  StartProgram();
  const double started = static_cast<double>(std::time(nullptr));
  UnitConnection* first = Unit("SU1");
  UnitConnection* second = Unit("S\"U<2>");
  first->SendText("DU_SAVELOG T1 12/06/26 21.5");
  first->SendText("DU_SAVELOG T1 12/06/26 23:10 22,5");
  first->SendText("DU_SAVELOG T2 12/06/26 -4");
  second->SendText("DU_SAVELOG H 12/07/26 55");
  second->SendText("DU_SUALARM fire in hall 2");
  Settle(*first);
  Settle(*second);
  std::string fetched = program_.Root() + "/T1.dat";
  ASSERT_EQ(FetchByTftp("log/SU1/T1.dat", fetched), 0);
  WriteWholeFile(program_.Root() + "/x.ini", std::string(700, 'x'));
  ASSERT_EQ(StoreByTftp(program_.Root() + "/x.ini", "log/SU1/x.ini"), 0);
  ASSERT_TRUE(
      WaitUntil([] { return HttpGet("/metrics").find("sessions_open 0") != std::string::npos; },
                std::chrono::seconds(30)))  // a store's session waits out its last answer
      << HttpGet("/metrics");

  std::map<std::string, double> metrics = ParseMetrics(HttpGet("/metrics"));
  EXPECT_EQ(metrics["datacontroller_records_stored_total{unit=\"SU1\"}"], 3);
  EXPECT_EQ(metrics["datacontroller_records_stored_total{unit=\"S\\\"U<2>\"}"], 1);
  EXPECT_EQ(metrics["datacontroller_alarms_total"], 1);
  EXPECT_EQ(metrics["datacontroller_registered_units"], 2);
  EXPECT_GE(metrics["datacontroller_unit_last_seen_seconds{unit=\"SU1\"}"], started);
  EXPECT_GT(metrics["process_resident_memory_bytes"], 1 << 20);
  EXPECT_GT(metrics["process_open_fds"], 3);
  EXPECT_GT(metrics["process_cpu_seconds_total"], 0);
  EXPECT_GE(metrics["process_start_time_seconds"], started - 2);  // whole seconds of boot time
  EXPECT_EQ(metrics["datacontroller_build_info{version=\"" DC_VERSION "\"}"], 1);
  // Records dated days ago: silent longer than the default hour.
  EXPECT_NE(HttpGet("/api/sensors").find(R"("sensor":"T1","stale":true)"), std::string::npos)
      << HttpGet("/api/sensors");
  EXPECT_EQ(metrics["datacontroller_tftp_transfers_total{direction=\"read\",result=\"completed\"}"],
            1);
  EXPECT_EQ(metrics["datacontroller_tftp_bytes_total{direction=\"read\"}"],
            ReadWholeFile(fetched).size());
  EXPECT_EQ(
      metrics["datacontroller_tftp_transfers_total{direction=\"write\",result=\"completed\"}"], 1);
  EXPECT_EQ(metrics["datacontroller_tftp_bytes_total{direction=\"write\"}"], 700);
  EXPECT_EQ(metrics["datacontroller_sensor_value{unit=\"SU1\",sensor=\"T1\"}"], 22.5);
  EXPECT_EQ(metrics["datacontroller_sensor_value{unit=\"SU1\",sensor=\"T2\"}"], -4);
  // 23:10 on 6 December 2026, local time (the program runs with the test's zone).
  std::tm local{0, 10, 23, 6, 11, 126, 0, 0, -1};
  EXPECT_EQ(metrics["datacontroller_sensor_timestamp_seconds{unit=\"SU1\",sensor=\"T1\"}"],
            static_cast<double>(std::mktime(&local)));
  EXPECT_EQ(metrics["datacontroller_port_serving{port=\"unit_link\"}"], 1);
  EXPECT_GT(metrics["datacontroller_tree_free_bytes"], 0);
}

TEST_F(WebViewTest, FileBeingStoredIsNotDownloadedUntilItsLastBlock) {
  StartProgram();
  RawPeer uploader;
  uploader.Send(ProgramUnderTest::kFileTransferPort, Request(2, "log/new.dat", "octet"));
  std::optional<Datagram> ack = uploader.Receive();
  ASSERT_TRUE(ack && BlockOf(*ack) == 0);
  EXPECT_EQ(HttpGet("/download?path=log/new.dat").substr(0, 12), "HTTP/1.1 409");
  uploader.Send(ack->Port, Data(1, "stored\r\n"));
  ASSERT_TRUE(uploader.Receive());
  std::string answer = HttpGet("/download?path=log/new.dat");
  EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 200");
  EXPECT_EQ(answer.substr(answer.size() - 8), "stored\r\n");
}

TEST_F(WebViewTest, HealthzAnswers503UntilBothPortsServeAndTakesNoNameSlot) {
  {
    ProgramUnderTest degraded(false);  // no log/: the ports never open
    degraded.SetEnvironment("LC_ALL", "C");
    degraded.Start();
    ASSERT_TRUE(WaitUntil([] { return !HttpGet("/healthz").empty(); }, std::chrono::seconds(10)));
    EXPECT_EQ(HttpGet("/healthz").substr(0, 12), "HTTP/1.1 503");
  }
  StartProgram();
  ASSERT_TRUE(WaitUntil([] { return HttpGet("/healthz").substr(0, 12) == "HTTP/1.1 200"; },
                        std::chrono::seconds(10)));
  UnitConnection unit("127.0.0.1", ProgramUnderTest::kUnitPort);
  EXPECT_EQ(unit.Register("SU1"), 0);  // the health checks took no slot
}

TEST_F(WebViewTest, RestartKeepsTheWebAddressItWasGiven) {
  program_.SetArguments({"--http", "127.0.0.1:10081"});
  StartProgram();
  UnitConnection* unit = Unit("SU1");
  unit->ResetOnClose();
  units_.clear();  // the reset restarts the program
  pid_t second = program_.WaitForSoleSuccessor(pid_);
  ASSERT_GT(second, 0) << program_.StandardError();
  ASSERT_TRUE(program_.WaitForUnitPort());
  EXPECT_EQ(HttpGet("/healthz"), "");  // nothing on the default port
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, htons(10081), {htonl(INADDR_LOOPBACK)}, {}};
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
}

TEST_F(WebViewTest, MetricsCountTheSendersTheAllowListRefused) {
  program_.SetArguments({"--allow", "127.0.0.1/32"});
  StartProgram();
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in from{AF_INET, 0, {inet_addr("127.0.0.2")}, {}};
  sockaddr_in to{AF_INET, htons(ProgramUnderTest::kUnitPort), {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  EXPECT_TRUE(ClosedWithoutAnswer(fd, 3000));
  ::close(fd);
  const std::string sample = "datacontroller_refused_senders_total{address=\"127.0.0.2\"} 1\n";
  EXPECT_TRUE(WaitUntil([&] { return HttpGet("/metrics").find(sample) != std::string::npos; },
                        std::chrono::seconds(5)))
      << HttpGet("/metrics");
}

TEST_F(WebViewTest, StalledHugeAndThousandClientsAreCutWhileOthersAreServed) {
  StartProgram();
  int descriptors = OpenDescriptorCount(pid_);
  int stalled = ConnectToWeb();
  ASSERT_GE(stalled, 0);
  ::send(stalled, "GET / HTTP/1.1\r\nHo", 18, MSG_NOSIGNAL);

  int huge = ConnectToWeb();
  std::string header = "GET / HTTP/1.1\r\nX-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n";
  ::fcntl(huge, F_SETFL, O_NONBLOCK);
  ::send(huge, header.data(), header.size(), MSG_NOSIGNAL);
  // Cut by its size without an answer: ahead of the stalled request, which
  // began first and is cut by its time only.
  EXPECT_TRUE(ClosedWithoutAnswer(huge, 2 * BoundedTcpServer::kRequestTimeoutMs));
  pollfd stalledEvents{stalled, POLLIN, 0};
  EXPECT_EQ(::poll(&stalledEvents, 1, 0), 0) << "the huge request was cut by its time";
  ::close(huge);

  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
  ::setrlimit(RLIMIT_NOFILE, &files);
  std::vector<int> crowd;
  for (int i = 0; i < 1000; ++i) crowd.push_back(ConnectToWeb());
  EXPECT_TRUE(WaitUntil(
      [&] { return OpenDescriptorCount(pid_) <= descriptors + BoundedTcpServer::kMaxConnections; },
      std::chrono::seconds(15)));
  Settle(*Unit("SU1"));  // the unit link does not notice
  for (int fd : crowd) ::close(fd);
  EXPECT_TRUE(WaitUntil([] { return HttpGet("/healthz").substr(0, 12) == "HTTP/1.1 200"; },
                        std::chrono::seconds(15)));
  EXPECT_TRUE(ClosedWithoutAnswer(stalled, BoundedTcpServer::kRequestTimeoutMs + 5000));
  ::close(stalled);
}

// Two clients' crowds, one of keep-alive connections and one of silent ones,
// hold a share each; another client is served, and so is the first client's
// new request in the place of its own keep-alive connection served longest ago.
TEST_F(WebViewTest, CrowdsOfOneClientLeaveRoomForOthersAndForItsOwnNewRequest) {
  StartProgram();
  const int descriptors = OpenDescriptorCount(pid_);
  std::vector<int> crowds;
  for (int i = 0; i < BoundedTcpServer::kMaxConnections; ++i) {
    crowds.push_back(ConnectToWeb("127.0.0.3"));
    crowds.push_back(ConnectToWeb());
    Exchange(crowds.back(), "/healthz");
  }
  EXPECT_EQ(HttpGet("/healthz", "127.0.0.2").substr(0, 12), "HTTP/1.1 200");
  EXPECT_EQ(HttpGet("/metrics").substr(0, 12), "HTTP/1.1 200");
  EXPECT_TRUE(WaitUntil(
      [&] {
        return OpenDescriptorCount(pid_) <= descriptors + 2 * BoundedTcpServer::kMaxPerClient;
      },
      std::chrono::seconds(5)));
  for (int fd : crowds) ::close(fd);
}

TEST_F(WebViewTest, FullTableClosesTheKeepAliveConnectionServedLongestAgo) {
  StartProgram();
  std::vector<int> table;
  for (const char* from : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
    for (int i = 0; i < BoundedTcpServer::kMaxPerClient; ++i) {
      table.push_back(ConnectToWeb(from));
      ASSERT_EQ(Exchange(table.back(), "/healthz").substr(0, 12), "HTTP/1.1 200");
    }
  }
  EXPECT_EQ(HttpGet("/metrics", "127.0.0.6").substr(0, 12), "HTTP/1.1 200");
  EXPECT_TRUE(ClosedWithoutAnswer(table[0], 3000));
  EXPECT_EQ(Exchange(table[1], "/healthz").substr(0, 12), "HTTP/1.1 200");
  for (int fd : table) ::close(fd);
}

TEST_F(WebViewTest, AcceptingResumesAfterTheProgramRanShortOfDescriptors) {
  StartProgram();
  rlimit normal{};
  ASSERT_EQ(::prlimit(pid_, RLIMIT_NOFILE, nullptr, &normal), 0);
  rlimit scarce{static_cast<rlim_t>(OpenDescriptorCount(pid_) + 2), normal.rlim_max};
  ASSERT_EQ(::prlimit(pid_, RLIMIT_NOFILE, &scarce, nullptr), 0);
  std::vector<int> crowd;
  for (const char* from : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
    for (int i = 0; i < BoundedTcpServer::kMaxPerClient; ++i) crowd.push_back(ConnectToWeb(from));
  }
  const bool reported =
      WaitUntil([&] { return program_.StandardError().find("cannot accept") != std::string::npos; },
                std::chrono::seconds(5));
  ASSERT_EQ(::prlimit(pid_, RLIMIT_NOFILE, &normal, nullptr), 0);
  for (int fd : crowd) ::close(fd);
  EXPECT_TRUE(WaitUntil([] { return HttpGet("/healthz").substr(0, 12) == "HTTP/1.1 200"; },
                        std::chrono::seconds(10)));
  EXPECT_TRUE(reported) << program_.StandardError();
}

}  // namespace
