#include "base/failure_report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "base/exceptions.h"

namespace {

class FailureReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = SetFailureSink([this](const std::string& text) { shown_.push_back(text); });
  }
  void TearDown() override { SetFailureSink(previous_); }

  std::vector<std::string> shown_;
  FailureSink previous_;
};

TEST(FailureTextTest, AppendsAFullStopOnlyAfterCharactersThatSortAfterIt) {
  EXPECT_EQ(FailureText("Cannot create .\\log\\x"), "Cannot create .\\log\\x.");
  EXPECT_EQ(FailureText("File does not exist!"), "File does not exist!");
  EXPECT_EQ(FailureText("Config not found."), "Config not found.");
  EXPECT_EQ(FailureText("Can't change into directory .\\log\\"),
            "Can't change into directory .\\log\\.");
  EXPECT_EQ(FailureText("ends in a dash-"), "ends in a dash-");  // '-' sorts before '.'
  EXPECT_EQ(FailureText("ends in slash/"), "ends in slash/.");
  EXPECT_EQ(FailureText(""), "");
  EXPECT_EQ(FailureText("\xe9"), "\xe9.");  // 8-bit characters sort after '.'
}

TEST_F(FailureReportTest, GuardedHandlerFailureIsShownAndEndsOnlyThatHandler) {
  bool after = false;
  RunGuarded([&] {
    throw Exception("Unable to create file x");
    after = true;
  });
  EXPECT_FALSE(after);
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0], "Unable to create file x.");
}

TEST_F(FailureReportTest, AbortIsNeverShown) {
  RunGuarded([] { throw EAbort("quiet"); });
  EXPECT_TRUE(shown_.empty());
}

TEST_F(FailureReportTest, ForeignExceptionsAreShownToo) {
  RunGuarded([] { throw std::runtime_error("Disk full"); });
  RunGuarded([] { throw 17; });
  ASSERT_EQ(shown_.size(), 2u);
  EXPECT_EQ(shown_[0], "Disk full.");
  EXPECT_EQ(shown_[1], "Unknown exception.");
}

// Standard error goes to a file while one report is written; journal says
// whether JOURNAL_STREAM names that file, as a service manager would.
std::string StandardErrorOfOneReport(bool journal) {
  std::FILE* file = std::tmpfile();
  int saved = ::dup(2);
  ::dup2(::fileno(file), 2);
  struct stat target {};
  ::fstat(2, &target);
  std::string stream =
      std::to_string(target.st_dev) + ":" + std::to_string(target.st_ino + (journal ? 0 : 1));
  ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
  ReportFailure(std::runtime_error("Disk full"));
  ::unsetenv("JOURNAL_STREAM");
  ::dup2(saved, 2);
  ::close(saved);
  std::rewind(file);
  std::string written;
  for (int c; (c = std::fgetc(file)) != EOF;) written.push_back(static_cast<char>(c));
  std::fclose(file);
  return written;
}

// The journal stamps time and program itself: its line is the level and the text.
TEST_F(FailureReportTest, StandardErrorCarriesTheErrorLevelOnlyWhenItIsTheJournal) {
  std::string journal = StandardErrorOfOneReport(true);
  std::string terminal = StandardErrorOfOneReport(false);
  EXPECT_EQ(journal, "<3>Disk full.\n");
  EXPECT_NE(terminal.substr(0, 1), "<") << terminal;
  const std::string tail = " datacontroller: Disk full.\n";
  EXPECT_EQ(terminal.substr(terminal.size() - tail.size()), tail);
}

TEST(StrToIntTest, ReadsWholeDecimalNumbersOnly) {
  EXPECT_EQ(StrToInt("19"), 19);
  EXPECT_EQ(StrToInt("-3"), -3);
  EXPECT_EQ(StrToInt("+4"), 4);
  for (const char* bad : {"", "x", "1x", " 1", "1 ", "99999999999", "+"}) {
    try {
      StrToInt(bad);
      ADD_FAILURE() << "no error for \"" << bad << "\"";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), std::string("'") + bad + "' is not a valid integer value");
    }
  }
}

}  // namespace
