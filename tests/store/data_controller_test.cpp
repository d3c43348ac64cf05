#include "store/data_controller.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "store/store_errors.h"
#include "store/store_fixture.h"
#include "store/tree_lock.h"

namespace {

std::string WorkingDirectory() {
  char buffer[4096];
  return ::getcwd(buffer, sizeof buffer) ? buffer : "";
}

using TreeTest = StoreTest;

TEST_F(TreeTest, ChangeDirectoryChecksTheDirectoryAndNeverMovesTheProcess) {
  const std::string before = WorkingDirectory();
  tree_.MakeDir("log/SU1");
  tree_.Write("log/file.dat", "");
  EXPECT_NO_THROW(store_.ChangeDirectory(".\\log\\SU1\\"));
  EXPECT_NO_THROW(store_.ChangeDirectory(".\\LOG\\su1\\"));
  EXPECT_EQ(RAISED_MESSAGE(store_.ChangeDirectory(".\\log\\SU2\\")),
            "Can't change into directory .\\log\\SU2\\");
  EXPECT_EQ(RAISED_MESSAGE(store_.ChangeDirectory(".\\log\\file.dat")),
            "Can't change into directory .\\log\\file.dat");
  EXPECT_EQ(WorkingDirectory(), before);
}

TEST_F(TreeTest, MakeDirectoryCreatesOneLevelOnly) {
  EXPECT_EQ(RAISED_MESSAGE(store_.MakeDirectory(".\\log\\SU1\\")), "Cannot create .\\log\\SU1\\");
  EXPECT_FALSE(tree_.Exists("log"));
  store_.MakeDirectory(".\\log\\");
  store_.MakeDirectory(".\\log\\SU1\\");
  store_.MakeDirectory(".\\log\\SU1\\Camera_Cam0\\");
  EXPECT_TRUE(tree_.IsDirectory("log/SU1/Camera_Cam0"));
  // Another letter case reaches the same directory: nothing new is made.
  store_.MakeDirectory(".\\log\\SU1\\camera_cam0\\");
  EXPECT_FALSE(tree_.Exists("log/SU1/camera_cam0"));
  tree_.Write("log/taken", "x");
  EXPECT_EQ(RAISED_MESSAGE(store_.MakeDirectory(".\\log\\taken\\")),
            "Cannot create .\\log\\taken\\");
}

TEST_F(TreeTest, MakeFileLeavesAnExistingFileAndRefusesADirectoryName) {
  tree_.MakeDir("log/SU1/T1.dat");
  tree_.Write("log/SU1/T2.dat", "keep\r\n");
  store_.MakeFile(".\\log\\SU1\\T2.dat");
  store_.MakeFile(".\\log\\su1\\t2.DAT");
  EXPECT_EQ(tree_.Read("log/SU1/T2.dat"), "keep\r\n");
  store_.MakeFile(".\\log\\SU1\\T3.dat");
  EXPECT_EQ(tree_.Read("log/SU1/T3.dat"), "");
  EXPECT_EQ(RAISED_MESSAGE(store_.MakeFile(".\\log\\SU1\\T1.dat")),
            "Unable to create file .\\log\\SU1\\T1.dat");
  EXPECT_EQ(RAISED_MESSAGE(store_.MakeFile(".\\log\\SU9\\T1.dat")),
            "Unable to create file .\\log\\SU9\\T1.dat");
  EXPECT_FALSE(tree_.Exists("log/SU9"));
}

TEST_F(TreeTest, DeleteFileIfExistsDeletesFilesOnly) {
  tree_.MakeDir("log/dir.dat");
  tree_.Write("log/a.dat", "x");
  store_.DeleteFileIfExists(".\\log\\A.DAT");
  EXPECT_FALSE(tree_.Exists("log/a.dat"));
  EXPECT_NO_THROW(store_.DeleteFileIfExists(".\\log\\a.dat"));
  EXPECT_NO_THROW(store_.DeleteFileIfExists(".\\log\\dir.dat"));
  EXPECT_TRUE(tree_.IsDirectory("log/dir.dat"));
}

TEST_F(TreeTest, AppendLineWritesTextAndCrLfToExistingFilesOnly) {
  tree_.MakeDir("config/sub");
  tree_.Write("config/a.txt", "x\r\n");
  store_.AppendLine(".\\config\\a.txt", "hello");
  store_.AppendLine(".\\config\\A.TXT", "");
  EXPECT_EQ(tree_.Read("config/a.txt"), "x\r\nhello\r\n\r\n");
  EXPECT_EQ(RAISED_MESSAGE(store_.AppendLine(".\\config\\b.txt", "t")), "File does not exist!");
  EXPECT_FALSE(tree_.Exists("config/b.txt"));
  EXPECT_EQ(RAISED_MESSAGE(store_.AppendLine(".\\config\\sub", "t")), "File does not exist!");
}

TEST_F(TreeTest, AppendLineRaisesTheRuntimeTextForAWriteError) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  try {
    store_.AppendLine("/dev/full", "no room");
    FAIL() << "no exception";
  } catch (const EInOutError& error) {
    EXPECT_STREQ(error.what(), "Disk full");
  }
}

TEST_F(TreeTest, RuntimeTextsForErrorNumbers) {
  EXPECT_EQ(InOutErrorText(ENOENT), "File not found");
  EXPECT_EQ(InOutErrorText(ENOSPC), "Disk full");
  EXPECT_EQ(InOutErrorText(EFBIG), "Disk full");  // a file size limit reached
  EXPECT_EQ(InOutErrorText(EROFS), "Read-only file system");  // not a question of permission
  EXPECT_EQ(InOutErrorText(EIO), "I/O error 5");
}

TEST_F(TreeTest, EnsureConfigDirectoryCreatesItOnce) {
  tree_.MakeDir("x");
  store_.EnsureConfigDirectory();
  tree_.Write("config/SU1.ini", "a");
  store_.EnsureConfigDirectory();
  EXPECT_EQ(tree_.Read("config/SU1.ini"), "a");
  store_.ConfigDir = ".\\x\\config\\";
  tree_.Write("x/config", "file");
  EXPECT_EQ(RAISED_MESSAGE(store_.EnsureConfigDirectory()), "Cannot create .\\x\\config\\");
}

TEST_F(TreeTest, RetentionDaysTakesOnlyValuesAboveOne) {
  TDataController fresh(tree_.Root());
  EXPECT_EQ(fresh.RetentionDays, 0);
  EXPECT_EQ(fresh.LogDir, "");
  fresh.SetRetentionDays(1);
  EXPECT_EQ(fresh.RetentionDays, 0);
  fresh.SetRetentionDays(2);
  EXPECT_EQ(fresh.RetentionDays, 2);
  fresh.SetRetentionDays(1);
  EXPECT_EQ(fresh.RetentionDays, 2);
}

TEST_F(TreeTest, ListFilesGivesAbsoluteEntriesInTheCallersSpelling) {
  tree_.MakeDir("log/SU1/Camera_Cam0");
  tree_.Write("log/SU1/alllog.dat", "");
  tree_.Write("log/SU1/.hidden", "");
  std::optional<StringList> list = store_.ListFiles(".\\LOG\\su1\\", "*.*", false);
  ASSERT_TRUE(list.has_value());
  std::sort(list->begin(), list->end());
  EXPECT_EQ(*list, (StringList{tree_.Root() + "\\LOG\\su1\\.hidden",
                               tree_.Root() + "\\LOG\\su1\\alllog.dat"}));
  std::optional<StringList> slashes = store_.ListFiles("log/SU1/Camera_Cam0/../", "*.*", false);
  ASSERT_TRUE(slashes.has_value());
  EXPECT_EQ(slashes->size(), 2u);
}

TEST_F(TreeTest, ListFilesGivesNoneInsteadOfAnEmptyList) {
  tree_.MakeDir("log/SU1/Camera_Cam0");
  EXPECT_FALSE(store_.ListFiles(".\\log\\SU1\\", "*.*", false).has_value());
  EXPECT_FALSE(store_.ListFiles(".\\log\\", "*.*", true).has_value());
  EXPECT_EQ(RAISED_MESSAGE(store_.ListFiles(".\\alarms\\", "*.*", false)),
            "Can't change into directory .\\alarms\\");
}

TEST_F(TreeTest, RecursiveListingPutsASubDirectorysFilesWhereItIsMet) {
  tree_.MakeDir("log/SU1/Camera_Cam0/deeper");
  tree_.Write("log/SU1/x.dat", "");
  tree_.Write("log/SU1/z.dat", "");
  tree_.Write("log/SU1/Camera_Cam0/p1.jpg", "");
  tree_.Write("log/SU1/Camera_Cam0/p2.jpg", "");
  tree_.Write("log/SU1/Camera_Cam0/deeper/d.txt", "");
  std::optional<StringList> list = store_.ListFiles(".\\log\\", "*.*", true);
  ASSERT_TRUE(list.has_value());
  const std::string camera = tree_.Root() + "\\log\\SU1\\Camera_Cam0\\";
  StringList sorted = *list;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted,
            (StringList{camera + "deeper\\d.txt", camera + "p1.jpg", camera + "p2.jpg",
                        tree_.Root() + "\\log\\SU1\\x.dat", tree_.Root() + "\\log\\SU1\\z.dat"}));
  // The camera directory's files, its sub-directory's included, form one block.
  auto inCamera = [&](const std::string& entry) { return entry.rfind(camera, 0) == 0; };
  auto first = std::find_if(list->begin(), list->end(), inCamera);
  EXPECT_TRUE(std::all_of(first, first + 3, inCamera));
}

TEST_F(TreeTest, ListFilesAppliesTheMask) {
  tree_.MakeDir("config");
  tree_.Write("config/SU1.ini", "");
  tree_.Write("config/readme", "");
  std::optional<StringList> list = store_.ListFiles(".\\config\\", "*.INI", false);
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(*list, StringList{tree_.Root() + "\\config\\SU1.ini"});
  EXPECT_EQ(store_.ListFiles(".\\config\\", "*.*", false)->size(), 2u);
}

TEST_F(TreeTest, LatestFileIsTheNewestVisibleFile) {
  tree_.MakeDir("log/SU1/cam/newest_dir");
  EXPECT_EQ(store_.LatestFile(".\\log\\SU1\\cam\\"), "");
  tree_.Write("log/SU1/cam/a.jpg", "");
  tree_.Write("log/SU1/cam/b.jpg", "");
  tree_.Write("log/SU1/cam/.c.jpg", "");
  tree_.SetTime("log/SU1/cam/a.jpg", At(1, 10, 0, 0));
  tree_.SetTime("log/SU1/cam/b.jpg", At(1, 9, 0, 0));
  tree_.SetTime("log/SU1/cam/.c.jpg", At(0, 10, 0, 0));
  tree_.SetTime("log/SU1/cam/newest_dir", At(0, 11, 0, 0));
  EXPECT_EQ(store_.LatestFile(".\\log\\SU1\\CAM\\"), "a.jpg");
  EXPECT_EQ(RAISED_MESSAGE(store_.LatestFile(".\\log\\SU2\\cam\\")),
            "Can't change into directory .\\log\\SU2\\cam\\");
}

TEST_F(TreeTest, LatestFileTreatsTimesInOneTwoSecondStepAsEqual) {
  tree_.MakeDir("cam");
  tree_.Write("cam/a.jpg", "");
  tree_.Write("cam/b.jpg", "");
  std::optional<StringList> order = store_.ListFiles("cam", "*.*", false);
  ASSERT_TRUE(order.has_value());
  auto name = [](const std::string& entry) { return entry.substr(entry.rfind('\\') + 1); };
  const std::string first = name(order->front()), second = name(order->back());
  tree_.SetTime("cam/" + first, At(1, 10, 0, 0));
  tree_.SetTime("cam/" + second, At(1, 10, 0, 1));  // newer, in the same step
  EXPECT_EQ(store_.LatestFile("cam"), first);
  tree_.SetTime("cam/" + second, At(1, 10, 0, 2));
  EXPECT_EQ(store_.LatestFile("cam"), second);
}

// A lock file left by another user (a service run after a desktop run) that
// cannot be opened for writing still locks the tree, against a second holder too.
TEST(TreeLockTest, ALockFileThatCannotBeWrittenStillLocksTheTree) {
  TempTree tree;
  tree.Write(TreeLock::kFileName, "");
  ::chmod(tree.Root().c_str(), 0755);
  ::chmod(tree.Host(TreeLock::kFileName).c_str(), 0444);
  const pid_t child = ::fork();
  if (child == 0) {  // as root, the other user is nobody
    if (::geteuid() == 0 && ::setuid(65534) != 0) _exit(2);
    TreeLock first(tree.Root()), second(tree.Root());
    try {
      _exit(first.TryTake() && !second.TryTake() ? 0 : 1);
    } catch (const std::exception&) {
      _exit(3);
    }
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not taken or taken twice, 3: refused with an error";
}

}  // namespace
