// File transfer throughput on loopback: curl reading a 64 MiB file from the
// TFTP server at block sizes 512, 1428 and 8192, each against the lock-step
// floor measured in the same run (a raw UDP ping-pong of the same packet
// sizes between two sockets), best of a few runs; then 20 concurrent reads of
// one 32 MiB file and 50 concurrent reads of 4 MiB files, aggregate. Beside
// each figure: the server's CPU time per block (its cost per packet, which
// the noise of a shared machine hardly moves) and the CPU seconds of server
// and clients, which show who had the two cores. Last, the same curl reads
// from tftpd-hpa (the lock-step baseline: $TFTPD_HPA, default
// /usr/sbin/in.tftpd, on a port of its own), runs alternating with the data
// unit's, and the ratio of the two.
// Usage: tftp_throughput_bench [MiB of the single file, default 64] [runs, default 3]
// (TFTP_BENCH_PEER_ONLY set: only the comparison with tftpd-hpa)
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "peer_daemon.h"
#include "tftp/net_trivial_ftp_server.h"
#include "tftp/session_budget.h"
#include "tftp/udp_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

double MBps(double bytes, double seconds) { return bytes / 1e6 / seconds; }

double CpuSeconds(int who) {
  rusage usage{};
  ::getrusage(who, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// CPU seconds used by this process (the server) and by the waited-for
// children (the clients) over one measured stretch.
struct CpuSplit {
  double server = CpuSeconds(RUSAGE_SELF);
  double clients = CpuSeconds(RUSAGE_CHILDREN);
  void Stop() {
    server = CpuSeconds(RUSAGE_SELF) - server;
    clients = CpuSeconds(RUSAGE_CHILDREN) - clients;
  }
};

void WriteSample(const std::string& path, size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::vector<char> bytes(size);
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
}

bool Run(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

sockaddr_in Loopback(uint16_t port) { return SocketAddress(0x7F000001, port); }

// Lock step without any protocol: blockSize+4 bytes out, 4 bytes back.
double PingPongFloor(size_t blockSize, size_t totalBytes) {
  UdpSocket server(Loopback(0));
  UdpSocket client(Loopback(0));
  const sockaddr_in serverAddress = server.LocalAddress();
  const sockaddr_in clientAddress = client.LocalAddress();
  const size_t packets = totalBytes / blockSize + 1;
  std::thread echo([&] {
    std::vector<char> buffer(blockSize + 4);
    for (size_t i = 0; i < packets; ++i) {
      client.Receive(buffer.data(), buffer.size(), -1);
      client.SendTo(serverAddress, std::string_view(buffer.data(), 4));
    }
  });
  std::vector<char> packet(blockSize + 4, 'x');
  char ack[4];
  Clock::time_point start = Clock::now();
  for (size_t i = 0; i < packets; ++i) {
    server.SendTo(clientAddress, std::string_view(packet.data(), packet.size()));
    server.Receive(ack, sizeof ack, -1);
  }
  double seconds = Seconds(start);
  echo.join();
  return MBps(static_cast<double>(totalBytes), seconds);
}

// A minimal lock-step reader without any client overhead: shows how much of
// the gap to the floor is the server's and how much is curl's.
double RawClientRead(uint16_t serverPort, int blockSize, size_t expected) {
  UdpSocket socket(Loopback(0));
  std::string request = std::string("\0\1log/single.dat\0octet\0blksize\0", 31) +
                        std::to_string(blockSize) + std::string(1, '\0');
  std::vector<char> buffer(static_cast<size_t>(blockSize) + 4);
  size_t received = 0;
  Clock::time_point start = Clock::now();
  socket.SendTo(Loopback(serverPort), request);
  for (;;) {
    const Received got = socket.Receive(buffer.data(), buffer.size(), 10000);
    const size_t length = got.status == Received::kDatagram ? got.length : 0;
    if (length < 4 || buffer[1] == 5) break;
    char ack[4] = {0, 4, buffer[2], buffer[3]};
    if (buffer[1] == 6) ack[2] = ack[3] = 0;
    if (buffer[1] == 3) received += length - 4;
    socket.SendTo(got.from, std::string_view(ack, 4));
    if (buffer[1] == 3 && length < static_cast<size_t>(blockSize) + 4) break;
  }
  double seconds = Seconds(start);
  return received == expected ? MBps(static_cast<double>(received), seconds) : 0.0;
}

std::string CurlRead(uint16_t port, int blockSize, const std::string& name,
                     const std::string& out) {
  return "curl -sS --tftp-blksize " + std::to_string(blockSize) + " -o " + out +
         " tftp://127.0.0.1:" + std::to_string(port) + "/" + name;
}

size_t Blocks(size_t bytes, int blockSize) { return bytes / static_cast<size_t>(blockSize) + 1; }

// The best of runs curl reads; false when a copy differed.
bool BestCurlRead(uint16_t port, const std::string& tree, int blockSize, size_t bytes, int runs,
                  double& best, CpuSplit& bestCpu) {
  const std::string out = tree + "/single.out";
  for (int run = 0; run < runs; ++run) {
    CpuSplit cpu;
    Clock::time_point start = Clock::now();
    bool ok = Run(CurlRead(port, blockSize, "log/single.dat", out));
    double speed = MBps(static_cast<double>(bytes), Seconds(start));
    cpu.Stop();
    if (!ok || !Run("cmp -s " + out + " " + tree + "/log/single.dat")) return false;
    if (speed > best) {
      best = speed;
      bestCpu = cpu;
    }
  }
  return true;
}

void SingleTransfers(uint16_t port, const std::string& tree, size_t bytes, int runs) {
  std::printf("single read of %zu MiB with curl, best of %d (MB = 10^6 bytes)\n", bytes >> 20,
              runs);
  std::printf("%8s %10s %10s %7s %10s %7s %13s %8s %8s\n", "blksize", "curl MB/s", "floor MB/s",
              "ratio", "raw MB/s", "ratio", "srv us/block", "srv cpu", "curl cpu");
  for (int blockSize : {512, 1428, 8192}) {
    double tftp = 0, floor = 0, raw = 0;
    CpuSplit cpu;
    const bool ok = BestCurlRead(port, tree, blockSize, bytes, runs, tftp, cpu);
    for (int run = 0; run < runs; ++run) {
      floor = std::max(floor, PingPongFloor(static_cast<size_t>(blockSize), bytes));
      raw = std::max(raw, RawClientRead(port, blockSize, bytes));
    }
    std::printf("%8d %10.1f %10.1f %7.2f %10.1f %7.2f %13.1f %7.2fs %7.2fs%s\n", blockSize, tftp,
                floor, tftp / floor, raw, raw / floor, cpu.server * 1e6 / Blocks(bytes, blockSize),
                cpu.server, cpu.clients, ok ? "" : "  (TRANSFER FAILED)");
  }
}

// count curl reads at once of the files names(i), each compared with its original.
void ConcurrentTransfers(uint16_t port, const std::string& tree, int count, size_t bytes,
                         const std::function<std::string(int)>& names) {
  std::printf("%d concurrent reads of %zu MiB with curl\n", count, bytes >> 20);
  std::printf("%8s %16s %10s %13s %9s %9s\n", "blksize", "aggregate MB/s", "identical",
              "srv us/block", "srv cpu", "curl cpu");
  for (int blockSize : {512, 1428, 8192}) {
    std::string script, check;
    for (int i = 0; i < count; ++i) {
      const std::string out = tree + "/c" + std::to_string(i) + ".out";
      script += CurlRead(port, blockSize, names(i), out) + " & ";
      check += "cmp -s " + out + " " + tree + "/" + names(i) + " && ";
    }
    CpuSplit cpu;
    Clock::time_point start = Clock::now();
    bool ok = Run("bash -c '" + script + "wait'");
    double seconds = Seconds(start);
    cpu.Stop();
    ok = ok && Run(check + "true");
    std::printf("%8d %16.1f %10s %13.1f %8.2fs %8.2fs\n", blockSize,
                MBps(static_cast<double>(bytes) * count, seconds), ok ? "all" : "NO",
                cpu.server * 1e6 / (Blocks(bytes, blockSize) * count), cpu.server, cpu.clients);
  }
  for (int i = 0; i < count; ++i) std::filesystem::remove(tree + "/c" + std::to_string(i) + ".out");
}

// The data unit against tftpd-hpa, both read by curl in lock step, best of runs each.
void AgainstTftpdHpa(uint16_t port, const std::string& tree, size_t bytes, int runs) {
  const char* tftpd = std::getenv("TFTPD_HPA") ? std::getenv("TFTPD_HPA") : "/usr/sbin/in.tftpd";
  const uint16_t peerPort = FreeLoopbackPort();
  PeerDaemon daemon({tftpd, "--foreground", "--address", "127.0.0.1:" + std::to_string(peerPort),
                     "--secure", tree},
                    peerPort);
  if (!daemon.Ready()) {
    std::printf("tftpd-hpa (%s) did not answer: no comparison\n", tftpd);
    return;
  }
  std::printf("against tftpd-hpa, the same curl reads, best of %d alternating runs\n", runs);
  std::printf("%8s %14s %15s %8s\n", "blksize", "data unit MB/s", "tftpd-hpa MB/s", "ratio");
  for (int blockSize : {512, 1428, 8192}) {
    double ours = 0, theirs = 0;
    CpuSplit cpu;
    bool ok = true;
    for (int run = 0; run < runs; ++run) {
      ok = BestCurlRead(port, tree, blockSize, bytes, 1, ours, cpu) && ok;
      ok = BestCurlRead(peerPort, tree, blockSize, bytes, 1, theirs, cpu) && ok;
    }
    std::printf("%8d %14.1f %15.1f %8.2f%s\n", blockSize, ours, theirs,
                theirs > 0 ? ours / theirs : 0.0, ok ? "" : "  (TRANSFER FAILED)");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const size_t single = static_cast<size_t>(argc > 1 ? std::atoi(argv[1]) : 64) << 20;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const size_t shared = size_t{32} << 20;
  const int count = 50;
  const size_t each = size_t{4} << 20;
  std::string tree = (std::filesystem::temp_directory_path() / "dc_tftp_bench").string();
  std::filesystem::remove_all(tree);
  std::filesystem::create_directories(tree + "/log");
  WriteSample(tree + "/log/single.dat", single, 1);
  WriteSample(tree + "/log/shared.dat", shared, 2);
  for (int i = 0; i < count; ++i) WriteSample(tree + "/log/c" + std::to_string(i), each, 10 + i);
  {
    TNetTrivialFTPServer server(tree);
    server.SetDefaultPort(0);
    server.SetLocalAddress("127.0.0.1");
    server.SetActive(true);
    const uint16_t port = static_cast<uint16_t>(server.LocalPort());
    if (std::getenv("TFTP_BENCH_PEER_ONLY") == nullptr) {
      SingleTransfers(port, tree, single, runs);
      ConcurrentTransfers(port, tree, 20, shared,
                          [](int) { return std::string("log/shared.dat"); });
      ConcurrentTransfers(port, tree, count, each,
                          [](int i) { return "log/c" + std::to_string(i); });
    }
    AgainstTftpdHpa(port, tree, single, runs);
    SessionBudget::Process().WaitUntilAllEnded(10000);
  }
  std::filesystem::remove_all(tree);
  return 0;
}
