// DeleteOldData, the retention sweep of the data store.
#include "store/retention_sweep.h"

#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <vector>

#include "base/failure_report.h"
#include "store/busy_files.h"
#include "store/local_calendar.h"
#include "store/store_fixture.h"

namespace {

class RetentionSweepTest : public StoreTest {
 protected:
  RetentionSweepTest() {
    tree_.MakeDir("log/SU1/Camera_Cam0");
    previousSink_ = SetFailureSink([this](const std::string& text) { reports_.push_back(text); });
  }
  ~RetentionSweepTest() override { SetFailureSink(previousSink_); }

  void Picture(const std::string& name, std::time_t time) {
    tree_.Write("log/SU1/Camera_Cam0/" + name, "jpeg");
    tree_.SetTime("log/SU1/Camera_Cam0/" + name, time);
  }
  bool HasPicture(const std::string& name) const {
    return tree_.Exists("log/SU1/Camera_Cam0/" + name);
  }

  std::vector<std::string> reports_;
  FailureSink previousSink_;
};

TEST_F(RetentionSweepTest, AMissingLogDirectoryRaisesAndChangesNothing) {
  std::filesystem::remove_all(tree_.Host("log"));
  tree_.MakeDir("config");
  tree_.Write("config/old.dat", "01.01.2020 a\n01.01.2020 b\n");
  EXPECT_EQ(RAISED_MESSAGE(store_.DeleteOldData()), "Can't change into directory .\\log\\");
  EXPECT_EQ(tree_.Read("config/old.dat"), "01.01.2020 a\n01.01.2020 b\n");
  EXPECT_FALSE(tree_.Exists("log"));
}

TEST_F(RetentionSweepTest, ALogDirectoryWithoutFilesIsFine) {
  EXPECT_NO_THROW(store_.DeleteOldData());
  EXPECT_TRUE(reports_.empty());
}

TEST_F(RetentionSweepTest, OnlyOldPicturesThatAreNotTheNewestFileGo) {
  Picture("p1.jpg", At(10, 8, 0, 0));
  Picture("p2.jpg", At(9, 8, 0, 0));
  Picture("p3.jpg", At(8, 8, 0, 0));
  store_.DeleteOldData();
  EXPECT_FALSE(HasPicture("p1.jpg"));
  EXPECT_FALSE(HasPicture("p2.jpg"));
  EXPECT_TRUE(HasPicture("p3.jpg"));
  Picture("young.jpg", At(1, 8, 0, 0));
  store_.DeleteOldData();
  EXPECT_FALSE(HasPicture("p3.jpg"));
  EXPECT_TRUE(HasPicture("young.jpg"));
}

TEST_F(RetentionSweepTest, ANewestFileThatIsNoPictureLetsEveryOldPictureGo) {
  Picture("p1.jpg", At(10, 8, 0, 0));
  Picture("p2.jpg", At(9, 8, 0, 0));
  Picture("notes.txt", At(9, 9, 0, 0));
  Picture("upper.JPG", At(30, 9, 0, 0));
  store_.DeleteOldData();
  EXPECT_FALSE(HasPicture("p1.jpg"));
  EXPECT_FALSE(HasPicture("p2.jpg"));
  EXPECT_TRUE(HasPicture("notes.txt"));
  EXPECT_TRUE(HasPicture("upper.JPG"));
}

TEST_F(RetentionSweepTest, PictureAgeCountsInTwoSecondStepsAndRoundsHalfToEven) {
  Picture("noon6.jpg", At(6, 12, 0, 0));   // age 7
  Picture("noon6b.jpg", At(6, 12, 0, 1));  // the same two-second step
  Picture("later6.jpg", At(6, 12, 0, 2));  // age 6
  Picture("noon7.jpg", At(7, 12, 0, 0));   // age 7
  Picture("newest.jpg", At(0, 9, 0, 0));
  store_.DeleteOldData();
  EXPECT_FALSE(HasPicture("noon6.jpg"));
  EXPECT_FALSE(HasPicture("noon6b.jpg"));
  EXPECT_TRUE(HasPicture("later6.jpg"));
  EXPECT_FALSE(HasPicture("noon7.jpg"));
  EXPECT_TRUE(HasPicture("newest.jpg"));
}

TEST_F(RetentionSweepTest, LogFilesLoseTheirOldLinesButNeverTheLast) {
  tree_.Write("log/SU1/all_old.dat", "01.12.2026 a\r\n02.12.2026 b\r\n03.12.2026 c\r\n");
  tree_.Write("log/SU1/old_then_young.dat", "01.12.2026 a\r\n04.12.2026 b\r\n10.12.2026 c\r\n");
  tree_.Write("log/SU1/one_old.dat", "01.01.2020 a\r\n");
  tree_.Write("log/SU1/future.dat", "11.12.2026 a\r\n01.01.2031 b\r\n");
  tree_.Write("log/SU1/between.dat", "01.12.2026 a\r\n06.12.2026 b\r\n02.12.2026 c\r\n");
  tree_.Write("log/SU1/empty.dat", "");
  tree_.Write("log/SU1/Camera_Cam0/deep.dat", "01.12.2026 a\n05.12.2026 b");
  store_.DeleteOldData();
  EXPECT_EQ(tree_.Read("log/SU1/all_old.dat"), "03.12.2026 c\r\n");
  EXPECT_EQ(tree_.Read("log/SU1/old_then_young.dat"), "04.12.2026 b\r\n10.12.2026 c\r\n");
  EXPECT_EQ(tree_.Read("log/SU1/one_old.dat"), "01.01.2020 a\r\n");
  EXPECT_EQ(tree_.Read("log/SU1/future.dat"), "11.12.2026 a\r\n01.01.2031 b\r\n");
  EXPECT_EQ(tree_.Read("log/SU1/between.dat"), "06.12.2026 b\r\n02.12.2026 c\r\n");
  EXPECT_EQ(tree_.Read("log/SU1/empty.dat"), "");
  EXPECT_EQ(tree_.Read("log/SU1/Camera_Cam0/deep.dat"), "05.12.2026 b\r\n");
  EXPECT_TRUE(reports_.empty());
}

TEST_F(RetentionSweepTest, UndatedLinesAndTheTextAfterAnEndOfTextByteStay) {
  const std::string content =
      "\r\n01.12.2026\r\nfree text\r\n01.12.2026 old\r\n05.12.2026 young\n\x1A"
      "01.12.2026 x\n";
  tree_.Write("log/SU1/mixed.dat", content);
  store_.DeleteOldData();
  EXPECT_EQ(tree_.Read("log/SU1/mixed.dat"),
            "\r\n01.12.2026\r\nfree text\r\n05.12.2026 young\r\n\x1A"
            "01.12.2026 x\n");
}

TEST_F(RetentionSweepTest, OtherFilesAndOtherDirectoriesAreNeverTouched) {
  const std::string old = "01.01.2020 a\n01.01.2020 b\n";
  for (const char* name :
       {"log/SU1/x.ini", "log/SU1/x.txt", "log/SU1/x.DAT", "log/SU1/x.dat.bak", "log/SU1/dat"}) {
    tree_.Write(name, old);
  }
  tree_.MakeDir("config");
  tree_.MakeDir("alarms");
  tree_.Write("config/SU1.dat", old);
  tree_.Write("alarms/su_sent.dat", old);
  store_.DeleteOldData();
  for (const char* name : {"log/SU1/x.ini", "log/SU1/x.txt", "log/SU1/x.DAT", "log/SU1/x.dat.bak",
                           "log/SU1/dat", "config/SU1.dat", "alarms/su_sent.dat"}) {
    EXPECT_EQ(tree_.Read(name), old) << name;
  }
}

// A file with nothing to remove is not written at all: a reader that follows
// it by its inode is not sent back to its start every hour.
TEST_F(RetentionSweepTest, OnlyAFileWithLinesToRemoveIsReplaced) {
  tree_.Write("log/SU1/T1.dat", "01.12.2026 old\n05.12.2026 a\n");
  tree_.Write("log/SU1/T2.dat", "05.12.2026 a\n");
  ::chmod(tree_.Host("log/SU1/T1.dat").c_str(), 0640);
  tree_.SetTime("log/SU1/T2.dat", At(3, 8, 0, 0));
  struct stat before1, before2, after1, after2;
  ASSERT_EQ(::stat(tree_.Host("log/SU1/T1.dat").c_str(), &before1), 0);
  ASSERT_EQ(::stat(tree_.Host("log/SU1/T2.dat").c_str(), &before2), 0);
  store_.DeleteOldData();
  ASSERT_EQ(::stat(tree_.Host("log/SU1/T1.dat").c_str(), &after1), 0);
  ASSERT_EQ(::stat(tree_.Host("log/SU1/T2.dat").c_str(), &after2), 0);
  EXPECT_NE(before1.st_ino, after1.st_ino);
  EXPECT_EQ(after1.st_mode & 07777, 0640u);
  EXPECT_EQ(tree_.Read("log/SU1/T1.dat"), "05.12.2026 a\r\n");
  EXPECT_EQ(before2.st_ino, after2.st_ino);
  EXPECT_EQ(before2.st_mtime, after2.st_mtime);
  EXPECT_EQ(tree_.Read("log/SU1/T2.dat"), "05.12.2026 a\n");
  std::optional<StringList> files = store_.ListFiles(".\\log\\SU1\\", "*.*", false);
  ASSERT_TRUE(files.has_value());
  EXPECT_EQ(files->size(), 2u);
}

TEST_F(RetentionSweepTest, BusyFilesWaitForTheNextRun) {
  tree_.Write("log/SU1/T1.dat", "01.12.2026 a\n05.12.2026 b\n");
  Picture("old.jpg", At(10, 8, 0, 0));
  Picture("new.jpg", At(0, 8, 0, 0));
  {
    BusyFiles::Mark log =
        BusyFiles::Instance().TryMark(tree_.Host("log/SU1/T1.dat"), BusyFiles::Mode::kWrite);
    BusyFiles::Mark picture = BusyFiles::Instance().TryMark(
        tree_.Host("log/SU1/Camera_Cam0/old.jpg"), BusyFiles::Mode::kRead);
    store_.DeleteOldData();
    EXPECT_EQ(tree_.Read("log/SU1/T1.dat"), "01.12.2026 a\n05.12.2026 b\n");
    EXPECT_TRUE(HasPicture("old.jpg"));
  }
  store_.DeleteOldData();
  EXPECT_EQ(tree_.Read("log/SU1/T1.dat"), "05.12.2026 b\r\n");
  EXPECT_FALSE(HasPicture("old.jpg"));
}

// Replacements are flushed to the disk before they replace their files and
// the directory after; a transfer that began and ended after a file was read
// keeps it from being replaced: the check and the rename are one step.
TEST_F(RetentionSweepTest, ReplacementsAreFlushedFirstAndATransferMeanwhileKeepsTheOldFile) {
  tree_.Write("log/SU1/T1.dat", "01.12.2026 a\n05.12.2026 b\n");
  tree_.Write("log/SU1/T2.dat", "01.12.2026 a\n05.12.2026 b\n");
  const std::string t1 = tree_.Host("log/SU1/T1.dat"), t2 = tree_.Host("log/SU1/T2.dat");
  struct stat before;
  ASSERT_EQ(::stat(t2.c_str(), &before), 0);
  auto replaced = [&] {
    struct stat now;
    return ::stat(t2.c_str(), &now) == 0 && now.st_ino != before.st_ino;
  };
  std::vector<std::string> syncs;
  SweepSettings settings{ShortDateFormat::FromPattern("%d.%m.%Y"),
                         local_calendar::DaysFromCivil(2026, 12, 10),
                         2026,
                         7,
                         ".jpg",
                         ".dat",
                         {},
                         {}};
  settings.sync = [&](int, SweepSettings::SyncScope scope) {
    bool whole = scope == SweepSettings::SyncScope::kFileSystem;
    syncs.push_back(std::string(whole ? "file system" : "directory") +
                    (replaced() ? " after" : " before"));
  };
  settings.beforeReplace = [&](const std::string& path) {
    BusyFiles::Mark mark = BusyFiles::Instance().TryMark(
        path, path == t1 ? BusyFiles::Mode::kWrite : BusyFiles::Mode::kRead);
  };
  RetentionSweep sweep(settings);
  sweep.Run(tree_.Host("log"));
  EXPECT_EQ(tree_.Read("log/SU1/T1.dat"), "01.12.2026 a\n05.12.2026 b\n");
  EXPECT_EQ(tree_.Read("log/SU1/T2.dat"), "05.12.2026 b\r\n");
  EXPECT_EQ(syncs, (std::vector<std::string>{"file system before", "directory after"}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tree_.Host("log/SU1")), {}), 3);
}

// A file size limit makes two rewrites fail; as root no permission can.
TEST_F(RetentionSweepTest, FilesThatCannotBeRewrittenAreSkippedAndReportedOnceAfterTheRun) {
  const std::string young = "05.12.2026 " + std::string(300, 'y') + "\n";
  tree_.Write("log/SU1/big1.dat", "01.12.2026 a\n" + young);
  tree_.Write("log/SU1/big2.dat", "01.12.2026 a\n" + young);
  tree_.Write("log/SU1/good.dat", "01.12.2026 a\n05.12.2026 b\n");
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit saved {};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit tight = saved;
  tight.rlim_cur = 200;
  ::setrlimit(RLIMIT_FSIZE, &tight);
  EXPECT_NO_THROW(store_.DeleteOldData());
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(tree_.Read("log/SU1/good.dat"), "05.12.2026 b\r\n");
  EXPECT_EQ(tree_.Read("log/SU1/big1.dat"), "01.12.2026 a\n" + young);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("/log/SU1/big"), std::string::npos) << reports_[0];
  EXPECT_NE(reports_[0].find("(and 1 more)"), std::string::npos) << reports_[0];
  const std::filesystem::directory_iterator entries(tree_.Host("log/SU1"));
  EXPECT_EQ(std::distance(begin(entries), end(entries)), 4)
      << "three files and Camera_Cam0, no temporary";
}

TEST_F(RetentionSweepTest, SymbolicLinksAreLeftAsTheyAreAndNotReported) {
  tree_.Write("log/SU1/T1.dat", "01.12.2026 a\n05.12.2026 b\n");
  ASSERT_EQ(::symlink("T1.dat", tree_.Host("log/SU1/link.dat").c_str()), 0);
  ASSERT_EQ(::symlink("/nonexistent/p.jpg", tree_.Host("log/SU1/Camera_Cam0/gone.jpg").c_str()), 0);
  store_.DeleteOldData();
  struct stat info;
  ASSERT_EQ(::lstat(tree_.Host("log/SU1/link.dat").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(tree_.Read("log/SU1/link.dat"), "05.12.2026 b\r\n");
  EXPECT_EQ(::lstat(tree_.Host("log/SU1/Camera_Cam0/gone.jpg").c_str(), &info), 0);
  EXPECT_TRUE(reports_.empty()) << reports_[0];
}

// Temporary files have a name of fixed length, so a log name of the longest
// length allowed is swept; what an interrupted run left is removed and never
// listed to units; the one an upload is writing stays.
TEST_F(RetentionSweepTest, TemporaryFilesOfAnInterruptedRunAreRemovedAndNeverListed) {
  const std::string longName = std::string(NAME_MAX - 4, 'n') + ".dat";
  tree_.Write("log/SU1/" + longName, "01.12.2026 a\n05.12.2026 b\n");
  tree_.Write("log/SU1/.sweep-Ab12Cd", "half a rewrite");
  tree_.Write("log/SU1/.alllog.dat.sweep-gng8e7", "from an earlier version");
  tree_.Write("log/SU1/.sweep-Up1oad", "an upload under way");
  EXPECT_EQ(store_.ListFiles(".\\log\\SU1\\", "*.*", false)->size(), 1u);
  EXPECT_EQ(store_.LatestFile(".\\log\\SU1\\"), longName);
  {
    BusyFiles::Mark upload =
        BusyFiles::Instance().TryMark(tree_.Host("log/SU1/.sweep-Up1oad"), BusyFiles::Mode::kWrite);
    store_.DeleteOldData();
  }
  EXPECT_TRUE(tree_.Exists("log/SU1/.sweep-Up1oad"));
  EXPECT_EQ(tree_.Read("log/SU1/" + longName), "05.12.2026 b\r\n");
  EXPECT_FALSE(tree_.Exists("log/SU1/.sweep-Ab12Cd"));
  EXPECT_FALSE(tree_.Exists("log/SU1/.alllog.dat.sweep-gng8e7"));
  EXPECT_TRUE(reports_.empty()) << reports_[0];
}

TEST_F(RetentionSweepTest, RecordsAfterASweepGoIntoTheRewrittenFile) {
  store_.SaveLogRecord("T1 01.12.2026 a", "SU1");
  store_.SaveLogRecord("T1 05.12.2026 b", "SU1");
  store_.DeleteOldData();
  store_.SaveLogRecord("T1 10.12.2026 c", "SU1");
  EXPECT_EQ(tree_.Read("log/SU1/T1.dat"), "05.12.2026 b\r\n10.12.2026 c\r\n");
}

TEST_F(RetentionSweepTest, TwoDigitYearFormatsAreReadBackAsTheSameDays) {
  store_.SetDateFormat(ShortDateFormat::FromPattern("%m/%d/%y"));
  tree_.Write("log/SU1/T1.dat", "12/01/26 a\r\n12/05/26 b\r\n12/06/26 c\r\n");
  store_.DeleteOldData();
  EXPECT_EQ(tree_.Read("log/SU1/T1.dat"), "12/05/26 b\r\n12/06/26 c\r\n");
}

}  // namespace
