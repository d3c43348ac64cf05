// The request server seen from the wire: error answers with their exact
// texts, option acknowledgements, confinement to the data tree, and datagrams
// that must not stop the listener.
#include "tftp/net_trivial_ftp_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "store/append_handles.h"
#include "store/busy_files.h"
#include "tftp/session_budget.h"
#include "tftp/tftp_exceptions.h"
#include "tftp_test_support.h"

namespace tftp_test {
namespace {

class RequestServerTest : public ::testing::Test {
 protected:
  // Sends a datagram to the server port and returns the answer.
  Datagram Ask(const std::string& packet) {
    peer_.Send(server_.Port(), packet);
    std::optional<Datagram> answer = peer_.Receive();
    EXPECT_TRUE(answer.has_value()) << "no answer";
    return answer.value_or(Datagram{});
  }
  void ExpectError(const std::string& packet, uint16_t code, const std::string& text) {
    Datagram answer = Ask(packet);
    EXPECT_EQ(OpcodeOf(answer), 5);
    EXPECT_EQ(BlockOf(answer), code);
    EXPECT_EQ(PayloadOf(answer), text);
    EXPECT_EQ(answer.Port, server_.Port()) << "error answers leave from the server port";
    EXPECT_EQ(answer.Bytes.back(), '\0');
  }
  // A full read of name with 512-byte blocks; returns the bytes received.
  std::string ReadAll(const std::string& name) {
    Datagram block = Ask(Request(1, name, "octet"));
    std::string content;
    while (OpcodeOf(block) == 3) {
      content += PayloadOf(block);
      peer_.Send(block.Port, Ack(BlockOf(block)));
      if (block.Bytes.size() < 516) return content;
      block = peer_.Receive().value_or(Datagram{});
    }
    ADD_FAILURE() << "transfer broke off with opcode " << OpcodeOf(block) << " "
                  << PayloadOf(block);
    return content;
  }

  TempTree tree_;
  RunningServer server_{tree_};
  RawPeer peer_;
};

TEST_F(RequestServerTest, RefusedRequestsGetTheirCodeAndExactText) {
  ExpectError(Request(1, "log/none.dat", "octet"), 1, "Cannot open file log/none.dat");
  ExpectError(Request(1, "log/x", "mail"), 4, "Unsupported transfer mode: \"mail\"");
  ExpectError(Word(1) + "log/x", 4, "Unsupported transfer mode: \"\"");
  ExpectError(Request(2, "log/nodir/x.dat", "octet"), 3, "Cannot create file log/nodir/x.dat");
  const std::string from = "Unexpected operation from 127.0.0.1:" + std::to_string(peer_.Port());
  ExpectError(Ack(0), 4, from);
  ExpectError(Data(1, "abc"), 4, from);
  ExpectError(Word(6) + "blksize" + '\0' + "512" + '\0', 4, from);
  ExpectError(Request(1, "log/x", "octet", {{"blksize", "abc"}}), 0,
              "'abc' is not a valid integer value");
  ExpectError(std::string(1, '\x01'), 0, "Stream read error");
}

TEST_F(RequestServerTest, ModesAreAcceptedInAnyLetterCaseAndMoveBytesUnchanged) {
  const std::string content = "line one\r\nline two\nend\r";
  WriteFile(tree_.At("log/a.txt"), content);
  for (const char* mode : {"OCTET", "Binary", "netascii", "NetAscii"}) {
    Datagram block = Ask(Request(1, "log/a.txt", mode));
    EXPECT_EQ(OpcodeOf(block), 3) << mode;
    EXPECT_EQ(PayloadOf(block), content) << mode;
    peer_.Send(block.Port, Ack(1));
  }
}

TEST_F(RequestServerTest, NoDatagramStopsTheListener) {
  WriteFile(tree_.At("config/c.ini"), "config");
  peer_.Send(server_.Port(), "");  // zero bytes: ignored
  EXPECT_FALSE(peer_.Receive(300).has_value());
  peer_.Send(server_.Port(), std::string(9000, '\x01'));  // longer than the buffer: dropped
  EXPECT_FALSE(peer_.Receive(300).has_value());
  ExpectError(std::string(1, '\x02'), 0, "Stream read error");
  ExpectError(Request(2, "config/c.ini", "octet", {{"blksize", "99x"}}), 0,
              "'99x' is not a valid integer value");
  EXPECT_EQ(ReadAll("config/c.ini"), "config");
  EXPECT_TRUE(server_.Server->ListenerRunning());
  EXPECT_EQ(ReadFile(tree_.At("config/c.ini")), "config") << "the refused write did not empty it";
}

// A directory swapped for a link out of log/ while it is fetched: what
// arrives is the tree's file or a refusal, never what lies outside.
TEST_F(RequestServerTest, DirectorySwappedForALinkOutIsNeverFetchedThrough) {
  std::filesystem::create_directories(tree_.At("secret"));
  std::filesystem::create_directories(tree_.At("log/SU1"));
  WriteFile(tree_.At("secret/T1.dat"), "SECRET");
  WriteFile(tree_.At("log/SU1/T1.dat"), "inside");
  ASSERT_EQ(::symlink(tree_.At("secret").c_str(), tree_.At("log/swap").c_str()), 0);
  std::atomic<bool> stop = false;
  std::thread swapper([&] {
    std::string a = tree_.At("log/SU1"), b = tree_.At("log/swap");
    while (!stop) ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
  });
  int leaks = 0, fetched = 0;
  for (int i = 0; i < 200; ++i) {
    RawPeer peer;  // a port of its own: no fetch is taken for a repeat of the last
    peer.Send(server_.Port(), Request(1, "log/SU1/T1.dat", "octet"));
    std::optional<Datagram> answer = peer.Receive(500);  // refusals are answered at a bounded rate
    if (!answer || OpcodeOf(*answer) != 3) continue;
    peer.Send(answer->Port, Ack(1));
    ++(PayloadOf(*answer) == "SECRET" ? leaks : fetched);
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(leaks, 0);
  EXPECT_GT(fetched, 0);
}

TEST_F(RequestServerTest, NamesOutsideTheThreeDirectoriesAreDenied) {
  WriteFile(tree_.At("secret.txt"), "top secret");
  WriteFile(tree_.At("log/inside.txt"), "inside");
  ::symlink(tree_.At("secret.txt").c_str(), tree_.At("log/link.txt").c_str());
  for (const std::string name :
       {"secret.txt", "/etc/passwd", "../secret.txt", "log/../secret.txt", "log/../../etc/passwd",
        "other/x", "log/link.txt", ".\\log\\..\\secret.txt"}) {
    ExpectError(Request(1, name, "octet"), 2, "Access to " + name + " denied");
    ExpectError(Request(2, name, "octet"), 2, "Access to " + name + " denied");
  }
  EXPECT_EQ(ReadFile(tree_.At("secret.txt")), "top secret");
  EXPECT_FALSE(FileExists(tree_.At("other/x")));
  EXPECT_EQ(ReadAll(".\\log\\inside.txt"), "inside");
  EXPECT_EQ(ReadAll(tree_.Path() + "/log/inside.txt"), "inside");
  EXPECT_EQ(ReadAll(tree_.Path() + "\\log\\inside.txt"), "inside");
}

TEST_F(RequestServerTest, OptionAcknowledgementCarriesExactlyTheAgreedBlockSize) {
  WriteFile(tree_.At("log/b.dat"), SampleBytes(3000));
  struct Case {
    std::vector<std::pair<std::string, std::string>> options;
    std::string oack;  // empty: no OACK, data block 1 of 512 bytes comes first
  };
  const std::string z(1, '\0');
  const std::vector<Case> cases = {
      {{{"blksize", "1024"}}, Word(6) + "blksize" + z + "1024" + z},
      {{{"blksize", "100"}}, Word(6) + "blksize" + z + "100" + z},
      {{{"blksize", "8"}}, Word(6) + "blksize" + z + "8" + z},
      {{{"blksize", "65464"}}, Word(6) + "blksize" + z + "65464" + z},
      {{{"blksize", "70000"}}, Word(6) + "blksize" + z + "65464" + z},
      {{{"BLKSIZE", "1428"}}, Word(6) + "BLKSIZE" + z + "1428" + z},
      {{{"color", "red"}, {"BlkSize", "2048"}}, Word(6) + "BlkSize" + z + "2048" + z},
      {{{"blksize", "7"}}, ""},
      {{{"blksize", "0"}}, ""},
      {{{"blksize", "-5"}}, ""},
      {{{"colour", "0"}, {"color", "blue"}}, ""},
  };
  for (const Case& c : cases) {
    Datagram first = Ask(Request(1, "log/b.dat", "octet", c.options));
    if (c.oack.empty()) {
      EXPECT_EQ(OpcodeOf(first), 3);
      EXPECT_EQ(first.Bytes.size(), 516u);
      peer_.Send(first.Port, Error(0, "enough"));
    } else {
      EXPECT_EQ(first.Bytes, c.oack);
      peer_.Send(first.Port, Ack(0));
      Datagram block = peer_.Receive().value_or(Datagram{});
      EXPECT_EQ(OpcodeOf(block), 3);
      const std::string body = c.oack.substr(0, c.oack.size() - 1);  // without the last 0
      const std::string digits = body.substr(body.rfind(z) + 1);
      EXPECT_EQ(block.Bytes.size(), std::min<size_t>(3000, std::stoul(digits)) + 4);
      peer_.Send(block.Port, Error(0, "enough"));
    }
    EXPECT_TRUE(peer_.Receive().has_value()) << "the aborted session answers once";
  }
}

// A store that never sends data, or is cut, leaves the file as it was; a
// whole one replaces it, and records held meanwhile follow the new content.
TEST_F(RequestServerTest, AStoreReplacesItsFileOnlyWhenWholeAndRecordsFollowIt) {
  const std::string path = tree_.At("alarms/a.txt");
  WriteFile(path, "old content");
  Datagram ack = Ask(Request(2, "alarms/a.txt", "octet", {{"timeout", "255"}}));
  EXPECT_EQ(OpcodeOf(ack), 6);
  EXPECT_NE(ack.Port, server_.Port());
  EXPECT_EQ(ReadFile(path), "old content");
  EXPECT_TRUE(BusyFiles::Instance().IsBusy(path));
  peer_.Send(ack.Port, Data(1, std::string(512, 'n')));
  EXPECT_EQ(peer_.Receive().value_or(Datagram{}).Bytes, Ack(1));
  peer_.Send(ack.Port, Error(3, "disk full"));
  EXPECT_EQ(PayloadOf(peer_.Receive().value_or(Datagram{})), "Operation aborted");
  EXPECT_TRUE(AwaitSessionsEnded());
  EXPECT_FALSE(BusyFiles::Instance().IsBusy(path));
  EXPECT_EQ(ReadFile(path), "old content");

  ack = Ask(Request(2, "alarms/a.txt", "octet"));
  BusyFiles::Instance().AppendOrHold(path, "record\n",
                                     [&](std::string_view now) { AppendToFile(path, now); });
  EXPECT_EQ(ReadFile(path), "old content");
  peer_.Send(ack.Port, Data(1, "new\n"));
  EXPECT_EQ(peer_.Receive().value_or(Datagram{}).Bytes, Ack(1));
  EXPECT_EQ(ReadFile(path), "new\nrecord\n");
  peer_.Send(ack.Port, Error(0, "done"));
  EXPECT_TRUE(peer_.Receive().has_value());
  EXPECT_TRUE(AwaitSessionsEnded());
  const auto entries = std::filesystem::directory_iterator(tree_.At("alarms"));
  EXPECT_EQ(std::distance(begin(entries), end(entries)), 1) << "a temporary file was left";
  ExpectError(Request(1, "alarms/.sweep-a1B2c3", "octet"), 2,
              "Access to alarms/.sweep-a1B2c3 denied");
}

// A file being written is nobody else's; a file being read may be read by
// others but not written. Refusals empty nothing.
TEST_F(RequestServerTest, AFileInUseIsRefusedWithTheCodeOfItsRequest) {
  const std::string path = tree_.At("config/c.ini");
  WriteFile(path, "old content");
  Datagram upload = Ask(Request(2, "config/c.ini", "octet"));
  ASSERT_EQ(upload.Bytes, Ack(0));
  peer_.Send(upload.Port, Data(5, "x"));  // heard from: later requests are new ones
  ASSERT_EQ(peer_.Receive().value_or(Datagram{}).Bytes, Ack(0));
  ExpectError(Request(2, "config/c.ini", "octet"), 3, "Cannot create file config/c.ini");
  ExpectError(Request(1, "config/c.ini", "octet"), 1, "Cannot open file config/c.ini");
  peer_.Send(upload.Port, Data(1, "new"));
  ASSERT_EQ(peer_.Receive().value_or(Datagram{}).Bytes, Ack(1));
  EXPECT_FALSE(BusyFiles::Instance().IsBusy(path)) << "not given back before the last ACK";
  peer_.Send(upload.Port, Error(0, "done"));  // ends the session's wait for a repeat
  EXPECT_EQ(PayloadOf(peer_.Receive().value_or(Datagram{})), "Operation aborted");
  ASSERT_TRUE(AwaitSessionsEnded());
  EXPECT_EQ(ReadFile(path), "new");

  WriteFile(path, std::string(600, 'r'));
  Datagram first = Ask(Request(1, "config/c.ini", "octet"));
  ASSERT_EQ(OpcodeOf(first), 3);
  peer_.Send(first.Port, Ack(0));  // heard from: later requests are new ones
  RawPeer second;
  second.Send(server_.Port(), Request(1, "config/c.ini", "octet"));
  Datagram shared = second.Receive().value_or(Datagram{});
  EXPECT_EQ(OpcodeOf(shared), 3) << "readers share the file";
  ExpectError(Request(2, "config/c.ini", "octet"), 3, "Cannot create file config/c.ini");
  EXPECT_EQ(ReadFile(path), std::string(600, 'r'));
  peer_.Send(first.Port, Error(0, "done"));
  second.Send(shared.Port, Error(0, "done"));
  EXPECT_TRUE(AwaitSessionsEnded());
}

// A session's buffer follows the file's size, and all buffers together are
// capped: silent requests for the largest blocks and window cannot run the
// program out of memory.
TEST_F(RequestServerTest, SessionBuffersFollowTheFileAndAreCappedTogether) {
  WriteFile(tree_.At("log/two.dat"), "hi");
  WriteFile(tree_.At("log/big.dat"), SampleBytes(9 << 20));
  const std::vector<std::pair<std::string, std::string>> largest = {{"blksize", "65464"},
                                                                    {"windowsize", "64"}};
  // One peer per request: the same request from one port would be a repeat.
  std::vector<std::pair<std::unique_ptr<RawPeer>, uint16_t>> sessions;
  auto ask = [&](const std::string& name) {
    auto requester = std::make_unique<RawPeer>();
    requester->Send(server_.Port(), Request(1, name, "octet", largest));
    Datagram answer = requester->Receive().value_or(Datagram{});
    sessions.emplace_back(std::move(requester), answer.Port);
    return answer;
  };
  for (int i = 0; i < 60; ++i) {
    Datagram oack = ask("log/two.dat");
    ASSERT_EQ(OpcodeOf(oack), 6) << i << ": " << PayloadOf(oack);
  }
  EXPECT_LT(SessionBudget::Process().BytesInUse(), size_t{1} << 20);
  Datagram refusal;
  for (int i = 0; i < 20 && OpcodeOf(refusal) != 5; ++i) refusal = ask("log/big.dat");
  EXPECT_EQ(refusal.Bytes, Error(3, "Too many transfers at once"));
  EXPECT_EQ(refusal.Port, server_.Port());
  EXPECT_LE(SessionBudget::Process().BytesInUse(), SessionBudget::kMaxBufferBytes);
  for (auto& [requester, port] : sessions) requester->Send(port, Error(0, "enough"));
  EXPECT_TRUE(AwaitSessionsEnded());
}

// Out of descriptors for the session's socket: the request is answered and
// everything taken for it (file, busy mark, session count) is given back.
TEST_F(RequestServerTest, RequestThatGetsNoSessionGivesEverythingBack) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the undefined-behaviour checks of this build open descriptors of their own";
#endif
  WriteFile(tree_.At("log/n.dat"), "next");
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  const int lowestFree = ::dup(0);
  ::close(lowestFree);
  rlimit tight = limit;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree) + 1;  // room for the file, not for a socket
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  peer_.Send(server_.Port(), Request(1, "log/n.dat", "octet"));
  std::optional<Datagram> answer = peer_.Receive();
  ::setrlimit(RLIMIT_NOFILE, &limit);
  ASSERT_TRUE(answer.has_value()) << "the request was not answered";
  EXPECT_EQ(answer->Bytes, Error(0, "Socket Error # 10024\r\nToo many open files."));
  EXPECT_FALSE(BusyFiles::Instance().IsBusy(tree_.At("log/n.dat")));
  EXPECT_EQ(SessionBudget::Process().LiveCount(), 0);
  EXPECT_EQ(ReadAll("log/n.dat"), "next");
}

TEST_F(RequestServerTest, HandlersDecideAccessAndMaySupplyTheStream) {
  struct Memory : TransferStream {
    std::string bytes;
    size_t at = 0;
    size_t Read(char* buffer, size_t size) override {
      size_t n = std::min(size, bytes.size() - at);
      bytes.copy(buffer, n, at);
      at += n;
      return n;
    }
    size_t Write(const char*, size_t) override { return 0; }
    int64_t Position() const override { return static_cast<int64_t>(at); }
  };
  // The listener thread reads the handlers: they are assigned while it is stopped.
  server_.Server->SetActive(false);
  server_.Server->OnReadFile = [](TNetTrivialFTPServer&, std::string& name, const TPeerInfo&,
                                  bool& grant, std::unique_ptr<TransferStream>& stream, bool&) {
    if (name == "forbidden") grant = false;
    if (name == "memory") {
      auto memory = std::make_unique<Memory>();
      memory->bytes = "from memory";
      stream = std::move(memory);
    }
  };
  server_.Server->SetActive(true);
  ExpectError(Request(1, "forbidden", "octet"), 2, "Access to forbidden denied");
  EXPECT_EQ(ReadAll("memory"), "from memory");
}

// A window of large blocks comes in one burst while the session is still
// writing the first block: all of it must wait in the socket, or its tail is
// dropped and the window sent again, and again.
TEST_F(RequestServerTest, AWholeWindowWaitsWhileTheSessionWritesItsFirstBlock) {
  constexpr int kWindow = 16;
  constexpr int kBlock = 65464;
  long systemMax = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> systemMax;
  if (systemMax < 2L * kWindow * (kBlock + 100)) GTEST_SKIP() << "net.core.rmem_max too small";
  struct SlowSink : TransferStream {
    int64_t written = 0;
    size_t Write(const char*, size_t size) override {
      if (written == 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
      written += static_cast<int64_t>(size);
      return size;
    }
    size_t Read(char*, size_t) override { return 0; }
    int64_t Position() const override { return written; }
  };
  server_.Server->SetActive(false);
  server_.Server->OnWriteFile = [](TNetTrivialFTPServer&, std::string&, const TPeerInfo&, bool&,
                                   std::unique_ptr<TransferStream>& stream,
                                   bool&) { stream = std::make_unique<SlowSink>(); };
  server_.Server->SetActive(true);
  Datagram optionAck = Ask(Request(2, "log/window", "octet",
                                   {{"blksize", std::to_string(kBlock)}, {"windowsize", "16"}}));
  for (int block = 1; block <= kWindow; ++block)
    peer_.Send(optionAck.Port, Data(static_cast<uint16_t>(block), std::string(kBlock, 'w')));
  EXPECT_EQ(peer_.Receive().value_or(Datagram{}).Bytes, Ack(kWindow)) << "blocks were dropped";
  peer_.Send(optionAck.Port, Error(0, "done"));
  EXPECT_TRUE(AwaitSessionsEnded());
}

TEST_F(RequestServerTest, ReportArrivesOnTheMainThreadWithOutcomeAndPeer) {
  struct Report {
    bool success;
    TPeerInfo peer;
    bool write;
    bool mainThread;
  };
  std::vector<Report> reports;
  server_.Server->SetActive(false);  // the listener reads the handler
  server_.Server->OnTransferComplete = [&](TNetTrivialFTPServer&, bool success,
                                           const TPeerInfo& peer,
                                           std::unique_ptr<TransferStream>& stream, bool write) {
    EXPECT_EQ(stream, nullptr) << "the session freed the file it owned";
    reports.push_back({success, peer, write, QThread::currentThread() == qApp->thread()});
  };
  server_.Server->SetActive(true);
  WriteFile(tree_.At("log/r.txt"), "report me");
  EXPECT_EQ(ReadAll("log/r.txt"), "report me");
  Datagram ack = Ask(Request(2, "log/w.txt", "octet"));
  peer_.Send(ack.Port, Error(0, "changed my mind"));
  ASSERT_TRUE(PumpUntil([&] { return reports.size() == 2; }));
  // The two sessions end on their own threads: their reports may come in either order.
  if (reports[0].write) std::swap(reports[0], reports[1]);
  EXPECT_TRUE(reports[0].success);
  EXPECT_FALSE(reports[0].write);
  EXPECT_EQ(reports[0].peer.Host, "127.0.0.1");
  EXPECT_EQ(reports[0].peer.Port, peer_.Port());
  EXPECT_FALSE(reports[1].success);
  EXPECT_TRUE(reports[1].write);
  EXPECT_TRUE(reports[0].mainThread && reports[1].mainThread);
}

TEST(RequestServerLifetimeTest, SessionOutlivingItsServerEndsWithoutReportingToIt) {
  TempTree tree;
  WriteFile(tree.At("log/long.dat"), SampleBytes(5000));
  RawPeer peer;
  int reports = 0;
  {
    RunningServer server(tree, 200);
    server.Server->SetActive(false);
    server.Server->OnTransferComplete = [&](auto&&...) { ++reports; };
    server.Server->SetActive(true);
    peer.Send(server.Port(), Request(1, "log/long.dat", "octet"));
    ASSERT_TRUE(peer.Receive().has_value());
    server.Server.reset();  // destroyed while the session still waits for an answer
  }
  EXPECT_TRUE(AwaitSessionsEnded());
  PumpUntil([] { return false; }, 200);
  EXPECT_EQ(reports, 0);
}

// One forged error packet from this port to itself would loop for ever.
TEST_F(RequestServerTest, ErrorsAreNeverAnsweredAndOtherStraysAtAPacePerAddress) {
  peer_.Send(server_.Port(), Error(0, "loop"));
  EXPECT_FALSE(peer_.Receive(300).has_value()) << "an error packet was answered";
  for (int i = 0; i < 1000; ++i) peer_.Send(server_.Port(), Ack(1));
  int answers = 0;
  while (peer_.Receive(300)) ++answers;
  EXPECT_GE(answers, TNetTrivialFTPServer::kAnswerBurst);
  EXPECT_LT(answers, 150);
  RawPeer other("127.0.0.2");
  other.Send(server_.Port(), Ack(1));
  EXPECT_EQ(OpcodeOf(other.Receive().value_or(Datagram{})), 5);
}

TEST_F(RequestServerTest, OneAddressHoldsAQuarterOfTheSessionsAndOthersAreStillServed) {
  SessionBudget::Process().SetLimits(8, SessionBudget::kMaxBufferBytes);
  std::vector<Datagram> held;
  for (const char* name : {"log/p1", "log/p2", "log/p3"}) {
    WriteFile(tree_.At(name), "p");
    held.push_back(Ask(Request(1, name, "octet")));
  }
  RawPeer other("127.0.0.2");
  other.Send(server_.Port(), Request(1, "log/p1", "octet"));
  Datagram served = other.Receive().value_or(Datagram{});
  SessionBudget::Process().SetLimits(SessionBudget::kMaxSessions, SessionBudget::kMaxBufferBytes);
  EXPECT_EQ(held[1].Bytes, Data(1, "p"));
  EXPECT_EQ(held[2].Bytes, Error(3, "Too many transfers at once"));
  EXPECT_EQ(served.Bytes, Data(1, "p"));
  other.Send(served.Port, Ack(1));
  for (int i = 0; i < 2; ++i) peer_.Send(held[i].Port, Ack(1));
  EXPECT_TRUE(AwaitSessionsEnded());
}

// A session that never heard from its peer may be forged: a new request
// takes its place when the cap is full; one that heard keeps its place.
TEST_F(RequestServerTest, ANewRequestTakesThePlaceOfASessionNeverHeardFrom) {
  SessionBudget::Process().SetLimits(1, SessionBudget::kMaxBufferBytes);
  WriteFile(tree_.At("log/f.dat"), std::string(600, 'f'));
  Datagram forged = Ask(Request(1, "log/f.dat", "octet", {{"timeout", "255"}}));
  RawPeer real("127.0.0.2");
  real.Send(server_.Port(), Request(1, "log/f.dat", "octet"));
  Datagram served = real.Receive().value_or(Datagram{});
  real.Send(served.Port, Ack(1));
  Datagram second = real.Receive().value_or(Datagram{});
  EXPECT_FALSE(peer_.Receive(300).has_value()) << "the session that gave way ends quietly";
  Datagram refused = Ask(Request(1, "log/f.dat", "octet"));
  SessionBudget::Process().SetLimits(SessionBudget::kMaxSessions, SessionBudget::kMaxBufferBytes);
  EXPECT_EQ(OpcodeOf(forged), 6);
  EXPECT_EQ(served.Bytes, Data(1, std::string(512, 'f')));
  EXPECT_EQ(second.Bytes, Data(2, std::string(88, 'f')));
  EXPECT_EQ(refused.Bytes, Error(3, "Too many transfers at once"));
  real.Send(served.Port, Ack(2));
  EXPECT_TRUE(AwaitSessionsEnded());
}

// A complete store waits for a repeat of its last block; stores one after
// another from one address must not run out of its share meanwhile.
TEST_F(RequestServerTest, CompleteStoresWaitingForARepeatLeaveTheirAddressItsShare) {
  SessionBudget::Process().SetLimits(8, SessionBudget::kMaxBufferBytes);
  std::vector<Datagram> answers;
  for (const char* name : {"log/s1", "log/s2", "log/s3", "log/s4"}) {
    Datagram ack = Ask(Request(2, name, "octet"));
    peer_.Send(ack.Port, Data(1, "short"));
    answers.push_back(peer_.Receive().value_or(Datagram{}));
  }
  SessionBudget::Process().SetLimits(SessionBudget::kMaxSessions, SessionBudget::kMaxBufferBytes);
  for (const Datagram& answer : answers) EXPECT_EQ(answer.Bytes, Ack(1));
  EXPECT_EQ(SessionBudget::Process().LiveCount(), 4) << "each store still waits for a repeat";
  for (int repeat = 1; repeat <= 2; ++repeat) {
    peer_.Send(answers[0].Port, Data(1, "short"));
    EXPECT_EQ(peer_.Receive().value_or(Datagram{}).Bytes, Ack(1)) << "repeat " << repeat;
  }
  peer_.Send(answers[0].Port, Data(1, "short"));  // its third send is used up: it ends quietly
  EXPECT_FALSE(peer_.Receive(1000)) << "a complete store answered a repeat with an error";
  EXPECT_TRUE(AwaitSessionsEnded());
  EXPECT_EQ(ReadFile(tree_.At("log/s4")), "short");
}

// Towards a port that answers with ICMP (the victim of a forged request)
// the session sends its first datagram and no other.
TEST(UnreachablePeerTest, ASessionEndsAtTheFirstIcmpErrorForItsPeer) {
  TempTree tree;
  RunningServer server(tree, 20000);
  int failures = 0;
  server.Server->SetActive(false);
  server.Server->OnTransferComplete = [&](auto&, bool success, auto&&...) { failures += !success; };
  server.Server->SetActive(true);
  WriteFile(tree.At("log/u.dat"), "u");
  RawPeer victim;
  victim.ConnectTo(server.Port());  // a datagram from any other port meets a closed port
  victim.Send(server.Port(), Request(1, "log/u.dat", "octet"));
  EXPECT_TRUE(PumpUntil([&] { return failures == 1; })) << "the session outlived the ICMP error";
  victim.Disconnect();
  EXPECT_FALSE(victim.Receive(500).has_value()) << "a datagram followed the ICMP error";
}

TEST(SessionBudgetTest, FinalWaitsHaveACapWithAQuarterForEachAddress) {
  SessionBudget budget;
  std::vector<SessionBudget::Claim> waiting;
  for (int i = 0; i < SessionBudget::kMaxFinalWaits / 4; ++i) {
    waiting.push_back(budget.Take(200, 1));
    ASSERT_TRUE(waiting.back().MoveToFinalWait());
  }
  SessionBudget::Claim last = budget.Take(200, 1);
  EXPECT_FALSE(last.MoveToFinalWait());
  EXPECT_EQ(budget.BytesInUse(), 200u) << "final waits hold no bytes, a refused one keeps its own";
  EXPECT_TRUE(budget.Take(200, 2).MoveToFinalWait());
}

// The ending waits for the last session, a transfer or a final wait, and is
// woken when it ends, not at its limit.
TEST(SessionBudgetTest, TheEndingIsWokenWhenTheLastSessionEnds) {
  SessionBudget budget;
  for (bool finalWait : {false, true}) {
    SessionBudget::Claim claim = budget.Take(200, 1);
    if (finalWait) ASSERT_TRUE(claim.MoveToFinalWait());
    auto ended = std::async(std::launch::async, [&] { return budget.WaitUntilAllEnded(30000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the ending waits by now
    claim = SessionBudget::Claim();
    EXPECT_EQ(ended.wait_for(std::chrono::seconds(10)), std::future_status::ready) << finalWait;
    EXPECT_TRUE(ended.get());
  }
}

TEST(SessionBudgetTest, EachAddressHoldsAtMostAQuarterOfTheBufferBytes) {
  SessionBudget budget;
  budget.SetLimits(100, 800);
  SessionBudget::Claim first = budget.Take(200, 1);
  EXPECT_THROW(budget.Take(1, 1), ENetTFTPAllocationExceeded);
  SessionBudget::Claim second = budget.Take(200, 2);
  first = SessionBudget::Claim();
  EXPECT_EQ(budget.BytesInUse(), 200u);
  first = budget.Take(200, 1);
}

}  // namespace
}  // namespace tftp_test
