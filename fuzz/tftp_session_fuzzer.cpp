// The TFTP request server and its transfer sessions driven over 127.0.0.1 by
// arbitrary packet sequences: a request (well formed or raw bytes) and then
// acknowledgements, data blocks, errors and raw datagrams, some from a
// stranger's port. Every session must end within its time-outs, nothing may
// be written outside log/, config/ and alarms/ of the tree, and the server
// must still answer afterwards.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "tftp/net_trivial_ftp_server.h"
#include "tftp/session_budget.h"

namespace {

constexpr int kAnswerWaitMs = 5;

// A UDP socket of 127.0.0.1 with a port of its own.
class Peer {
 public:
  Peer() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in local = Address(0);
    fuzz::Require(fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0,
                  "peer socket");
  }
  ~Peer() { ::close(fd_); }
  void Send(uint16_t port, const std::string& bytes) const {
    sockaddr_in to = Address(port);
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  // The sender's port of the next datagram within timeoutMs; its bytes in bytes.
  std::optional<uint16_t> Receive(int timeoutMs, std::string* bytes = nullptr) const {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, timeoutMs) <= 0) return std::nullopt;
    char buffer[70000];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t got =
        ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0) return std::nullopt;
    if (bytes != nullptr) bytes->assign(buffer, static_cast<size_t>(got));
    return ntohs(from.sin_port);
  }
  void Drain() const {
    while (Receive(0)) {
    }
  }

 private:
  static sockaddr_in Address(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }
  int fd_;
};

std::string Word(uint16_t value) {
  return {static_cast<char>(value >> 8), static_cast<char>(value & 0xff)};
}

std::string PickName(FuzzedDataProvider& input) {
  static const char* const kNames[] = {
      "log/SU1/T1.dat", "config/SU1.ini", "alarms/new.dat", "LOG/su1/t1.DAT",  "log/../escape",
      "../escape",      "/etc/hostname",  "log/out/x",      "log/SU1/new.dat", "log\\SU1\\T1.dat"};
  if (input.ConsumeBool()) return input.ConsumeRandomLengthString(64);
  return kNames[input.ConsumeIntegralInRange<size_t>(0, std::size(kNames) - 1)];
}

std::string MakeRequest(FuzzedDataProvider& input) {
  if (input.ConsumeIntegralInRange(0, 7) == 0) return input.ConsumeRandomLengthString(128) + '\0';
  std::string bytes = Word(input.ConsumeIntegralInRange<uint16_t>(1, 2)) + PickName(input) + '\0';
  static const char* const kModes[] = {"octet", "netascii", "BINARY", "mail"};
  bytes += kModes[input.ConsumeIntegralInRange(0, 3)];
  bytes += '\0';
  if (input.ConsumeBool())
    bytes += std::string("blksize") + '\0' + input.ConsumeRandomLengthString(6) + '\0';
  return bytes;
}

// One datagram after the request; block numbers stay small, where sessions are.
std::string MakePacket(FuzzedDataProvider& input) {
  uint16_t block = input.ConsumeIntegralInRange<uint16_t>(0, 6);
  switch (input.ConsumeIntegralInRange(0, 4)) {
    case 0:
    case 1:
      return Word(4) + Word(block);
    case 2:
      return Word(3) + Word(block) + std::string(input.ConsumeIntegralInRange<size_t>(0, 520), 'd');
    case 3:
      return Word(5) + Word(input.ConsumeIntegral<uint8_t>()) + "stop" + '\0';
    default:
      return input.ConsumeRandomLengthString(40);
  }
}

struct Fixture {
  Fixture() {
    scratch.Reset({"log/SU1/T1.dat", "config/SU1.ini", "alarms/"});
    server.SetDefaultPort(0);
    server.SetLocalAddress("127.0.0.1");
    server.SetAnswerWaitMs(kAnswerWaitMs);
    server.SetActive(true);
  }
  uint16_t Port() { return static_cast<uint16_t>(server.LocalPort()); }

  fuzz::ScratchTree scratch;
  TNetTrivialFTPServer server{scratch.Tree()};
  Peer peer, stranger;
};

Fixture& Shared() {
  static Fixture* fixture = new Fixture;  // sessions may outlive a static's destruction
  return *fixture;
}

// Error answers at the request port are paced per address, and the inputs
// before may have used up this address's burst: the question is asked again
// until an answer comes, as a client would.
void RequireServerAnswers(Fixture& f) {
  f.peer.Drain();
  std::string answer;
  for (int i = 0; i < 50; ++i) {
    f.peer.Send(f.Port(), Word(4) + Word(1));  // no request: answered with an error
    std::optional<uint16_t> from = f.peer.Receive(100, &answer);
    if (from == f.Port()) return;
  }
  fuzz::Fail("the request server stopped answering");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture& f = Shared();
  FuzzedDataProvider input(data, size);
  f.peer.Send(f.Port(), MakeRequest(input));
  std::optional<uint16_t> session = f.peer.Receive(500);
  while (session && *session != f.Port() && input.remaining_bytes() > 0) {
    std::string packet = MakePacket(input);
    bool strange = input.ConsumeIntegralInRange(0, 9) == 0;
    (strange ? f.stranger : f.peer).Send(*session, packet);
  }
  fuzz::Require(SessionBudget::Process().WaitUntilAllEnded(5000), "a session did not end");
  f.scratch.RequireConfinedTree();
  f.scratch.Reset({"log/SU1/T1.dat", "config/SU1.ini", "alarms/"});
  if (size % 16 == 0) RequireServerAnswers(f);
  f.peer.Drain();
  f.stranger.Drain();
  return 0;
}
