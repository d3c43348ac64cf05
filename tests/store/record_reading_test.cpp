// Reading stored record lines as plot points, and following a log file while
// records are appended to it and the retention sweep rewrites it.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "store/local_calendar.h"
#include "store/record_file_follower.h"
#include "store/record_point.h"
#include "temp_tree.h"

namespace {

using local_calendar::DaysFromCivil;

constexpr long long kDay = 86400;
const ShortDateFormat kDayMonthYear = ShortDateFormat::FromPattern("%d.%m.%Y");

long long At(int year, int month, int day, int seconds = 0) {
  return DaysFromCivil(year, month, day) * kDay + seconds;
}

std::optional<RecordPoint> Read(const std::string& line,
                                const ShortDateFormat& format = kDayMonthYear) {
  return record_point::Read(line, format, 2026);
}

TEST(RecordPointTest, DateFormsATimeFieldAndTheLastFieldAsValue) {
  struct Case {
    const char* line;
    ShortDateFormat format;
    long long second;
    double value;
  } cases[] = {
      {"06.12.2026 21.5", kDayMonthYear, At(2026, 12, 6), 21.5},
      {"6.12.26 21.5\r", kDayMonthYear, At(2026, 12, 6), 21.5},
      {"06.12.2026 10:15:07 -3", kDayMonthYear, At(2026, 12, 6, 36907), -3},
      {"06.12.2026 9:05 7,25", kDayMonthYear, At(2026, 12, 6, 32700), 7.25},
      {"06.12.2026  open  door  1e3", kDayMonthYear, At(2026, 12, 6), 1000},
      {"12/06/26 +4", ShortDateFormat::FromPattern("%m/%d/%y"), At(2026, 12, 6), 4},
      {"2026-12-06 23:59:59 0.5", ShortDateFormat::FromPattern("%Y-%m-%d"), At(2026, 12, 6, 86399),
       0.5},
  };
  for (const Case& c : cases) {
    std::optional<RecordPoint> point = Read(c.line, c.format);
    ASSERT_TRUE(point) << c.line;
    EXPECT_EQ(point->localSecond, c.second) << c.line;
    EXPECT_EQ(point->value, c.value) << c.line;
  }
}

TEST(RecordPointTest, LinesThatDoNotReadAsAPointGiveNone) {
  for (const char* line :
       {"", "06.12.2026", "06.12.2026 ", "06.12.2026 10:15:07", "06.12.2026 open",
        "06.12.2026 21.5.1", "06.12.2026 1,5,0", "06.12.2026 1,5.0", "06.12.2026 inf",
        "06.12.2026 nan", "32.12.2026 21.5", "12/06/2026 21.5", "T1 06.12.2026 21.5",
        "\x1a"
        "06.12.2026 1"}) {
    EXPECT_FALSE(Read(line)) << line;
  }
  EXPECT_FALSE(record_point::ReadTimeOfDay("24:00"));
  EXPECT_FALSE(record_point::ReadTimeOfDay("10:5"));
  EXPECT_FALSE(record_point::ReadTimeOfDay("10:05:60"));
}

class RecordFileFollowerTest : public ::testing::Test {
 protected:
  void Append(const std::string& text) {
    std::ofstream out(path_, std::ios::binary | std::ios::app);
    out << text;
  }
  // Polls until the file is read to its end, gathering the slices.
  RecordFileFollower::Slice PollAll(RecordFileFollower& follower) {
    RecordFileFollower::Slice all;
    for (int polls = 0; polls < 100000; ++polls) {
      RecordFileFollower::Slice slice = follower.Poll(2026);
      if (slice.restarted) {
        all = RecordFileFollower::Slice();
        all.restarted = true;
      }
      all.points.insert(all.points.end(), slice.points.begin(), slice.points.end());
      all.skippedLines += slice.skippedLines;
      if (!slice.more) break;
    }
    return all;
  }
  static std::vector<double> Values(const RecordFileFollower::Slice& slice) {
    std::vector<double> values;
    for (const RecordPoint& point : slice.points) values.push_back(point.value);
    return values;
  }

  TempTree tree_;
  std::string path_ = tree_.Host("T1.dat");
};

TEST_F(RecordFileFollowerTest, ReadsOnlyWhatWasAppendedAndWaitsForALinesEnd) {
  RecordFileFollower follower(path_, kDayMonthYear);
  EXPECT_TRUE(PollAll(follower).points.empty());  // no file yet
  Append("06.12.2026 1\r\nbroken\r\n06.12.2026 2\r\n06.12.2026 3");
  RecordFileFollower::Slice first = PollAll(follower);
  EXPECT_EQ(Values(first), (std::vector<double>{1, 2}));
  EXPECT_EQ(first.skippedLines, 1);
  Append("5\r\n06.12");
  RecordFileFollower::Slice second = PollAll(follower);
  EXPECT_FALSE(second.restarted);
  EXPECT_EQ(Values(second), std::vector<double>{35});
  EXPECT_EQ(second.skippedLines, 0);
  Append(".2026 4\r\n");
  EXPECT_EQ(Values(PollAll(follower)), std::vector<double>{4});
  EXPECT_TRUE(PollAll(follower).points.empty());
}

TEST_F(RecordFileFollowerTest, AFileReplacedCutShorterOrRewrittenIsReadAgainFromItsStart) {
  RecordFileFollower follower(path_, kDayMonthYear);
  Append("01.12.2026 1\r\n02.12.2026 2\r\n06.12.2026 3\r\n");
  EXPECT_EQ(Values(PollAll(follower)), (std::vector<double>{1, 2, 3}));

  // The retention sweep writes a new file and renames it over the old one.
  tree_.Write("T1.dat.new", "06.12.2026 3\r\n06.12.2026 4\r\n06.12.2026 5\r\n06.12.2026 6\r\n");
  ASSERT_EQ(std::rename(tree_.Host("T1.dat.new").c_str(), path_.c_str()), 0);
  RecordFileFollower::Slice replaced = PollAll(follower);
  EXPECT_TRUE(replaced.restarted);
  EXPECT_EQ(Values(replaced), (std::vector<double>{3, 4, 5, 6}));

  tree_.Write("T1.dat", "06.12.2026 7\r\n");  // truncated in place
  RecordFileFollower::Slice truncated = PollAll(follower);
  EXPECT_TRUE(truncated.restarted);
  EXPECT_EQ(Values(truncated), std::vector<double>{7});

  tree_.Write("T1.dat", "06.12.2026 8\r\n06.12.2026 9\r\n");  // rewritten in place, longer
  RecordFileFollower::Slice rewritten = PollAll(follower);
  EXPECT_TRUE(rewritten.restarted);
  EXPECT_EQ(Values(rewritten), (std::vector<double>{8, 9}));
}

TEST_F(RecordFileFollowerTest, ReadsInBoundedSlicesAndSkipsOverlongLines) {
  std::string content;
  for (int i = 0; i < 50; ++i)
    content += "06.12.2026 10:00:" + std::string(i < 10 ? "0" : "") + std::to_string(i) + " " +
               std::to_string(i) + "\r\n";
  content += std::string(RecordFileFollower::kMaxLineBytes + 10, 'x') + " 1\r\n06.12.2026 99\r\n";
  Append(content);
  RecordFileFollower follower(path_, kDayMonthYear, 7);
  RecordFileFollower::Slice first = follower.Poll(2026);
  EXPECT_TRUE(first.more);
  EXPECT_TRUE(first.points.empty());  // 7 bytes hold no whole line
  RecordFileFollower::Slice rest = PollAll(follower);
  ASSERT_EQ(rest.points.size(), 51u);
  EXPECT_EQ(rest.points[49].localSecond, At(2026, 12, 6, 36049));
  EXPECT_EQ(rest.points[50].value, 99);
  EXPECT_EQ(rest.skippedLines, 1);
}

}  // namespace
