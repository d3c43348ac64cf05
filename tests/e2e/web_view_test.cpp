// The web view of the real program: /metrics after known traffic, /healthz,
// and the bounds on clients that stall, send a huge header or come by the thousand.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
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
  UnitConnection* second = Unit("S\"U\n<2>");
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
  EXPECT_EQ(metrics["datacontroller_records_stored_total{unit=\"S\\\"U\\n<2>\"}"], 1);
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

// The lost records of each report line ("...; N records and ..."), added up.
int LostInReports(const std::string& journal, int& lines) {
  int lost = 0;
  std::istringstream in(journal);
  for (std::string line; std::getline(in, line);) {
    std::size_t counts = line.find("; ", line.find("datacontroller: "));
    if (line.find(": Not stored: ") == std::string::npos &&
        line.find(": Storing again after ") == std::string::npos)
      continue;
    ++lines;
    lost += std::stoi(line.substr(counts + 2));
  }
  return lost;
}

// A file size limit on the program stands in for a full disk (EFBIG); it
// is set above the size of the program's standard error file.
TEST_F(WebViewTest, AFullDiskFloodIsCountedAndReportedOnceASecondUntilRecordsFitAgain) {
  StartProgram();
  UnitConnection* sensor = Unit("SU1");
  for (int i = 0; i < 200; ++i) sensor->SendText("DU_SAVELOG T1 " + Today() + " first");
  Settle(*sensor);
  const std::string all = program_.Path("log/SU1/alllog.dat"), stored = ReadWholeFile(all);
  ASSERT_TRUE(SetFileSizeLimit(pid_, stored.size()));
  const auto started = std::chrono::steady_clock::now();
  constexpr int kFlood = 5000;
  std::string flood;
  for (int i = 0; i < kFlood; ++i)
    flood += "CS_TEXT SU1 DU_SAVELOG T1 " + Today() + " lost" + std::to_string(i) + "#";
  sensor->SendRaw(flood);
  Settle(*sensor);
  EXPECT_EQ(HttpGet("/healthz").substr(0, 12), "HTTP/1.1 503");
  EXPECT_NE(HttpGet("/healthz").find("not storing: " + all + ": File too large\n"),
            std::string::npos);
  std::map<std::string, double> metrics = ParseMetrics(HttpGet("/metrics"));
  EXPECT_EQ(metrics["datacontroller_records_stored_total{unit=\"SU1\"}"], 200);
  EXPECT_EQ(metrics["datacontroller_records_lost_total{reason=\"no_space\"}"], kFlood);
  EXPECT_EQ(metrics["datacontroller_tree_writable"], 0);
  EXPECT_NE(HttpGet("/api/overview")
                .find("Not stored (File too large): T1 " + Today() + " lost" +
                      std::to_string(kFlood - 1)),
            std::string::npos);
  ASSERT_TRUE(SetFileSizeLimit(pid_, RLIM_INFINITY));
  sensor->SendText("DU_SAVELOG T1 " + Today() + " later");
  Settle(*sensor);
  EXPECT_EQ(HttpGet("/healthz").substr(0, 12), "HTTP/1.1 200");
  int lines = 0;
  auto reported = [&] {
    lines = 0;
    return LostInReports(program_.StandardError(), lines) == kFlood;
  };
  ASSERT_TRUE(WaitUntil(reported, std::chrono::seconds(5))) << program_.StandardError();
  auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
  EXPECT_LE(lines, 2 + seconds.count()) << program_.StandardError();
  EXPECT_EQ(ReadWholeFile(all), stored + Today() + " later T1\r\n");
  EXPECT_EQ(ParseMetrics(HttpGet("/metrics"))["datacontroller_tree_writable"], 1);
}

// Read only, and on localhost unless told otherwise: another method gets 405
// and changes nothing, another loopback address reaches nothing, and every
// answer, an error too, carries the page policy.
TEST_F(WebViewTest, OnlyReadsOnLocalhostAndEveryAnswerCarriesThePolicy) {
  StartProgram();
  WriteWholeFile(program_.Path("log/kept.dat"), "kept\r\n");
  int fd = ConnectToWeb();
  const std::string deletion =
      "DELETE /download?path=log/kept.dat HTTP/1.1\r\nHost: du\r\nContent-Length: 0\r\n\r\n";
  ::send(fd, deletion.data(), deletion.size(), MSG_NOSIGNAL);
  const std::string refused = ReadAll(fd, 5000, HasWholeBody);
  ::close(fd);
  EXPECT_EQ(refused.substr(0, 12), "HTTP/1.1 405");
  EXPECT_NE(refused.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos) << refused;
  for (const std::string& answer : {refused, HttpGet("/"), HttpGet("/no/such/page")}) {
    EXPECT_NE(answer.find("\r\nContent-Security-Policy: default-src 'none';"), std::string::npos)
        << answer;
    EXPECT_NE(answer.find("\r\nX-Content-Type-Options: nosniff\r\n"), std::string::npos);
  }
  EXPECT_EQ(ReadWholeFile(program_.Path("log/kept.dat")), "kept\r\n");
  int other = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in elsewhere{AF_INET, htons(kWebPort), {inet_addr("127.0.0.2")}, {}};
  EXPECT_NE(::connect(other, reinterpret_cast<sockaddr*>(&elsewhere), sizeof elsewhere), 0);
  ::close(other);
}

// A store and a download of one file never overlap, whichever began first;
// a link that leads out of the tree is not listed.
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
  std::filesystem::create_directory_symlink("/etc", program_.Path("log/elsewhere"));
  const std::string listing = HttpGet("/api/files?path=log");
  EXPECT_NE(listing.find("new.dat"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("elsewhere"), std::string::npos) << "a link that leads out is listed";
  WriteWholeFile(program_.Path("log/big.dat"), std::string(32 << 20, 'b'));
  int reader = ConnectToWeb();  // takes the first bytes, then stops reading
  const std::string get = "GET /download?path=log/big.dat HTTP/1.1\r\nHost: du\r\n\r\n";
  ::send(reader, get.data(), get.size(), MSG_NOSIGNAL);
  ASSERT_EQ(ReadAll(reader, 5000, [](const std::string& a) { return !a.empty(); }).substr(0, 12),
            "HTTP/1.1 200");
  uploader.Send(ProgramUnderTest::kFileTransferPort, Request(2, "log/big.dat", "octet"));
  EXPECT_EQ(uploader.Receive().value_or(Datagram{}).Bytes,
            Error(3, "Cannot create file log/big.dat"));
  ::close(reader);
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
  program_.SetArguments({"--http=127.0.0.1:10081"});  // a lone argument is passed on too
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
  // A byte every second does not restart the request's time, which began with its first byte.
  int drips = 0;
  for (; drips < BoundedTcpServer::kRequestTimeoutMs / 1000 + 5; ++drips) {
    if (ClosedWithoutAnswer(stalled, 1000)) break;
    ::send(stalled, "s", 1, MSG_NOSIGNAL);
  }
  EXPECT_LT(drips, BoundedTcpServer::kRequestTimeoutMs / 1000 + 5)
      << "a dripping request was never cut";
  ::close(stalled);

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
