// The unit link of the real program under faults: a unit killed in the middle
// of a message, a thousand connections opened and dropped, a restart while
// units send, and a full disk while records are stored.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>

#include "fault_fixture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using UnitFaultTest = FaultTest;

std::string Record(const std::string& value) { return FaultTest::Today() + " " + value; }

// A child process registers as name, sends bytes without their "#" and
// waits to be killed; returns once the bytes are on their way.
pid_t UnitThatDiesMidMessage(const std::string& name, const std::string& bytes) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    UnitConnection unit("127.0.0.1", ProgramUnderTest::kUnitPort);
    unit.Register(name);
    unit.SendRaw(bytes);
    (void)!::write(ready[1], "x", 1);
    for (;;) ::pause();
  }
  char byte;
  (void)!::read(ready[0], &byte, 1);
  ::close(ready[0]);
  ::close(ready[1]);
  return child;
}

TEST_F(UnitFaultTest, KilledUnitsHalfMessageNeverJoinsAnother) {
  StartProgram();
  UnitConnection* bystander = Unit("SU1");
  pid_t dying = UnitThatDiesMidMessage("SU9", "CS_TEXT SU9 DU_SAVELOG T1 " + Record("half"));
  ASSERT_GT(dying, 0);
  Settle(*bystander);  // the half message has been read by now
  ::kill(dying, SIGKILL);
  ::waitpid(dying, nullptr, 0);
  // The next connection may get the dead one's descriptor number. It connects
  // once the program has seen the dead connection close and dropped its name
  // (offered slot 1 again): a unit that registers under an offer counted
  // before that would sit outside the table.
  UnitConnection* heir = nullptr;
  ASSERT_TRUE(WaitUntil(
      [&] {
        auto probe = std::make_unique<UnitConnection>("127.0.0.1", ProgramUnderTest::kUnitPort);
        if (probe->NextMessage(5s) != "CC_ADD_NAME 1") return false;  // read, then closed in order
        units_.push_back(std::move(probe));
        heir = units_.back().get();
        return true;
      },
      10s));
  heir->AnswerOffer("CC_ADD_NAME 1", "SU9");
  Settle(*heir);
  heir->SendText("DU_SAVELOG T1 " + Record("whole"));
  bystander->SendText("DU_SAVELOG T1 " + Record("bystander"));
  Settle(*heir);
  Settle(*bystander);
  EXPECT_EQ(ReadWholeFile(program_.Path("log/SU9/T1.dat")), Record("whole") + "\r\n");
  EXPECT_EQ(ReadWholeFile(program_.Path("log/SU9/alllog.dat")), Record("whole") + " T1\r\n");
  EXPECT_EQ(ReadWholeFile(program_.Path("log/SU1/T1.dat")), Record("bystander") + "\r\n");
  heir->SendText("DU_GIVELOGFILENAMES SU9");  // the name table holds the heir once
  ASSERT_TRUE(heir->NextText(5s));
  EXPECT_TRUE(SameInstance());
}

// Each drop is orderly, after the slot offer was read: no reset, no restart.
TEST_F(UnitFaultTest, AThousandConnectionsOpenedAndDroppedLeaveNoDescriptorsBehind) {
  StartProgram();
  UnitConnection* keeper = Unit("SU1");
  int descriptors = OpenDescriptorCount(pid_), threads = ThreadCount(pid_);
  constexpr int kWave = 50;
  for (int wave = 0; wave < 1000 / kWave; ++wave) {
    std::vector<std::unique_ptr<UnitConnection>> batch;
    // One accepted before the next connects: the listen backlog is short.
    for (int i = 0; i < kWave; ++i) {
      batch.push_back(std::make_unique<UnitConnection>("127.0.0.1", ProgramUnderTest::kUnitPort));
      ASSERT_TRUE(batch.back()->NextMessage(5s));  // the slot offer
    }
    EXPECT_GE(OpenDescriptorCount(pid_), descriptors + kWave);
  }
  EXPECT_TRUE(BackTo(descriptors, threads))
      << OpenDescriptorCount(pid_) << " descriptors (" << descriptors << " before), "
      << ThreadCount(pid_) << " threads (" << threads << ")";
  keeper->SendText("DU_SAVELOG T1 " + Record("after"));
  Settle(*keeper);
  EXPECT_EQ(ReadWholeFile(program_.Path("log/SU1/T1.dat")), Record("after") + "\r\n");
  EXPECT_EQ(program_.StandardError().find(" datacontroller: "), std::string::npos)
      << program_.StandardError();
  EXPECT_TRUE(SameInstance());
}

// One sending unit: batches of records, each followed by DU_CHECK; a batch
// counts as acknowledged once its CHECK came back. Ends when the link drops.
struct LoadUnit {
  std::string name;
  std::atomic<int> acknowledged{0};
  std::atomic<int> batches{0};

  static constexpr int kBatch = 100;
  std::string Line(int i) const { return Record(name + "." + std::to_string(i)) + " T1\r\n"; }

  void Run() {
    try {
      UnitConnection unit("127.0.0.1", ProgramUnderTest::kUnitPort);
      unit.Register(name);
      for (int sent = 0;; sent += kBatch) {
        std::string bytes;
        for (int i = sent; i < sent + kBatch; ++i)
          bytes +=
              "CS_TEXT " + name + " DU_SAVELOG T1 " + Record(name + "." + std::to_string(i)) + "#";
        unit.SendRaw(bytes + "CS_TEXT " + name + " DU_CHECK#");
        if (unit.NextText(10s) != "CHECK") return;
        acknowledged = sent + kBatch;
        ++batches;
      }
    } catch (const std::exception&) {
      // the link dropped while sending: the end of this unit's run
    }
  }
};

TEST_F(UnitFaultTest, RestartUnderLoadBringsBothPortsBackAndLosesNothingAcknowledged) {
  StartProgram();
  std::vector<std::unique_ptr<LoadUnit>> load;
  std::vector<std::thread> threads;
  for (int u = 0; u < 4; ++u) {
    load.push_back(std::make_unique<LoadUnit>());
    load.back()->name = "SU" + std::to_string(u);
  }
  // Registered one after another, as units must; then all send at once.
  for (auto& unit : load) {
    threads.emplace_back(&LoadUnit::Run, unit.get());
    ASSERT_TRUE(WaitUntil([&] { return unit->batches > 0; }, 10s));
  }
  ASSERT_TRUE(WaitUntil([&] { return load.back()->batches >= 5; }, 30s));
  {
    UnitConnection breaker("127.0.0.1", ProgramUnderTest::kUnitPort);
    breaker.Register("SU9");  // only a registered unit's error restarts the program
    Settle(breaker);
    breaker.ResetOnClose();
  }
  for (auto& thread : threads) thread.join();
  ASSERT_GT(program_.WaitForSoleSuccessor(pid_), 0) << program_.StandardError();
  ASSERT_TRUE(program_.WaitForUnitPort());
  ASSERT_TRUE(program_.WaitForFileTransferPort());
  for (auto& unit : load) {
    std::string stored = ReadWholeFile(program_.Path("log/" + unit->name + "/alllog.dat"));
    std::string expected;
    int lines = 0;
    while (expected.size() < stored.size()) expected += unit->Line(lines++);
    EXPECT_EQ(stored, expected) << unit->name << ": records lost, doubled or cut";
    EXPECT_GE(lines, unit->acknowledged.load()) << unit->name;
  }
  UnitConnection* again = Unit("SU0");
  again->SendText("DU_SAVELOG T1 " + Record("again"));
  Settle(*again);
  EXPECT_NE(ReadWholeFile(program_.Path("log/SU0/T1.dat")).find(Record("again") + "\r\n"),
            std::string::npos);
}

// The reset target restarts the program (whether its reset or the forward
// behind the pause meets it first) while the 3000 records (120 KB) sent behind
// the pause wait; the ending stores them all, also those still in the
// connection's receive buffer then.
TEST_F(UnitFaultTest, RecordsBehindAForwardThatRestartsTheProgramAreStillStored) {
  StartProgram();
  UnitConnection* control = Unit("CU1");
  auto target = std::make_unique<UnitConnection>("127.0.0.1", ProgramUnderTest::kUnitPort);
  target->Register("SU2");
  Settle(*target);
  std::string records, expected;
  for (int i = 0; i < 3000; ++i) {
    records += "CS_TEXT CU1 DU_SAVELOG T1 " + Record("behind" + std::to_string(i)) + "#";
    expected += Record("behind" + std::to_string(i)) + "\r\n";
  }
  control->SendRaw("CS_TEXT CU1 DU_NEWCONFIGEXISTS SU2#" + records);
  target->ResetOnClose();
  target.reset();
  ASSERT_GT(program_.WaitForSoleSuccessor(pid_), 0) << program_.StandardError();
  const std::string stored = ReadWholeFile(program_.Path("log/CU1/T1.dat"));
  EXPECT_TRUE(stored == expected) << stored.size() << " of " << expected.size() << " bytes";
}

// RLIMIT_FSIZE on the program: its appends fail as on a full disk.
TEST_F(UnitFaultTest, FullDiskDuringSaveLogKeepsWhatWasStoredAndTheProgramServing) {
  StartProgram();
  UnitConnection* sensor = Unit("SU1");
  for (int i = 0; i < 200; ++i)
    sensor->SendText("DU_SAVELOG T1 " + Record("before" + std::to_string(i)));
  Settle(*sensor);
  std::string all = program_.Path("log/SU1/alllog.dat");
  std::string stored = ReadWholeFile(all);
  ASSERT_TRUE(SetFileSizeLimit(pid_, stored.size() + 30));  // room for one more record and a part
  for (int i = 0; i < 5; ++i)
    sensor->SendText("DU_SAVELOG T1 " + Record("full" + std::to_string(i)));
  Settle(*sensor);
  ASSERT_TRUE(SameInstance()) << "the program died on a full disk";
  EXPECT_NE(program_.StandardError().find("Not stored: " + all + ": File too large; "),
            std::string::npos)
      << program_.StandardError();
  ASSERT_TRUE(SetFileSizeLimit(pid_, RLIM_INFINITY));
  sensor->SendText("DU_SAVELOG T1 " + Record("later"));
  Settle(*sensor);
  // Whole records only: one fitted, the failed ones left no part behind.
  EXPECT_EQ(ReadWholeFile(all), stored + Record("full0") + " T1\r\n" + Record("later") + " T1\r\n");
  std::string sensorFile = ReadWholeFile(program_.Path("log/SU1/T1.dat"));
  EXPECT_EQ(sensorFile.substr(sensorFile.size() - 2 * (Record("later").size() + 2)),
            Record("full0") + "\r\n" + Record("later") + "\r\n");
  EXPECT_TRUE(SameInstance());
}

// A 256 KiB tmpfs on log/, in a mount namespace of this test's own (the
// program, forked from this thread, sees it; the machine does not): the
// disk really fills. Freeing room is enough for the records to land again.
TEST_F(UnitFaultTest, ARealFullDiskKeepsWholeRecordsSaysWhatWasLostAndResumes) {
  const std::string log = program_.Path("log");
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
      ::mount("tmpfs", log.c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "no mount namespace of its own (not root)";
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{log};
  StartProgram();
  UnitConnection* sensor = Unit("SU1");
  std::string flood;
  for (int i = 0; i < 10000; ++i)
    flood += "CS_TEXT SU1 DU_SAVELOG T1 " + Record(std::to_string(i)) + "#";
  sensor->SendRaw(flood);
  Settle(*sensor);
  const std::string all = program_.Path("log/SU1/alllog.dat");
  std::regex report("Not stored: " + program_.Path("log/SU1/") +
                    "(alllog|T1)\\.dat: No space left on device; [0-9]+ records and 0 alarms lost");
  EXPECT_TRUE(std::regex_search(program_.StandardError(), report)) << program_.StandardError();
  std::string stored = ReadWholeFile(all), expected;
  for (int i = 0; expected.size() < stored.size(); ++i)
    expected += Record(std::to_string(i)) + " T1\r\n";
  EXPECT_TRUE(stored == expected) << "a record cut or out of order";
  ASSERT_EQ(::truncate(program_.Path("log/SU1/T1.dat").c_str(), 0), 0);
  sensor->SendText("DU_SAVELOG T1 " + Record("later"));
  Settle(*sensor);
  EXPECT_EQ(ReadWholeFile(all), stored + Record("later") + " T1\r\n");
  EXPECT_TRUE(WaitUntil(
      [&] {
        return program_.StandardError().find("Storing again after \"No space left on device\"") !=
               std::string::npos;
      },
      5s));
  EXPECT_TRUE(SameInstance());
}

}  // namespace
