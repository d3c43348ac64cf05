// File transfer throughput on loopback: curl reading a 64 MiB file from the
// TFTP server at block sizes 512, 1428 and 8192, each against the lock-step
// floor measured in the same run (a raw UDP ping-pong of the same packet
// sizes between two sockets); then 50 concurrent 4 MiB reads, aggregate.
// Usage: tftp_throughput_bench [MiB of the single file, default 64]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "tftp/net_tftp_server_thread.h"
#include "tftp/net_trivial_ftp_server.h"
#include "tftp/udp_socket_ops.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

double MBps(double bytes, double seconds) { return bytes / 1e6 / seconds; }

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

int BoundLoopbackSocket(uint16_t& port) {
  int fd = udp_ops::OpenDatagramSocket();
  uint32_t address = 0;
  udp_ops::Bind(fd, 0x7F000001, 0);
  udp_ops::LocalName(fd, address, port);
  return fd;
}

// Lock step without any protocol: blockSize+4 bytes out, 4 bytes back.
double PingPongFloor(size_t blockSize, size_t totalBytes) {
  uint16_t serverPort = 0, clientPort = 0;
  int server = BoundLoopbackSocket(serverPort);
  int client = BoundLoopbackSocket(clientPort);
  const size_t packets = totalBytes / blockSize + 1;
  std::thread echo([&] {
    std::vector<char> buffer(blockSize + 4);
    uint32_t address;
    uint16_t port;
    for (size_t i = 0; i < packets; ++i) {
      udp_ops::ReceiveFrom(client, buffer.data(), buffer.size(), address, port);
      udp_ops::SendTo(client, buffer.data(), 4, 0x7F000001, serverPort);
    }
  });
  std::vector<char> packet(blockSize + 4, 'x');
  char ack[4];
  uint32_t address;
  uint16_t port;
  Clock::time_point start = Clock::now();
  for (size_t i = 0; i < packets; ++i) {
    udp_ops::SendTo(server, packet.data(), packet.size(), 0x7F000001, clientPort);
    udp_ops::ReceiveFrom(server, ack, sizeof ack, address, port);
  }
  double seconds = Seconds(start);
  echo.join();
  udp_ops::Close(server);
  udp_ops::Close(client);
  return MBps(static_cast<double>(totalBytes), seconds);
}

// A minimal lock-step reader without any client overhead: shows how much of
// the gap to the floor is the server's and how much is curl's.
double RawClientRead(uint16_t serverPort, int blockSize, size_t expected) {
  uint16_t port = 0;
  int fd = BoundLoopbackSocket(port);
  std::string request = std::string("\0\1log/single.dat\0octet\0blksize\0", 31) +
                        std::to_string(blockSize) + std::string(1, '\0');
  std::vector<char> buffer(static_cast<size_t>(blockSize) + 4);
  uint32_t address;
  uint16_t from = 0;
  size_t received = 0;
  Clock::time_point start = Clock::now();
  udp_ops::SendTo(fd, request.data(), request.size(), 0x7F000001, serverPort);
  for (;;) {
    ssize_t got = udp_ops::ReceiveFrom(fd, buffer.data(), buffer.size(), address, from);
    if (got < 4 || buffer[1] == 5) break;
    char ack[4] = {0, 4, buffer[2], buffer[3]};
    if (buffer[1] == 6) ack[2] = ack[3] = 0;
    if (buffer[1] == 3) received += static_cast<size_t>(got) - 4;
    udp_ops::SendTo(fd, ack, 4, 0x7F000001, from);
    if (buffer[1] == 3 && got < blockSize + 4) break;
  }
  double seconds = Seconds(start);
  udp_ops::Close(fd);
  return received == expected ? MBps(static_cast<double>(received), seconds) : 0.0;
}

std::string CurlRead(uint16_t port, int blockSize, const std::string& name, const std::string& out) {
  return "curl -sS --tftp-blksize " + std::to_string(blockSize) + " -o " + out +
         " tftp://127.0.0.1:" + std::to_string(port) + "/" + name;
}

void SingleTransfers(uint16_t port, const std::string& tree, size_t bytes) {
  std::printf("single read of %zu MiB with curl (MB = 10^6 bytes)\n", bytes >> 20);
  std::printf("%8s %12s %12s %8s %14s %8s\n", "blksize", "curl MB/s", "floor MB/s", "ratio",
              "raw peer MB/s", "ratio");
  for (int blockSize : {512, 1428, 8192}) {
    const std::string out = tree + "/single.out";
    Clock::time_point start = Clock::now();
    bool ok = Run(CurlRead(port, blockSize, "log/single.dat", out));
    double tftp = MBps(static_cast<double>(bytes), Seconds(start));
    ok = ok && Run("cmp -s " + out + " " + tree + "/log/single.dat");
    double floor = PingPongFloor(static_cast<size_t>(blockSize), bytes);
    double raw = RawClientRead(port, blockSize, bytes);
    std::printf("%8d %12.1f %12.1f %8.2f %14.1f %8.2f%s\n", blockSize, tftp, floor, tftp / floor,
                raw, raw / floor, ok ? "" : "  (TRANSFER FAILED)");
  }
}

void ConcurrentTransfers(uint16_t port, const std::string& tree, int count, size_t bytes) {
  std::printf("%d concurrent reads of %zu MiB with curl\n", count, bytes >> 20);
  std::printf("%8s %16s %12s\n", "blksize", "aggregate MB/s", "identical");
  for (int blockSize : {512, 1428, 8192}) {
    std::string script, check;
    for (int i = 0; i < count; ++i) {
      const std::string n = std::to_string(i);
      script += CurlRead(port, blockSize, "log/c" + n, tree + "/c" + n + ".out") + " & ";
      check += "cmp -s " + tree + "/c" + n + ".out " + tree + "/log/c" + n + " && ";
    }
    Clock::time_point start = Clock::now();
    bool ok = Run("bash -c '" + script + "wait'");
    double seconds = Seconds(start);
    ok = ok && Run(check + "true");
    std::printf("%8d %16.1f %12s\n", blockSize, MBps(static_cast<double>(bytes) * count, seconds),
                ok ? "all" : "NO");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const size_t single = static_cast<size_t>(argc > 1 ? std::atoi(argv[1]) : 64) << 20;
  const int count = 50;
  const size_t each = size_t{4} << 20;
  std::string tree = (std::filesystem::temp_directory_path() / "dc_tftp_bench").string();
  std::filesystem::remove_all(tree);
  std::filesystem::create_directories(tree + "/log");
  WriteSample(tree + "/log/single.dat", single, 1);
  for (int i = 0; i < count; ++i) WriteSample(tree + "/log/c" + std::to_string(i), each, 10 + i);
  {
    TNetTrivialFTPServer server(tree);
    server.SetDefaultPort(0);
    server.Bindings().Add().IP = "127.0.0.1";
    server.SetActive(true);
    const uint16_t port = static_cast<uint16_t>(server.Bindings().At(0).Port);
    SingleTransfers(port, tree, single);
    ConcurrentTransfers(port, tree, count, each);
    TNetTFTPServerThread::WaitUntilAllEnded(10000);
  }
  std::filesystem::remove_all(tree);
  return 0;
}
