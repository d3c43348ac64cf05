// SaveLogRecord and AppendAlarm of the data store.
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "base/failure_report.h"
#include "store/append_handles.h"
#include "store/busy_files.h"
#include "store/data_controller.h"
#include "store/folded_name_index.h"
#include "store/store_errors.h"
#include "store/store_counters.h"
#include "store/store_fixture.h"

namespace {

using RecordLoggingTest = StoreTest;

TEST_F(RecordLoggingTest, ARecordGoesToTheCombinedAndTheSensorLog) {
  store_.SaveLogRecord("T1 06.12.2026 21.5", "U");
  EXPECT_EQ(tree_.Read("log/U/alllog.dat"), "06.12.2026 21.5 T1\r\n");
  EXPECT_EQ(tree_.Read("log/U/T1.dat"), "06.12.2026 21.5\r\n");
  store_.SaveLogRecord("T1 06.12.2026 22.0", "U");
  store_.SaveLogRecord("T2 07.12.2026 1", "U");
  EXPECT_EQ(tree_.Read("log/U/alllog.dat"),
            "06.12.2026 21.5 T1\r\n06.12.2026 22.0 T1\r\n07.12.2026 1 T2\r\n");
  EXPECT_EQ(tree_.Read("log/U/T1.dat"), "06.12.2026 21.5\r\n06.12.2026 22.0\r\n");
  EXPECT_EQ(tree_.Read("log/U/T2.dat"), "07.12.2026 1\r\n");
}

// A file size limit stands in for a full disk: the record that does not fit
// leaves no part behind, not even its sensor line (whose file has room), so
// the next one starts on a line of its own.
TEST_F(RecordLoggingTest, ARecordThatDoesNotFitLeavesNoPartBehind) {
  store_.SaveLogRecord("T1 06.12.2026 1", "U");
  std::string before = tree_.Read("log/U/alllog.dat");
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit saved {};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit tight = saved;
  tight.rlim_cur = before.size() + 8;  // part of the next line fits, a whole sensor line too
  ::setrlimit(RLIMIT_FSIZE, &tight);
  std::string message = RAISED_MESSAGE(store_.SaveLogRecord("T2 06.12.2026 2", "U"));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(message, "Disk full");
  EXPECT_EQ(tree_.Read("log/U/alllog.dat"), before);
  EXPECT_EQ(tree_.Read("log/U/T2.dat"), "");
  store_.SaveLogRecord("T1 06.12.2026 3", "U");
  EXPECT_EQ(tree_.Read("log/U/alllog.dat"), before + "06.12.2026 3 T1\r\n");
  EXPECT_EQ(tree_.Read("log/U/T1.dat"), "06.12.2026 1\r\n06.12.2026 3\r\n");
}

// A record without a blank has an empty first field: its sensor file is ".dat".
TEST_F(RecordLoggingTest, RecordsWithoutABlankInsideAreCutAsTheFieldHelperCuts) {
  store_.SaveLogRecord("T1", "A");
  store_.SaveLogRecord("", "A");
  store_.SaveLogRecord(" 06.12.2026 1", "A");
  EXPECT_EQ(tree_.Read("log/A/alllog.dat"), "T1 \r\n \r\n06.12.2026 1 \r\n");
  EXPECT_EQ(tree_.Read("log/A/.dat"), "T1\r\n\r\n06.12.2026 1\r\n");
  EXPECT_THROW(store_.SaveLogRecord(". 06.12.2026 1", "A"), EInvalidName);
  store_.SaveLogRecord("T1 ", "B");
  EXPECT_EQ(tree_.Read("log/B/alllog.dat"), " T1\r\n");
  EXPECT_EQ(tree_.Read("log/B/T1.dat"), "\r\n");
}

// An upload holds T1.dat: its records wait, in order, and follow the
// uploaded bytes when the upload ends; the combined log goes on meanwhile.
TEST_F(RecordLoggingTest, RecordsForAFileUnderUploadAreAppendedWhenItEnds) {
  store_.SaveLogRecord("T1 06.12.2026 1", "U");
  {
    BusyFiles::Mark upload =
        BusyFiles::Instance().TryMark(tree_.Host("log/U/T1.dat"), BusyFiles::Mode::kWrite);
    ASSERT_TRUE(upload);
    tree_.Write("log/U/T1.dat", "uploaded\r\n");
    store_.SaveLogRecord("T1 06.12.2026 2", "U");
    store_.SaveLogRecord("T1 06.12.2026 3", "U");
    EXPECT_EQ(tree_.Read("log/U/T1.dat"), "uploaded\r\n");
    EXPECT_EQ(tree_.Read("log/U/alllog.dat"),
              "06.12.2026 1 T1\r\n06.12.2026 2 T1\r\n06.12.2026 3 T1\r\n");
    const std::string big(BusyFiles::kMaxHeldBytes, 'x');
    EXPECT_THROW(store_.SaveLogRecord("T1 " + big, "U"), ENotStored);
  }
  EXPECT_EQ(tree_.Read("log/U/T1.dat"), "uploaded\r\n06.12.2026 2\r\n06.12.2026 3\r\n");
  store_.SaveLogRecord("T1 06.12.2026 4", "U");
  EXPECT_EQ(tree_.Read("log/U/T1.dat"),
            "uploaded\r\n06.12.2026 2\r\n06.12.2026 3\r\n06.12.2026 4\r\n");
}

// Lines that waited and then cannot be written are reported, not lost silently.
TEST_F(RecordLoggingTest, AlarmLinesForAFileUnderUploadWaitForItToEndOrAreReportedLost) {
  const std::string host = tree_.Host("alarms/AU1.dat");
  store_.AppendAlarm("first", "AU1.dat");
  {
    BusyFiles::Mark upload = BusyFiles::Instance().TryMark(host, BusyFiles::Mode::kWrite);
    tree_.Write("alarms/AU1.dat", "");
    store_.AppendAlarm("second", "AU1.dat");
    EXPECT_EQ(tree_.Read("alarms/AU1.dat"), "");
  }
  EXPECT_EQ(tree_.Read("alarms/AU1.dat"), "second\r\n");
  std::vector<std::string> reports;
  FailureSink previous = SetFailureSink([&](const std::string& text) { reports.push_back(text); });
  {
    BusyFiles::Mark upload = BusyFiles::Instance().TryMark(host, BusyFiles::Mode::kWrite);
    store_.AppendAlarm("third", "AU1.dat");
    std::remove(host.c_str());
    tree_.MakeDir("alarms/AU1.dat");  // the file cannot take the line any more
  }
  SetFailureSink(previous);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].rfind("Lines that waited for the upload of " + host, 0), 0u) << reports[0];
}

// An upload on another thread takes and gives back its mark again and again
// while alarm lines arrive: each line lands once and in order.
TEST_F(RecordLoggingTest, AlarmLinesMeetAnUploadOnAnotherThreadUnderOneLock) {
  const std::string host = tree_.Host("alarms/AU1.dat");
  store_.AppendAlarm("0", "AU1.dat");
  std::atomic<bool> done{false};
  std::thread upload([&] {
    while (!done) {
      BusyFiles::Mark mark = BusyFiles::Instance().TryMark(host, BusyFiles::Mode::kWrite);
    }
  });
  std::string expected = "0\r\n";
  for (int i = 1; i < 300; ++i) {
    store_.AppendAlarm(std::to_string(i), "AU1.dat");
    expected += std::to_string(i) + "\r\n";
  }
  done = true;
  upload.join();
  EXPECT_EQ(tree_.Read("alarms/AU1.dat"), expected);
}

TEST_F(RecordLoggingTest, AnExistingUnitDirectoryIsFoundInAnyLetterCase) {
  tree_.MakeDir("log/su1");
  tree_.Write("log/su1/ALLLOG.DAT", "old\r\n");
  store_.SaveLogRecord("T1 06.12.2026 1", "SU1");
  EXPECT_FALSE(tree_.Exists("log/SU1"));
  EXPECT_EQ(tree_.Read("log/su1/ALLLOG.DAT"), "old\r\n06.12.2026 1 T1\r\n");
}

// Each new name is looked up ignoring letter case; the folder is not read for each.
TEST_F(RecordLoggingTest, NewSensorsInAFullFolderReadItABoundedNumberOfTimes) {
  tree_.MakeDir("log/U");
  for (int i = 0; i < 3000; ++i) tree_.Write("log/U/old" + std::to_string(i) + ".dat", "");
  std::uint64_t before = FoldedNameIndex::DirectoryReads();
  for (int i = 0; i < 100; ++i) store_.SaveLogRecord("T" + std::to_string(i) + " 06.12.2026 1", "U");
  EXPECT_LE(FoldedNameIndex::DirectoryReads() - before, 2u);
  EXPECT_TRUE(tree_.Exists("log/U/T99.dat"));
}

TEST_F(RecordLoggingTest, AFileReplacedOrDeletedBetweenRecordsGetsTheNextRecord) {
  store_.SaveLogRecord("T1 06.12.2026 1", "U");
  // A transfer puts a new file in place: the next record must go into it.
  tree_.Write("log/U/T1.new", "replaced\r\n");
  ASSERT_EQ(std::rename(tree_.Host("log/U/T1.new").c_str(), tree_.Host("log/U/T1.dat").c_str()), 0);
  ASSERT_EQ(
      std::rename(tree_.Host("log/U/alllog.dat").c_str(), tree_.Host("log/U/moved.txt").c_str()),
      0);
  store_.SaveLogRecord("T1 06.12.2026 2", "U");
  EXPECT_EQ(tree_.Read("log/U/T1.dat"), "replaced\r\n06.12.2026 2\r\n");
  EXPECT_EQ(tree_.Read("log/U/alllog.dat"), "06.12.2026 2 T1\r\n");
  EXPECT_EQ(tree_.Read("log/U/moved.txt"), "06.12.2026 1 T1\r\n");
  std::remove(tree_.Host("log/U/T1.dat").c_str());
  store_.SaveLogRecord("T1 06.12.2026 3", "U");
  EXPECT_EQ(tree_.Read("log/U/T1.dat"), "06.12.2026 3\r\n");
}

TEST_F(RecordLoggingTest, NamesThatWouldLeaveTheirPlaceAreRefusedBeforeAnythingIsMade) {
  const std::string units[] = {"..", ".", "a/b", "a\\b", std::string("a\0b", 3), "../../etc"};
  for (const std::string& unit : units) {
    EXPECT_THROW(store_.SaveLogRecord("T1 06.12.2026 1", unit), EInvalidName);
  }
  for (const char* record : {".. 06.12.2026 1", "x/y 06.12.2026 1", "..\\..\\z 1", ". 1"}) {
    EXPECT_THROW(store_.SaveLogRecord(record, "U"), EInvalidName) << record;
  }
  EXPECT_FALSE(tree_.Exists("log"));
  EXPECT_EQ(RAISED_MESSAGE(store_.SaveLogRecord("T1 1", "a/b")),
            "Refused name 'a/b': a name may not be \".\" or \"..\" nor contain \"\\\", \"/\" or a "
            "NUL byte");
  EXPECT_NE(RAISED_MESSAGE(store_.SaveLogRecord("T1 1", std::string("a\0b", 3))).find("'a\\x00b'"),
            std::string::npos);
}

TEST_F(RecordLoggingTest, CreationFailuresCarryThePathAsBuilt) {
  tree_.Write("log", "not a directory");
  EXPECT_EQ(RAISED_MESSAGE(store_.SaveLogRecord("T1 1", "U")), "Cannot create .\\log\\");
  std::remove(tree_.Host("log").c_str());
  tree_.MakeDir("log");
  tree_.Write("log/U", "file");
  EXPECT_EQ(RAISED_MESSAGE(store_.SaveLogRecord("T1 1", "U")), "Cannot create .\\U\\");
  tree_.MakeDir("log/V/T1.dat");
  EXPECT_EQ(RAISED_MESSAGE(store_.SaveLogRecord("T1 1", "V")), "Unable to create file T1.dat");
  EXPECT_EQ(tree_.Read("log/V/alllog.dat"), "1 T1\r\n");
}

// Gathered lines wait for the owner's write (one batch, one call to schedule
// it), go before the sweep reads the files, follow a file that was replaced
// meanwhile, and are written when the store goes.
TEST_F(RecordLoggingTest, GatheredRecordsWaitForTheWriteAndGoBeforeTheSweepAndAtTheEnd) {
  int batches = 0;
  store_.GatherRecords([&] { ++batches; });
  store_.SaveLogRecord("T1 09.12.2026 1", "U");
  store_.SaveLogRecord("T2 09.12.2026 2", "U");
  EXPECT_EQ(batches, 1);
  EXPECT_EQ(tree_.Read("log/U/alllog.dat"), "");
  store_.WriteGatheredRecords();
  EXPECT_EQ(tree_.Read("log/U/alllog.dat"), "09.12.2026 1 T1\r\n09.12.2026 2 T2\r\n");

  store_.SaveLogRecord("T1 09.12.2026 3", "U");
  store_.DeleteOldData();
  EXPECT_EQ(batches, 2);
  EXPECT_EQ(tree_.Read("log/U/T1.dat"), "09.12.2026 1\r\n09.12.2026 3\r\n");

  store_.SaveLogRecord("T2 09.12.2026 4", "U");
  tree_.Write("log/U/T2.new", "09.12.2026 0\r\n");
  ASSERT_EQ(std::rename(tree_.Host("log/U/T2.new").c_str(), tree_.Host("log/U/T2.dat").c_str()), 0);
  store_.WriteGatheredRecords();
  EXPECT_EQ(tree_.Read("log/U/T2.dat"), "09.12.2026 0\r\n09.12.2026 4\r\n");

  {
    TDataController other(tree_.Root());
    other.UseStandardNames();
    other.GatherRecords([] {});
    other.SaveLogRecord("T1 09.12.2026 6", "W");
  }
  EXPECT_EQ(tree_.Read("log/W/T1.dat"), "09.12.2026 6\r\n");
}

TEST_F(RecordLoggingTest, AnAlarmCreatesTheAlarmDirectoryAndFile) {
  store_.AppendAlarm("SU1 fire", store_.SuSentFile);
  store_.AppendAlarm("SU2 smoke", "su_sent.dat");
  store_.AppendAlarm("door open", "AU1.dat");
  EXPECT_EQ(tree_.Read("alarms/su_sent.dat"), "SU1 fire\r\nSU2 smoke\r\n");
  EXPECT_EQ(tree_.Read("alarms/AU1.dat"), "door open\r\n");
}

TEST_F(RecordLoggingTest, AlarmFailuresShowTheirPaths) {
  tree_.Write("alarms", "file");
  EXPECT_EQ(RAISED_MESSAGE(store_.AppendAlarm("x", "a.dat")), "Cannot create .\\.\\alarms\\");
  std::remove(tree_.Host("alarms").c_str());
  tree_.MakeDir("alarms/a.dat");
  EXPECT_EQ(RAISED_MESSAGE(store_.AppendAlarm("x", "a.dat")), "Unable to create file a.dat");
  EXPECT_THROW(store_.AppendAlarm("x", "../escape.dat"), EInvalidName);
  EXPECT_THROW(store_.AppendAlarm("x", ".."), EInvalidName);
  EXPECT_FALSE(tree_.Exists("escape.dat"));
}

// A sender inventing names cannot grow the metrics' table of units: past the
// first thousand names, records count together.
TEST(StoreCountersTest, UnitsPastTheFirstThousandCountTogether) {
  StoreCounters counters;
  for (std::size_t i = 0; i <= StoreCounters::kMaxUnits; ++i)
    counters.AddRecord("SU" + std::to_string(i));
  counters.AddRecord("SU0");
  StoreCounters::Values values = counters.Read();
  EXPECT_EQ(values.recordsByUnit.size(), StoreCounters::kMaxUnits);
  EXPECT_EQ(values.recordsByUnit["SU0"], 2u);
  EXPECT_EQ(values.recordsOfOtherUnits, 1u);
}

}  // namespace

namespace {

using namespace std::chrono_literals;

// Write failures through the test seam: no space, then a read-only file system.
class LostWritesTest : public StoreTest {
 protected:
  LostWritesTest() {
    store_.Faults().SetReport([this](const std::string& line) { reports_.push_back(line); });
    store_.Faults().SetClock([this] { return now_; });
    store_.SetRecordListener([this](std::string_view record, const std::string& notStored) {
      shown_.push_back((notStored.empty() ? "" : notStored + ": ") + std::string(record));
    });
  }
  ~LostWritesTest() override { FailAppendsForTests(0); }
  void Store(const std::string& record, const std::string& unit = "F") {
    store_.SaveLogRecord(record, unit);
    store_.WriteGatheredRecords();
  }

  std::vector<std::string> reports_, shown_;
  std::chrono::steady_clock::time_point now_{};
};

TEST_F(LostWritesTest, LostWritesAreCountedByReasonReportedOnceASecondAndEndWithAWrite) {
  store_.GatherRecords([] {});
  StoreCounters::Values before = StoreCounters::Process().Read();
  const std::string all = tree_.Host("log/F/alllog.dat"), alarm = tree_.Host("alarms/F.dat");
  Store("T1 06.12.2026 1");
  FailAppendsForTests(ENOSPC);
  for (int i = 0; i < 3; ++i) Store("T1 06.12.2026 2");
  EXPECT_THROW(store_.AppendAlarm("fire", "F.dat"), ENotStored);
  now_ += 999ms;
  EXPECT_TRUE(store_.Faults().ReportDue());  // the rest waits for its second
  FailAppendsForTests(EROFS);
  Store("T2 06.12.2026 3");
  EXPECT_EQ(StoreCounters::Process().WriteFailure(), all + ": Read-only file system");
  now_ += 1ms;
  EXPECT_FALSE(store_.Faults().ReportDue());
  FailAppendsForTests(0);
  Store("T1 06.12.2026 4");
  EXPECT_EQ(StoreCounters::Process().WriteFailure(), "");
  EXPECT_TRUE(store_.Faults().ReportDue());
  now_ += 1s;
  EXPECT_FALSE(store_.Faults().ReportDue());
  const std::string lost = " lost since the last report";
  EXPECT_EQ(reports_,
            (std::vector<std::string>{
                "Not stored: " + all + ": No space left on device; 1 record and 0 alarms" + lost,
                "Not stored: " + all + ": Read-only file system; 1 record and 0 alarms" + lost,
                "Not stored: " + all +
                    " and 1 other file: No space left on device; 2 records and "
                    "1 alarm" +
                    lost,
                "Storing again after \"No space left on device\" (" + all +
                    "); 0 records and 0 alarms" + lost,
                "Storing again after \"Read-only file system\" (" + all +
                    "); 0 records and 0 alarms" + lost}));
  EXPECT_EQ(shown_, (std::vector<std::string>{
                        "T1 06.12.2026 1", "No space left on device: T1 06.12.2026 2",
                        "No space left on device: T1 06.12.2026 2",
                        "No space left on device: T1 06.12.2026 2",
                        "Read-only file system: T2 06.12.2026 3", "T1 06.12.2026 4"}));
  StoreCounters::Values after = StoreCounters::Process().Read();
  EXPECT_EQ(after.recordsByUnit["F"], 2u);
  EXPECT_EQ(after.recordsLostByReason["no_space"] - before.recordsLostByReason["no_space"], 3u);
  EXPECT_EQ(after.recordsLostByReason["read_only"] - before.recordsLostByReason["read_only"], 1u);
  EXPECT_EQ(after.alarmsLostByReason["no_space"] - before.alarmsLostByReason["no_space"], 1u);
  EXPECT_EQ(after.alarms, before.alarms);
  EXPECT_EQ(tree_.Read("log/F/alllog.dat"), "06.12.2026 1 T1\r\n06.12.2026 4 T1\r\n");
  EXPECT_EQ(tree_.Read("log/F/T2.dat"), "");
  EXPECT_EQ(tree_.Read("alarms/F.dat"), "");
}

// Cut by a crash (or by a write that failed): the next line starts a line of its own.
TEST_F(LostWritesTest, ATornLastLineIsEndedBeforeTheNextRecordOrAlarm) {
  tree_.MakeDir("log/U");
  tree_.Write("log/U/alllog.dat", "06.12.2026 1 T1\r\n06.12.2026 12:00:00");
  tree_.Write("log/U/T1.dat", "06.12.2026 1\r");
  tree_.MakeDir("alarms");
  tree_.Write("alarms/A.dat", "door");
  Store("T1 06.12.2026 2", "U");
  store_.AppendAlarm("fire", "A.dat");
  EXPECT_EQ(tree_.Read("log/U/alllog.dat"),
            "06.12.2026 1 T1\r\n06.12.2026 12:00:00\r\n06.12.2026 2 T1\r\n");
  EXPECT_EQ(tree_.Read("log/U/T1.dat"), "06.12.2026 1\r\n06.12.2026 2\r\n");
  EXPECT_EQ(tree_.Read("alarms/A.dat"), "door\r\nfire\r\n");
  FailAppendsForTests(ENOSPC);
  EXPECT_THROW(Store("T1 06.12.2026 3", "U"), ENotStored);
  FailAppendsForTests(0);
  std::ofstream(tree_.Host("log/U/alllog.dat"), std::ios::app) << "06.12";
  Store("T1 06.12.2026 4", "U");
  EXPECT_EQ(tree_.Read("log/U/alllog.dat"),
            "06.12.2026 1 T1\r\n06.12.2026 12:00:00\r\n06.12.2026 2 T1\r\n06.12\r\n"
            "06.12.2026 4 T1\r\n");
}

// Known to the store or met for the first time, the unit's records are lost
// as "Not a directory" and stored again once the folder is back.
TEST_F(LostWritesTest, AUnitFolderReplacedByAFileLosesItsRecordsUntilItIsAFolderAgain) {
  Store("T1 06.12.2026 1", "R");
  std::filesystem::remove_all(tree_.Host("log/R"));
  tree_.Write("log/R", "a file");
  EXPECT_EQ(RAISED_MESSAGE(Store("T1 06.12.2026 2", "R")), "Cannot create .\\R\\");
  TDataController fresh(tree_.Root());
  fresh.UseStandardNames();
  fresh.Faults().SetReport([this](const std::string& line) { reports_.push_back(line); });
  EXPECT_THROW(fresh.SaveLogRecord("T1 06.12.2026 3", "R"), ENotStored);
  std::remove(tree_.Host("log/R").c_str());
  Store("T1 06.12.2026 4", "R");
  now_ += 1s;
  store_.Faults().ReportDue();
  const std::string all = tree_.Host("log/R/alllog.dat");
  const std::string lost = "; 1 record and 0 alarms lost since the last report";
  EXPECT_EQ(reports_,
            (std::vector<std::string>{"Not stored: " + all + ": Not a directory" + lost,
                                      "Not stored: " + all + ": Not a directory" + lost,
                                      "Storing again after \"Not a directory\" (" + all +
                                          "); 0 records and 0 alarms lost since the last report"}));
  EXPECT_EQ(shown_, (std::vector<std::string>{"T1 06.12.2026 1", "Not a directory: T1 06.12.2026 2",
                                              "T1 06.12.2026 4"}));
  EXPECT_EQ(tree_.Read("log/R/alllog.dat"), "06.12.2026 4 T1\r\n");
}

}  // namespace
