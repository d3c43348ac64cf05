// Windowed reads on loopback: atftp reading a 64 MiB file from the TFTP
// server at block size 1428 with windows of 1, 8 and 32 blocks (and 64, the
// server's cap); each figure also as a ratio against window 1 in the same run.
// Every copy is compared with the original. Beside each figure, the server's
// CPU time per block in that run: its cost per packet, which the noise of a
// shared machine hardly moves. Then the same reads at windows 1 and 8 from
// atftpd (the baseline: $ATFTPD, default /usr/sbin/atftpd, on a port of its
// own), runs alternating with the data unit's, and the ratio of the two.
// Usage: tftp_window_bench [MiB of the file, default 64] [runs per window, default 3]
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "peer_daemon.h"
#include "tftp/net_trivial_ftp_server.h"
#include "tftp/session_budget.h"

namespace {

using Clock = std::chrono::steady_clock;

void WriteSample(const std::string& path, size_t size) {
  std::mt19937 generator(7);
  std::vector<char> bytes(size);
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
}

double ServerCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool Run(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Speed {
  double mbps = 0;              // MB = 10^6 bytes; 0 when a copy differed
  double serverUsPerBlock = 0;  // in the fastest run
};

// The best of runs reads.
Speed AtftpRead(uint16_t port, const std::string& tree, int window, size_t bytes, int runs) {
  const std::string out = tree + "/copy";
  const std::string command = "atftp --option 'blksize 1428' --option 'windowsize " +
                              std::to_string(window) + "' -g -r log/big -l " + out + " 127.0.0.1 " +
                              std::to_string(port) + " >/dev/null 2>&1";
  Speed best;
  for (int run = 0; run < runs; ++run) {
    std::filesystem::remove(out);
    const double cpu = ServerCpuSeconds();
    const Clock::time_point start = Clock::now();
    const bool ok = Run(command);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double serverCpu = ServerCpuSeconds() - cpu;
    if (!ok || !Run("cmp -s " + out + " " + tree + "/log/big")) return Speed{};
    const double mbps = static_cast<double>(bytes) / 1e6 / seconds;
    if (mbps > best.mbps) best = Speed{mbps, serverCpu * 1e6 / (bytes / 1428 + 1)};
  }
  return best;
}

// The data unit against atftpd, both read by atftp at windows 1 and 8, best of runs each.
void AgainstAtftpd(uint16_t port, const std::string& tree, size_t bytes, int runs) {
  const char* atftpd = std::getenv("ATFTPD") ? std::getenv("ATFTPD") : "/usr/sbin/atftpd";
  const uint16_t peerPort = FreeLoopbackPort();
  PeerDaemon daemon({atftpd, "--daemon", "--no-fork", "--port", std::to_string(peerPort),
                     "--bind-address", "127.0.0.1", "--logfile", "/dev/null", tree},
                    peerPort);
  if (!daemon.Ready()) {
    std::printf("atftpd (%s) did not answer: no comparison\n", atftpd);
    return;
  }
  std::printf("against atftpd, the same atftp reads, best of %d alternating runs\n", runs);
  std::printf("%8s %14s %12s %8s\n", "window", "data unit MB/s", "atftpd MB/s", "ratio");
  for (int window : {1, 8}) {
    Speed ours, theirs;
    for (int run = 0; run < runs; ++run) {
      ours.mbps = std::max(ours.mbps, AtftpRead(port, tree, window, bytes, 1).mbps);
      theirs.mbps = std::max(theirs.mbps, AtftpRead(peerPort, tree, window, bytes, 1).mbps);
    }
    std::printf("%8d %14.1f %12.1f %8.2f\n", window, ours.mbps, theirs.mbps,
                theirs.mbps > 0 ? ours.mbps / theirs.mbps : 0.0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const size_t bytes = static_cast<size_t>(argc > 1 ? std::atoi(argv[1]) : 64) << 20;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::string tree =
      (std::filesystem::temp_directory_path() / "dc_tftp_window_bench").string();
  std::filesystem::remove_all(tree);
  std::filesystem::create_directories(tree + "/log");
  WriteSample(tree + "/log/big", bytes);
  {
    TNetTrivialFTPServer server(tree);
    server.SetDefaultPort(0);
    server.SetLocalAddress("127.0.0.1");
    server.SetActive(true);
    const uint16_t port = static_cast<uint16_t>(server.LocalPort());
    std::printf("atftp read of %zu MiB at blksize 1428, best of %d (MB = 10^6 bytes)\n",
                bytes >> 20, runs);
    std::printf("%8s %10s %14s %14s\n", "window", "MB/s", "vs window 1", "srv us/block");
    const bool table = std::getenv("WINDOW_BENCH_PEER_ONLY") == nullptr;
    const Speed baseline = table ? AtftpRead(port, tree, 1, bytes, runs) : Speed{};
    for (int window : {1, 8, 32, 64}) {
      if (!table) break;
      const Speed speed = window == 1 ? baseline : AtftpRead(port, tree, window, bytes, runs);
      std::printf("%8d %10.1f %14.2f %14.1f%s\n", window, speed.mbps,
                  baseline.mbps > 0 ? speed.mbps / baseline.mbps : 0.0, speed.serverUsPerBlock,
                  speed.mbps > 0 ? "" : "  (TRANSFER FAILED)");
    }
    AgainstAtftpd(port, tree, bytes, runs);
    SessionBudget::Process().WaitUntilAllEnded(10000);
  }
  std::filesystem::remove_all(tree);
  return 0;
}
