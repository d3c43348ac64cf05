// Messages per second through the unit link's read loop (framing at "#",
// command words, the CS_TEXT event) on one large buffer of short messages,
// against plain scans of the same bytes for "#" measured in the same run.
#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "link/communication_server.h"

namespace {

constexpr int kMessages = 400000;
constexpr int kRounds = 7;

std::string MakeBuffer() {
  std::string buffer;
  for (int i = 0; i < kMessages; ++i)
    buffer += "CS_TEXT SU" + std::to_string(i % 20) + " DU_CHECK#";
  return buffer;
}

// The fastest of kRounds runs of one pass, in seconds.
template <typename Pass>
double Best(Pass pass) {
  double best = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    auto start = std::chrono::steady_clock::now();
    pass();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

std::size_t volatile sink;

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const std::string buffer = MakeBuffer();

  double byte_scan = Best([&] {
    std::size_t count = 0;
    for (char c : buffer) count += c == '#';
    sink = count;
  });
  double memchr_scan = Best([&] {
    std::size_t count = 0;
    for (const char* p = buffer.data();
         (p = static_cast<const char*>(std::memchr(p, '#', buffer.data() + buffer.size() - p)));
         ++p) {
      ++count;
    }
    sink = count;
  });

  TCommunicationServer server;
  std::size_t raised = 0;
  server.OnClientReadText = [&](TCommunicationServer*, std::string text, std::string name) {
    raised += text.size() + name.size() > 0;
  };
  ReceiveState state;
  double framing = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    state.Pending = buffer;  // copied outside the measured pass, which consumes it
    auto start = std::chrono::steady_clock::now();
    server.RunReceivePass(nullptr, state);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    framing = std::min(framing, took.count());
  }
  if (raised != static_cast<std::size_t>(kMessages) * kRounds || !state.Pending.empty()) {
    std::fprintf(stderr, "the read loop raised %zu events, expected %d\n", raised,
                 kMessages * kRounds);
    return 1;
  }

  auto rate = [](double seconds) { return kMessages / seconds; };
  std::printf("buffer: %d messages, %zu bytes\n", kMessages, buffer.size());
  std::printf("plain byte scan for '#':  %12.0f msg/s\n", rate(byte_scan));
  std::printf("memchr scan for '#':      %12.0f msg/s\n", rate(memchr_scan));
  std::printf("read loop (CS_TEXT event): %11.0f msg/s\n", rate(framing));
  std::printf("ratio read loop / plain byte scan: %.2f (target >= 0.5)\n", byte_scan / framing);
  std::printf("ratio read loop / memchr scan:     %.2f\n", memchr_scan / framing);
  return 0;
}
