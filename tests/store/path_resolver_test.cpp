#include "store/path_resolver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "base/confined_open.h"
#include "store/temp_tree.h"

namespace {

class PathResolverTest : public ::testing::Test {
 protected:
  PathResolverTest() : resolver_(tree_.Root()) {}
  TempTree tree_;
  PathResolver resolver_;
};

TEST_F(PathResolverTest, BothSeparatorsAndDotComponentsResolveBelowTheStartDirectory) {
  EXPECT_EQ(resolver_.Resolve(".\\log\\SU1\\"), tree_.Host("log/SU1"));
  EXPECT_EQ(resolver_.Resolve("log/SU1/x.dat"), tree_.Host("log/SU1/x.dat"));
  EXPECT_EQ(resolver_.Resolve(".\\.\\alarms\\\\"), tree_.Host("alarms"));
  EXPECT_EQ(resolver_.Resolve(".\\"), tree_.Root());
  EXPECT_EQ(resolver_.Resolve(""), tree_.Root());
}

TEST_F(PathResolverTest, ExistingEntriesAreFoundIgnoringLetterCase) {
  tree_.MakeDir("log/SU1/Camera_Cam0");
  tree_.Write("log/SU1/Camera_Cam0/p1.jpg", "x");
  std::string expected = tree_.Host("log/SU1/Camera_Cam0");
  EXPECT_EQ(resolver_.Resolve(".\\log\\SU1\\camera_cam0\\"), expected);
  EXPECT_EQ(resolver_.Resolve(".\\LOG\\su1\\Camera_cam0\\"), expected);
  EXPECT_EQ(resolver_.Resolve("log/su1/CAMERA_CAM0/P1.JPG"), expected + "/p1.jpg");
}

TEST_F(PathResolverTest, MissingComponentsKeepTheSpellingGiven) {
  tree_.MakeDir("log");
  EXPECT_EQ(resolver_.Resolve("LOG\\NewUnit\\Sub\\A.dat"), tree_.Host("log/NewUnit/Sub/A.dat"));
}

TEST_F(PathResolverTest, ExactSpellingWinsOverAnotherCase) {
  tree_.MakeDir("log/abc");
  tree_.MakeDir("log/ABC");
  EXPECT_EQ(resolver_.Resolve("log/ABC"), tree_.Host("log/ABC"));
  EXPECT_EQ(resolver_.Resolve("log/abc"), tree_.Host("log/abc"));
  // Of several case variants the choice is stable: the one sorting first.
  EXPECT_EQ(resolver_.Resolve("log/Abc"), tree_.Host("log/ABC"));
}

// The index of each directory's names follows changes made in other ways.
TEST_F(PathResolverTest, LetterCaseLookupsSeeFilesAddedAndRenamedBehindTheProgramsBack) {
  tree_.MakeDir("log/U");
  tree_.Write("log/U/A.dat", "");
  EXPECT_EQ(resolver_.Resolve("log/u/a.dat"), tree_.Host("log/U/A.dat"));
  EXPECT_EQ(resolver_.Resolve("log/u/b.dat"), tree_.Host("log/U/b.dat"));
  tree_.Write("log/U/B.DAT", "");
  EXPECT_EQ(resolver_.Resolve("log/u/b.dat"), tree_.Host("log/U/B.DAT"));
  ASSERT_EQ(::rename(tree_.Host("log/U/A.dat").c_str(), tree_.Host("log/U/C.dat").c_str()), 0);
  EXPECT_EQ(resolver_.Resolve("log/U/a.DAT"), tree_.Host("log/U/a.DAT"));
  EXPECT_EQ(resolver_.Resolve("log/U/c.DAT"), tree_.Host("log/U/C.dat"));
}

TEST_F(PathResolverTest, AbsoluteListEntryFormResolvesToTheSameFile) {
  tree_.MakeDir("log/SU1");
  tree_.Write("log/SU1/alllog.dat", "");
  EXPECT_EQ(resolver_.Resolve(tree_.Root() + "\\log\\SU1\\alllog.dat"),
            tree_.Host("log/SU1/alllog.dat"));
}

TEST_F(PathResolverTest, ConfinedAcceptsEveryFormBelowAnAllowedTopDirectory) {
  tree_.MakeDir("log/SU1");
  std::string expected = tree_.Host("log/SU1/x.dat");
  for (std::string request : {std::string(".\\log\\SU1\\x.dat"), std::string("log/SU1/x.dat"),
                              tree_.Root() + "\\log\\SU1\\x.dat", tree_.Root() + "/log/SU1/x.dat",
                              std::string("Log/su1/x.dat")}) {
    std::optional<std::string> host =
        resolver_.ResolveConfined(request, {"log", "config", "alarms"});
    ASSERT_TRUE(host.has_value()) << request;
    EXPECT_EQ(*host, expected) << request;
  }
  EXPECT_EQ(resolver_.ResolveConfined("config/SU1.ini", {"log", "config"}),
            tree_.Host("config/SU1.ini"));
}

TEST_F(PathResolverTest, ConfinedRefusesEverythingOutsideTheAllowedDirectories) {
  tree_.MakeDir("log");
  tree_.MakeDir("secret");
  tree_.Write("secret/key", "k");
  auto refused = [&](std::string_view request) {
    return !resolver_.ResolveConfined(request, {"log", "config", "alarms"}).has_value();
  };
  EXPECT_TRUE(refused("/etc/passwd"));
  EXPECT_TRUE(refused("\\etc\\passwd"));
  EXPECT_TRUE(refused("secret/key"));
  EXPECT_TRUE(refused("log/../secret/key"));
  EXPECT_TRUE(refused("log\\..\\secret\\key"));
  EXPECT_TRUE(refused(tree_.Root() + "/../x/log/a"));
  EXPECT_TRUE(refused(tree_.Root() + "x/log/a"));
  EXPECT_TRUE(refused(std::string_view("log/a\0b", 7)));
  EXPECT_TRUE(refused("log"));
  EXPECT_TRUE(refused("log/"));
  EXPECT_TRUE(refused(""));
}

TEST_F(PathResolverTest, ConfinedRefusesSymbolicLinksThatLeadOut) {
  tree_.MakeDir("log/SU1");
  tree_.MakeDir("secret");
  tree_.Write("secret/key", "k");
  ASSERT_EQ(::symlink(tree_.Host("secret").c_str(), tree_.Host("log/out").c_str()), 0);
  ASSERT_EQ(::symlink(tree_.Host("secret/key").c_str(), tree_.Host("log/SU1/key.dat").c_str()), 0);
  ASSERT_EQ(::symlink("/nonexistent/target", tree_.Host("log/SU1/dangling.dat").c_str()), 0);
  ASSERT_EQ(::symlink(tree_.Host("log/SU1").c_str(), tree_.Host("log/inside").c_str()), 0);
  EXPECT_FALSE(resolver_.ResolveConfined("log/out/key", {"log"}).has_value());
  EXPECT_FALSE(resolver_.ResolveConfined("log/out/new.dat", {"log"}).has_value());
  EXPECT_FALSE(resolver_.ResolveConfined("log/SU1/key.dat", {"log"}).has_value());
  EXPECT_FALSE(resolver_.ResolveConfined("log/SU1/dangling.dat", {"log"}).has_value());
  EXPECT_EQ(resolver_.ResolveConfined("log/inside/a.dat", {"log"}), tree_.Host("log/inside/a.dat"));
}

TEST_F(PathResolverTest, ConfinedRefusesATopDirectoryThatIsALinkElsewhere) {
  tree_.MakeDir("elsewhere");
  ASSERT_EQ(::symlink(tree_.Host("elsewhere").c_str(), tree_.Host("log").c_str()), 0);
  EXPECT_FALSE(resolver_.ResolveConfined("log/a.dat", {"log"}).has_value());
}

// Both ways of the confined open, the kernel's and the walk, while a
// directory is swapped for a link out: what opens is inside or nothing.
TEST_F(PathResolverTest, ConfinedOpenNeverLeavesTheTreeWhileADirectoryIsSwappedForALinkOut) {
  TempTree outside;
  outside.Write("T1.dat", "SECRET");
  tree_.MakeDir("log/SU1");
  tree_.Write("log/SU1/T1.dat", "inside");
  ASSERT_EQ(::symlink(outside.Root().c_str(), tree_.Host("log/swap").c_str()), 0);
  ASSERT_EQ(::symlink(tree_.Host("log/SU1/T1.dat").c_str(), tree_.Host("log/abs.dat").c_str()), 0);
  FileDescriptor log(::open(tree_.Host("log").c_str(), O_PATH | O_DIRECTORY));
  for (auto method : {confined_open::Method::kKernel, confined_open::Method::kWalk}) {
    FileDescriptor absolute(confined_open::Open(log.Get(), "abs.dat", O_RDONLY, 0, method));
    EXPECT_TRUE(absolute.Valid()) << "an absolute link inside is followed";
  }
  for (auto method : {confined_open::Method::kKernel, confined_open::Method::kWalk}) {
    std::atomic<bool> stop = false;
    std::thread swapper([&] {
      std::string a = tree_.Host("log/SU1"), b = tree_.Host("log/swap");
      while (!stop) ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    });
    int leaks = 0, opened = 0;
    for (int i = 0; i < 20000; ++i) {
      FileDescriptor fd(confined_open::Open(log.Get(), "SU1/T1.dat", O_RDONLY, 0, method));
      char first = 0;
      if (fd.Valid() && ::read(fd.Get(), &first, 1) == 1) (first == 'S' ? leaks : opened)++;
    }
    stop = true;
    swapper.join();
    EXPECT_EQ(leaks, 0);
    EXPECT_GT(opened, 0);
  }
}

// Taken when the program is loaded: a later move of the process changes nothing.
TEST(ProcessStartDirectoryTest, IsTheWorkingDirectoryAtStartWhereverTheProcessMovesLater) {
  char buffer[4096];
  ASSERT_NE(::getcwd(buffer, sizeof buffer), nullptr);
  ASSERT_EQ(::chdir("/"), 0);
  const std::string start = PathResolver::ProcessStartDirectory();
  ASSERT_EQ(::chdir(buffer), 0);
  EXPECT_EQ(start, buffer);
}

}  // namespace
