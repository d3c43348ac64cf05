// The retention sweep while a file transfer stores the very file it would
// rewrite, in one process: the data store and a file-transfer server on a
// free port over the same tree. The sweep must leave the file to the
// transfer (and sweep it on its next run); rewriting it would move the name
// to a new file while the session kept writing into the old one.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "store/busy_files.h"
#include "store/data_controller.h"
#include "tftp/tftp_test_support.h"

using namespace tftp_test;

namespace {

constexpr uint16_t kRead = 1, kWrite = 2, kData = 3, kAck = 4;

ino_t InodeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// Lines the sweep removes (30 days old, m/d/yy) and one it keeps at the end.
std::string OldLines(int count) {
  std::string lines;
  for (int i = 0; i < count; ++i) lines += "1/1/20 old" + std::to_string(i) + "\r\n";
  return lines;
}

TEST(SweepDuringTransferTest, TheSweepLeavesAFileBeingStoredAndSweepsItNextTime) {
  TempTree tree;
  ::mkdir(tree.At("log/SU1").c_str(), 0777);
  const std::string file = tree.At("log/SU1/T1.dat");
  WriteFile(file, OldLines(3));
  RunningServer server(tree);
  TDataController store(tree.Path());
  store.UseStandardNames();
  store.SetRetentionDays(7);

  std::string upload = OldLines(80);  // several blocks, every line old
  RawPeer peer;
  peer.Send(server.Port(), Request(kWrite, "log/SU1/T1.dat", "octet"));
  std::optional<Datagram> ack = peer.Receive();
  ASSERT_TRUE(ack && OpcodeOf(*ack) == kAck);
  uint16_t session = ack->Port;
  peer.Send(session, Data(1, upload.substr(0, 512)));
  ack = peer.Receive();
  ASSERT_TRUE(ack && BlockOf(*ack) == 1);
  ino_t during = InodeOf(file);

  store.DeleteOldData();
  EXPECT_EQ(InodeOf(file), during);
  EXPECT_EQ(ReadFile(file), OldLines(3));  // neither swept nor stored yet

  for (uint16_t block = 2; (block - 1) * 512u <= upload.size(); ++block) {
    peer.Send(session, Data(block, upload.substr((block - 1) * 512u, 512)));
    ack = peer.Receive();
    ASSERT_TRUE(ack && OpcodeOf(*ack) == kAck && BlockOf(*ack) == block);
  }
  ASSERT_TRUE(AwaitSessionsEnded());
  EXPECT_EQ(ReadFile(file), upload);  // every block landed in the file the name names

  store.DeleteOldData();  // no longer busy: now it is swept
  EXPECT_EQ(ReadFile(file), "1/1/20 old79\r\n");
}

// Records for the file under upload wait for it: they follow the uploaded
// bytes, in order, instead of being overwritten by the blocks still to come.
TEST(SweepDuringTransferTest, RecordsSavedDuringAnUploadFollowTheUploadedFile) {
  TempTree tree;
  ::mkdir(tree.At("log/SU1").c_str(), 0777);
  const std::string file = tree.At("log/SU1/T1.dat");
  WriteFile(file, "before\r\n");
  RunningServer server(tree);
  TDataController store(tree.Path());
  store.UseStandardNames();

  const std::string upload = OldLines(60);
  RawPeer peer;
  peer.Send(server.Port(), Request(kWrite, "log/SU1/T1.dat", "octet"));
  std::optional<Datagram> ack = peer.Receive();
  ASSERT_TRUE(ack && OpcodeOf(*ack) == kAck);
  const uint16_t session = ack->Port;
  std::string records;
  for (uint16_t block = 1; (block - 1) * 512u <= upload.size(); ++block) {
    peer.Send(session, Data(block, upload.substr((block - 1) * 512u, 512)));
    ack = peer.Receive();
    ASSERT_TRUE(ack && OpcodeOf(*ack) == kAck && BlockOf(*ack) == block);
    store.SaveLogRecord("T1 06.12.2026 " + std::to_string(block), "SU1");
    records += "06.12.2026 " + std::to_string(block) + "\r\n";
  }
  ASSERT_TRUE(AwaitSessionsEnded());
  EXPECT_EQ(ReadFile(file), upload + records);
}

// Fetches while records keep coming, each append half on disk for a moment:
// every file sent ends with a whole line, never in the middle of one.
TEST(SweepDuringTransferTest, FetchesDuringAppendsSendWholeLines) {
  TempTree tree;
  ::mkdir(tree.At("log/SU1").c_str(), 0777);
  const std::string file = tree.At("log/SU1/T1.dat");
  WriteFile(file, "06.12.2026 0\r\n");
  RunningServer server(tree);
  std::atomic<bool> done{false};
  std::thread appender([&] {
    for (int i = 1; !done; ++i) {
      BusyFiles::Instance().AppendOrHold(file, "06.12.2026 x\r\n", [&](std::string_view line) {
        std::ofstream(file, std::ios::app) << line.substr(0, 5) << std::flush;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        std::ofstream(file, std::ios::app) << line.substr(5);
      });
      std::this_thread::sleep_for(std::chrono::microseconds(i % 40));
    }
  });
  int cut = 0;
  for (int fetch = 0; fetch < 100; ++fetch) {
    RawPeer peer;
    peer.Send(server.Port(), Request(kRead, "log/SU1/T1.dat", "octet", {{"blksize", "65464"}}));
    std::optional<Datagram> answer = peer.Receive();
    if (answer && OpcodeOf(*answer) != kData) {  // the option acknowledgement
      peer.Send(answer->Port, Ack(0));
      answer = peer.Receive();
    }
    ASSERT_TRUE(answer && OpcodeOf(*answer) == kData);
    const std::string sent = PayloadOf(*answer);
    cut += sent.size() < 2 || sent.substr(sent.size() - 2) != "\r\n";
    peer.Send(answer->Port, Ack(1));
  }
  done = true;
  appender.join();
  EXPECT_EQ(cut, 0) << "fetches that ended in the middle of a line";
  ASSERT_TRUE(AwaitSessionsEnded());
}

}  // namespace
