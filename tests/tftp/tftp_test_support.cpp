#include "tftp_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tftp/session_budget.h"

namespace tftp_test {

TempTree::TempTree() {
  std::string pattern = (std::filesystem::temp_directory_path() / "dc_tftp_XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = std::filesystem::canonical(pattern).string();
  for (const char* dir : {"log", "config", "alarms"}) std::filesystem::create_directory(At(dir));
}

TempTree::~TempTree() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

std::string SampleBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

RawPeer::RawPeer(const char* address) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, address, &local.sin_addr);
  ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
  socklen_t length = sizeof local;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
  port_ = ntohs(local.sin_port);
}

RawPeer::~RawPeer() { ::close(fd_); }

void RawPeer::ConnectTo(uint16_t port) const {
  const sockaddr_in to = SocketAddress(INADDR_LOOPBACK, port);
  ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void RawPeer::Disconnect() const {
  sockaddr none{};
  none.sa_family = AF_UNSPEC;
  ::connect(fd_, &none, sizeof none);
}

void RawPeer::Send(uint16_t port, const std::string& bytes) const {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

std::optional<Datagram> RawPeer::Receive(int timeoutMs) const {
  pollfd wait{fd_, POLLIN, 0};
  if (::poll(&wait, 1, timeoutMs) != 1) return std::nullopt;
  std::string buffer(70000, '\0');
  sockaddr_in from{};
  socklen_t length = sizeof from;
  ssize_t got =
      ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
  if (got < 0) return std::nullopt;
  buffer.resize(static_cast<size_t>(got));
  return Datagram{buffer, ntohs(from.sin_port)};
}

std::string Word(uint16_t value) {
  return std::string{static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

std::string Request(uint16_t opcode, const std::string& name, const std::string& mode,
                    const std::vector<std::pair<std::string, std::string>>& options) {
  std::string packet = Word(opcode) + name + '\0' + mode + '\0';
  for (const auto& [key, value] : options) packet += key + '\0' + value + '\0';
  return packet;
}

std::string Data(uint16_t block, const std::string& payload) {
  return Word(3) + Word(block) + payload;
}
std::string Ack(uint16_t block) { return Word(4) + Word(block); }
std::string Error(uint16_t code, const std::string& text) {
  return Word(5) + Word(code) + text + '\0';
}

static uint16_t WordAt(const std::string& bytes, size_t offset) {
  if (bytes.size() < offset + 2) return 0xFFFF;
  return static_cast<uint16_t>((static_cast<unsigned char>(bytes[offset]) << 8) |
                               static_cast<unsigned char>(bytes[offset + 1]));
}

uint16_t OpcodeOf(const Datagram& d) { return WordAt(d.Bytes, 0); }
uint16_t BlockOf(const Datagram& d) { return WordAt(d.Bytes, 2); }

std::string PayloadOf(const Datagram& d) {
  if (d.Bytes.size() < 4) return {};
  std::string payload = d.Bytes.substr(4);
  if (OpcodeOf(d) == 5 && !payload.empty() && payload.back() == '\0') payload.pop_back();
  return payload;
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

bool AwaitSessionsEnded(int timeoutMs) {
  return PumpUntil([] { return SessionBudget::Process().LiveCount() == 0; }, timeoutMs);
}

RunningServer::RunningServer(const TempTree& tree, int answerWaitMs)
    : Server(std::make_unique<TNetTrivialFTPServer>(tree.Path())) {
  Server->SetDefaultPort(0);
  Server->SetLocalAddress("127.0.0.1");
  Server->SetAnswerWaitMs(answerWaitMs);
  Server->SetActive(true);
}

RunningServer::~RunningServer() {
  AwaitSessionsEnded();
  Server.reset();
}

uint16_t RunningServer::Port() const { return static_cast<uint16_t>(Server->LocalPort()); }

int Shell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tftp_test
