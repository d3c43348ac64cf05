// File transfer of the real program under faults: clients killed in the
// middle of a transfer, and a full disk while a file is stored.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "curl_client.h"
#include "fault_fixture.h"
#include "tftp/tftp_test_support.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace tftp_test;

namespace {

constexpr uint16_t kRead = 1, kWrite = 2, kData = 3, kAck = 4, kError = 5;

class TransferFaultTest : public FaultTest {
 protected:
  void SetUp() override {
    fs::create_directories(program_.Path("log/SU1/camera_cam0"));
    WriteWholeFile(program_.Path("log/SU1/big.dat"), SampleBytes(4 << 20, 7));
  }
  // One whole transfer first, so that whatever the program creates once
  // (thread pools, sockets) exists before the counts are taken.
  void WarmUp() {
    ASSERT_EQ(FetchByTftp("log/SU1/big.dat", program_.Path("../warm"), 8192), 0);
    std::this_thread::sleep_for(500ms);
    descriptors_ = OpenDescriptorCount(pid_);
    threads_ = ThreadCount(pid_);
  }
  int descriptors_ = 0, threads_ = 0;
};

// A child process that runs the client side of a transfer for `blocks`
// blocks, tells the parent, and waits to be killed.
pid_t ClientThatDiesAfter(uint16_t opcode, const std::string& name, const std::string& content,
                          int blocks) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  pid_t child = ::fork();
  if (child != 0) {
    char byte = 0;
    (void)!::read(ready[0], &byte, 1);
    ::close(ready[0]);
    ::close(ready[1]);
    return byte == 'x' ? child : -1;
  }
  RawPeer peer;
  peer.Send(ProgramUnderTest::kFileTransferPort, Request(opcode, name, "octet"));
  for (int block = 0; block <= blocks; ++block) {
    std::optional<Datagram> answer = peer.Receive(3000);
    if (!answer) _exit(1);
    if (opcode == kWrite && block < blocks)
      peer.Send(answer->Port, Data(block + 1, content.substr(block * 512, 512)));
    if (opcode == kRead && block < blocks) peer.Send(answer->Port, Ack(block + 1));
  }
  (void)!::write(ready[1], "x", 1);
  for (;;) ::pause();
}

TEST_F(TransferFaultTest, KilledClientsSessionsTimeOutLeakNothingAndLeaveTheFileAsItWas) {
  StartProgram();
  WarmUp();
  std::string upload = SampleBytes(100 * 512, 3);
  WriteWholeFile(program_.Path("log/SU1/camera_cam0/cut.jpg"), "before");
  pid_t writer = ClientThatDiesAfter(kWrite, "log/SU1/camera_cam0/cut.jpg", upload, 20);
  pid_t reader = ClientThatDiesAfter(kRead, "log/SU1/big.dat", "", 20);
  ASSERT_GT(writer, 0);
  ASSERT_GT(reader, 0);
  EXPECT_GT(ThreadCount(pid_), threads_);  // both sessions are running
  ::kill(writer, SIGKILL);
  ::kill(reader, SIGKILL);
  ::waitpid(writer, nullptr, 0);
  ::waitpid(reader, nullptr, 0);
  EXPECT_TRUE(BackTo(descriptors_, threads_))
      << OpenDescriptorCount(pid_) << " descriptors, " << ThreadCount(pid_) << " threads";
  EXPECT_EQ(ReadWholeFile(program_.Path("log/SU1/camera_cam0/cut.jpg")), "before");
  std::string again = program_.Path("../again");
  WriteWholeFile(again, upload);
  ASSERT_EQ(StoreByTftp(again, "log/SU1/camera_cam0/cut.jpg"), 0);
  EXPECT_EQ(ReadWholeFile(program_.Path("log/SU1/camera_cam0/cut.jpg")), upload);
  EXPECT_TRUE(SameInstance());
}

// Stores content block by block, a pause after each acknowledgement, so the
// upload spans a restart; counts the blocks acknowledged.
void PacedStore(const std::string& name, const std::string& content,
                std::atomic<int>& acknowledged) {
  RawPeer peer;
  peer.Send(ProgramUnderTest::kFileTransferPort, Request(kWrite, name, "octet"));
  std::optional<Datagram> answer = peer.Receive(5000);
  for (size_t block = 1; answer && OpcodeOf(*answer) == kAck; ++block) {
    if (BlockOf(*answer) != static_cast<uint16_t>(block - 1)) return;
    acknowledged = static_cast<int>(block - 1);
    if ((block - 1) * 512 > content.size()) return;  // the empty last block is in
    std::this_thread::sleep_for(100ms);
    peer.Send(answer->Port,
              Data(static_cast<uint16_t>(block), content.substr((block - 1) * 512, 512)));
    answer = peer.Receive(5000);
  }
}

// Records of today, which a start-up sweep keeps as they are.
std::string TodaysRecords(size_t bytes) {
  std::string records;
  for (int i = 0; records.size() < bytes; ++i)
    records += FaultTest::Today() + " 12:00 " + std::to_string(i) + "\r\n";
  return records;
}

// A picture and a log file: the new instance's start-up sweep rewrites
// log files (this one's old first line goes), and must not do so under an
// upload of the ending instance.
TEST_F(TransferFaultTest, UploadUnderWayFinishesAcrossARestart) {
  StartProgram();
  const std::string picture = SampleBytes(40 * 512, 13), old = "1/1/20 12:00 old\r\n";
  const std::string records = old + TodaysRecords(40 * 512);
  std::atomic<int> picturesAcked{0}, recordsAcked{0};
  std::thread pictureUpload(PacedStore, "log/SU1/camera_cam0/across.jpg", std::cref(picture),
                            std::ref(picturesAcked));
  std::thread recordUpload(PacedStore, "log/SU1/across.dat", std::cref(records),
                           std::ref(recordsAcked));
  ASSERT_TRUE(WaitUntil([&] { return picturesAcked >= 3 && recordsAcked >= 3; }, 10s));
  {
    UnitConnection breaker("127.0.0.1", ProgramUnderTest::kUnitPort);
    breaker.Register("SU9");  // only a registered unit's error restarts the program
    Settle(breaker);
    breaker.ResetOnClose();
  }
  pictureUpload.join();
  recordUpload.join();
  EXPECT_EQ(picturesAcked, 41);
  EXPECT_EQ(recordsAcked, static_cast<int>(records.size() / 512 + 1));
  EXPECT_GT(program_.WaitForSoleSuccessor(pid_, 15s), 0)
      << "the first instance did not end after its transfers";
  EXPECT_TRUE(program_.WaitForUnitPort());
  EXPECT_TRUE(ReadWholeFile(program_.Path("log/SU1/camera_cam0/across.jpg")) == picture);
  const std::string stored = ReadWholeFile(program_.Path("log/SU1/across.dat"));
  EXPECT_TRUE(stored == records.substr(old.size()))
      << stored.size() << " of " << records.size() - old.size() << " bytes";
}

// SIGTERM is File/Exit: an upload under way finishes; a reader that asked
// for long waits and fell silent is cut off with an error at the limit.
TEST_F(TransferFaultTest, StopSignalLetsAnUploadFinishAndCutsOffASilentReader) {
  StartProgram();
  RawPeer silent;
  silent.Send(ProgramUnderTest::kFileTransferPort,
              Request(kRead, "log/SU1/big.dat", "octet", {{"timeout", "255"}}));
  std::optional<Datagram> silentAck = silent.Receive(5000);
  ASSERT_TRUE(silentAck);  // the option acknowledgement: answered once, then silence
  silent.Send(silentAck->Port, Ack(0));
  ASSERT_TRUE(silent.Receive(5000));
  RawPeer complete;  // a finished store that would wait 255 s for a repeat
  complete.Send(ProgramUnderTest::kFileTransferPort,
                Request(kWrite, "log/SU1/done.dat", "octet", {{"timeout", "255"}}));
  std::optional<Datagram> optionAck = complete.Receive(5000);
  ASSERT_TRUE(optionAck);
  complete.Send(optionAck->Port, Data(1, "done"));
  ASSERT_TRUE(complete.Receive(5000));
  RawPeer silentStore;  // never sends a block: a record waits for it in memory
  silentStore.Send(ProgramUnderTest::kFileTransferPort,
                   Request(kWrite, "log/SU1/T1.dat", "octet", {{"timeout", "255"}}));
  ASSERT_TRUE(silentStore.Receive(5000));
  UnitConnection* unit = Unit("SU1");
  unit->SendText("DU_SAVELOG T1 " + Today() + " held");
  Settle(*unit);
  const std::string records = TodaysRecords(30 * 512);
  std::atomic<int> acknowledged{0};
  std::thread upload(PacedStore, "log/SU1/stop.dat", std::cref(records), std::ref(acknowledged));
  ASSERT_TRUE(WaitUntil([&] { return acknowledged >= 3; }, 10s));
  ::kill(pid_, SIGTERM);
  upload.join();
  EXPECT_EQ(acknowledged, static_cast<int>(records.size() / 512 + 1));
  EXPECT_TRUE(ReadWholeFile(program_.Path("log/SU1/stop.dat")) == records);
  std::optional<Datagram> last = silent.Receive(60000);
  ASSERT_TRUE(last) << "the silent reader was never cut off";
  EXPECT_EQ(OpcodeOf(*last), kError);
  EXPECT_FALSE(complete.Receive(1000)) << "a complete store got an error when cut off";
  EXPECT_TRUE(WaitUntil([&] { return program_.RunningInstances().empty(); }, 10s));
  EXPECT_EQ(ReadWholeFile(program_.Path("log/SU1/T1.dat")), Today() + " held\r\n")
      << "a record held for a store that was cut off is lost";
}

// Stores content through a raw client until the transfer ends; returns the
// final packet the program sent (an error packet when it gave up).
std::optional<Datagram> Store(const std::string& name, const std::string& content) {
  RawPeer peer;
  peer.Send(ProgramUnderTest::kFileTransferPort, Request(kWrite, name, "octet"));
  for (std::size_t block = 0;; ++block) {
    std::optional<Datagram> answer = peer.Receive(5000);
    if (!answer || OpcodeOf(*answer) != kAck || block * 512 > content.size()) return answer;
    peer.Send(answer->Port,
              Data(static_cast<uint16_t>(block + 1), content.substr(block * 512, 512)));
  }
}

TEST_F(TransferFaultTest, FullDiskDuringAStoreAnswersAnErrorAndKeepsEverythingElse) {
  StartProgram();
  UnitConnection* sensor = Unit("SU1");
  std::string kept = SampleBytes(40000, 5);
  std::string local = program_.Path("../kept");
  WriteWholeFile(local, kept);
  ASSERT_EQ(StoreByTftp(local, "log/SU1/camera_cam0/kept.jpg"), 0);
  ASSERT_TRUE(SetFileSizeLimit(pid_, 64 * 1024));

  std::string big = SampleBytes(200 * 1024, 9);
  std::optional<Datagram> last = Store("log/SU1/camera_cam0/big.jpg", big);
  ASSERT_TRUE(last);
  EXPECT_EQ(OpcodeOf(*last), kError);
  EXPECT_FALSE(PayloadOf(*last).empty());
  ASSERT_TRUE(SameInstance()) << "the program died on a full disk";
  EXPECT_FALSE(std::filesystem::exists(program_.Path("log/SU1/camera_cam0/big.jpg")));

  EXPECT_EQ(ReadWholeFile(program_.Path("log/SU1/camera_cam0/kept.jpg")), kept);
  std::string small = SampleBytes(20000, 11);
  WriteWholeFile(local, small);
  ASSERT_EQ(StoreByTftp(local, "log/SU1/camera_cam0/small.jpg"), 0);
  EXPECT_EQ(ReadWholeFile(program_.Path("log/SU1/camera_cam0/small.jpg")), small);
  ASSERT_EQ(FetchByTftp("log/SU1/camera_cam0/kept.jpg", local), 0);
  EXPECT_EQ(ReadWholeFile(local), kept);
  Settle(*sensor);
  EXPECT_TRUE(SameInstance());
}

}  // namespace
