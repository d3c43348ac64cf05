// 20 units over loopback, each sending 50 000 "CS_TEXT <name> DU_CHECK <n>#"
// messages (up to kWindow outstanding) to the unit link, whose handler answers
// each one with SendTextTo. Prints answered messages per second and the 99th
// percentile round trip, against a plain echo server (raw poll loop, no
// framing) measured in the same run, and checks that no answer is lost or
// reaches the wrong unit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "link/communication_server.h"

namespace {

constexpr int kUnits = 20;
constexpr int kMessagesPerUnit = 50000;
constexpr int kWindow = 32;
using Clock = std::chrono::steady_clock;

struct UnitResult {
  std::vector<double> round_trips_us;
  int answered = 0;
  int misrouted = 0;
};

int ConnectTo(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void SendAll(int fd, const std::string& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

// Checks one answer "<word> <name> ... <n>" and records its round trip.
void TakeAnswer(const std::string& answer, const std::string& name,
                const std::vector<Clock::time_point>& sent_at, UnitResult& result) {
  std::size_t first = answer.find(' ');
  std::size_t second = answer.find(' ', first + 1);
  std::size_t last = answer.rfind(' ');
  int n = std::atoi(answer.c_str() + last + 1);
  if (answer.compare(first + 1, second - first - 1, name) != 0 || n != result.answered)
    ++result.misrouted;
  if (n >= 0 && n < static_cast<int>(sent_at.size())) {
    std::chrono::duration<double, std::micro> trip =
        Clock::now() - sent_at[static_cast<std::size_t>(n)];
    result.round_trips_us.push_back(trip.count());
  }
  ++result.answered;
}

// Connects one unit; a registering unit waits for its "CC_ADD_NAME" and
// registers under its index. Units connect one at a time, as the listener's
// backlog is 5.
int JoinUnit(int port, int index, bool register_name) {
  int fd = ConnectTo(port);
  if (fd < 0 || !register_name) return fd;
  std::string greeting;
  char byte;
  while (greeting.find('#') == std::string::npos && ::recv(fd, &byte, 1, 0) == 1) greeting += byte;
  SendAll(fd, "CS_ADD_NAME " + std::to_string(index) + " SU" + std::to_string(index) + "#");
  return fd;
}

// One unit's load: its messages, up to kWindow outstanding, and their answers.
void RunUnit(int fd, int index, UnitResult& result) {
  std::string name = "SU" + std::to_string(index);
  std::vector<Clock::time_point> sent_at(kMessagesPerUnit);
  std::string pending;
  int sent = 0;
  char buffer[65536];
  while (result.answered < kMessagesPerUnit) {
    std::string batch;
    while (sent < kMessagesPerUnit && sent - result.answered < kWindow) {
      sent_at[static_cast<std::size_t>(sent)] = Clock::now();
      batch += "CS_TEXT " + name + " DU_CHECK " + std::to_string(sent++) + "#";
    }
    SendAll(fd, batch);
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find('#', start)) != std::string::npos; start = end + 1) {
      TakeAnswer(pending.substr(start, end - start), name, sent_at, result);
    }
    pending.erase(0, start);
  }
  ::close(fd);
}

// Runs the units against port; returns the seconds from first send to last answer.
double RunUnits(int port, bool register_names, std::vector<UnitResult>& results,
                std::atomic<int>& done) {
  results.assign(kUnits, {});
  std::vector<int> fds;
  for (int i = 0; i < kUnits; ++i) fds.push_back(JoinUnit(port, i, register_names));
  auto start = Clock::now();
  std::vector<std::thread> units;
  for (int i = 0; i < kUnits; ++i) {
    units.emplace_back([&, i] {
      if (fds[static_cast<std::size_t>(i)] >= 0)
        RunUnit(fds[static_cast<std::size_t>(i)], i, results[static_cast<std::size_t>(i)]);
      ++done;
    });
  }
  for (auto& unit : units) unit.join();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The baseline: a poll loop that sends every byte straight back.
void EchoServer(int listener, std::atomic<bool>& stop) {
  std::vector<pollfd> fds{{listener, POLLIN, 0}};
  char buffer[65536];
  while (!stop) {
    if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
    if (fds[0].revents & POLLIN) fds.push_back({::accept(listener, nullptr, nullptr), POLLIN, 0});
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
      if (n > 0) SendAll(fds[i].fd, std::string(buffer, static_cast<std::size_t>(n)));
      if (n <= 0) fds[i].events = 0;
    }
  }
  for (std::size_t i = 1; i < fds.size(); ++i) ::close(fds[i].fd);
}

struct Figures {
  double per_second;
  double p99_us;
  int lost;
  int misrouted;
};

Figures Summarise(const std::vector<UnitResult>& results, double seconds) {
  std::vector<double> trips;
  Figures figures{0, 0, 0, 0};
  int answered = 0;
  for (const auto& result : results) {
    trips.insert(trips.end(), result.round_trips_us.begin(), result.round_trips_us.end());
    answered += result.answered;
    figures.misrouted += result.misrouted;
  }
  figures.lost = kUnits * kMessagesPerUnit - answered;
  figures.per_second = answered / seconds;
  if (!trips.empty()) {
    std::size_t at = trips.size() * 99 / 100;
    std::nth_element(trips.begin(), trips.begin() + static_cast<long>(at), trips.end());
    figures.p99_us = trips[at];
  }
  return figures;
}

Figures MeasureEcho() {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(listener, 64);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
  std::atomic<bool> stop{false};
  std::thread server(EchoServer, listener, std::ref(stop));
  std::vector<UnitResult> results;
  std::atomic<int> done{0};
  double seconds = RunUnits(ntohs(address.sin_port), false, results, done);
  stop = true;
  server.join();
  ::close(listener);
  return Summarise(results, seconds);
}

Figures MeasureUnitLink() {
  TCommunicationServer server;
  server.SetPort(0);
  server.OnClientReadText = [&](TCommunicationServer* sender, std::string text, std::string name) {
    sender->SendTextTo(name, name + " " + text);
  };
  server.StartServers();
  std::vector<UnitResult> results;
  std::atomic<int> done{0};
  double seconds = 0;
  std::thread units([&] { seconds = RunUnits(server.BoundPort(), true, results, done); });
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (done == kUnits) QCoreApplication::quit();
  });
  poll.start(10);
  QCoreApplication::exec();
  units.join();
  return Summarise(results, seconds);
}

void Print(const char* what, const Figures& figures) {
  std::printf("%-28s %10.0f msg/s   p99 round trip %8.1f us   lost %d   misrouted %d\n", what,
              figures.per_second, figures.p99_us, figures.lost, figures.misrouted);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  std::printf("%d units x %d messages, up to %d outstanding per unit\n", kUnits, kMessagesPerUnit,
              kWindow);
  Figures echo = MeasureEcho();
  Figures link = MeasureUnitLink();
  Print("plain echo (baseline):", echo);
  Print("unit link with SendTextTo:", link);
  std::printf("ratio unit link / plain echo: %.2f (target: >= 100000 answered msg/s)\n",
              link.per_second / echo.per_second);
  return link.lost == 0 && link.misrouted == 0 ? 0 : 1;
}
