// Helpers of the file-transfer tests: a temporary data tree, a raw UDP peer on
// 127.0.0.1, TFTP packet builders, a server on a free port, and event pumping
// for the reports that sessions hand to the main thread.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tftp/net_trivial_ftp_server.h"

namespace tftp_test {

// A fresh directory with log/, config/ and alarms/; removed at the end.
class TempTree {
 public:
  TempTree();
  ~TempTree();
  const std::string& Path() const { return path_; }
  std::string At(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Deterministic pseudo-random bytes.
std::string SampleBytes(size_t size, unsigned seed = 1);

struct Datagram {
  std::string Bytes;
  uint16_t Port = 0;  // sender's port
};

// A UDP socket on a loopback address (127.0.0.1 unless given) with a port of its own.
class RawPeer {
 public:
  explicit RawPeer(const char* address = "127.0.0.1");
  ~RawPeer();
  void Send(uint16_t port, const std::string& bytes) const;
  // The next datagram, or nothing within timeoutMs.
  std::optional<Datagram> Receive(int timeoutMs = 3000) const;
  uint16_t Port() const { return port_; }
  // Takes datagrams from the server's port only: any other meets a closed
  // port (and its sender an ICMP error); Disconnect takes all again.
  void ConnectTo(uint16_t port) const;
  void Disconnect() const;

 private:
  int fd_;
  uint16_t port_;
};

std::string Word(uint16_t value);
std::string Request(uint16_t opcode, const std::string& name, const std::string& mode,
                    const std::vector<std::pair<std::string, std::string>>& options = {});
std::string Data(uint16_t block, const std::string& payload);
std::string Ack(uint16_t block);
std::string Error(uint16_t code, const std::string& text);
uint16_t OpcodeOf(const Datagram& d);
uint16_t BlockOf(const Datagram& d);       // also the code of an error packet
std::string PayloadOf(const Datagram& d);  // data bytes, or an error's text without its 0

// Processes Qt events until done() holds or timeoutMs passed; returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 10000);
// Pumps until every session has ended.
bool AwaitSessionsEnded(int timeoutMs = 15000);

// A TFTP server on a free port of 127.0.0.1, serving tree; its sessions wait
// answerWaitMs, and never longer whatever timeout a client names.
struct RunningServer {
  explicit RunningServer(const TempTree& tree, int answerWaitMs = 1500);
  ~RunningServer();
  uint16_t Port() const;
  std::unique_ptr<TNetTrivialFTPServer> Server;
};

// Runs a shell command; returns its exit status.
int Shell(const std::string& command);

// A raw peer that drives a running server packet by packet.
class RawPeerTest : public ::testing::Test {
 protected:
  explicit RawPeerTest(int answerWaitMs = 1500) : server_(tree_, answerWaitMs) {}

  // The next datagram; a failure when none arrives in time.
  Datagram Next(int timeoutMs = 3000) {
    std::optional<Datagram> d = peer_.Receive(timeoutMs);
    EXPECT_TRUE(d.has_value()) << "nothing arrived";
    return d.value_or(Datagram{});
  }
  // Sends a request to the server's port; returns the first answer.
  Datagram Start(const std::string& request) {
    peer_.Send(server_.Port(), request);
    return Next();
  }

  TempTree tree_;
  RunningServer server_;
  RawPeer peer_;
};

}  // namespace tftp_test
