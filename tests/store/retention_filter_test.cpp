#include "store/retention_filter.h"

#include <gtest/gtest.h>

#include "store/local_calendar.h"

namespace {

class RetentionFilterTest : public ::testing::Test {
 protected:
  std::string Filter(const std::string& content) {
    RetentionFilter filter(format_, today_, 2026, 7);
    std::string out;
    filter.Feed(content, out);
    filter.Finish(out);
    return out;
  }
  // The same content fed in pieces of every size from 1 byte up.
  void ExpectSameInAnyChunking(const std::string& content) {
    const std::string whole = Filter(content);
    for (std::size_t size = 1; size <= content.size(); ++size) {
      RetentionFilter filter(format_, today_, 2026, 7);
      std::string out;
      for (std::size_t at = 0; at < content.size(); at += size)
        filter.Feed(content.substr(at, size), out);
      filter.Finish(out);
      ASSERT_EQ(out, whole) << "chunk size " << size;
    }
  }

  ShortDateFormat format_ = ShortDateFormat::FromPattern("%d.%m.%Y");
  int today_ = local_calendar::DaysFromCivil(2026, 12, 10);
};

TEST_F(RetentionFilterTest, OldLinesGoExceptTheLast) {
  EXPECT_EQ(Filter("01.12.2026 a\r\n02.12.2026 b\r\n03.12.2026 c\r\n"), "03.12.2026 c\r\n");
  EXPECT_EQ(Filter("01.12.2026 a\r\n04.12.2026 b\r\n05.12.2026 c\r\n"),
            "04.12.2026 b\r\n05.12.2026 c\r\n");
  EXPECT_EQ(Filter("01.12.2026 a\r\n"), "01.12.2026 a\r\n");
  EXPECT_EQ(Filter("01.12.2026 a\r\n05.12.2026 b\r\n02.12.2026 c\r\n"),
            "05.12.2026 b\r\n02.12.2026 c\r\n");
  EXPECT_EQ(Filter("11.12.2026 future\r\n01.01.2030 far\r\n"),
            "11.12.2026 future\r\n01.01.2030 far\r\n");
}

TEST_F(RetentionFilterTest, AgeSevenIsOldAgeSixIsNot) {
  EXPECT_EQ(Filter("03.12.2026 seven\r\n04.12.2026 six\r\n"), "04.12.2026 six\r\n");
  EXPECT_EQ(Filter("04.12.2026 six\r\n10.12.2026 today\r\n"),
            "04.12.2026 six\r\n10.12.2026 today\r\n");
}

TEST_F(RetentionFilterTest, LinesEndWithCrLfWhateverTheyHadBefore) {
  EXPECT_EQ(Filter("05.12.2026 a\n05.12.2026 b\r\n05.12.2026 c"),
            "05.12.2026 a\r\n05.12.2026 b\r\n05.12.2026 c\r\n");
  EXPECT_EQ(Filter("05.12.2026 mid\rcr\n"), "05.12.2026 mid\rcr\r\n");
  EXPECT_EQ(Filter(""), "");
  EXPECT_EQ(Filter("01.12.2026 old without end"), "01.12.2026 old without end\r\n");
}

TEST_F(RetentionFilterTest, UndatedLinesAreKeptAsTheyAre) {
  EXPECT_EQ(Filter("\r\n06.12.2026\r\nhello world\r\n 01.12.2026 lead\r\n1.1.1 x\r\n"),
            "\r\n06.12.2026\r\nhello world\r\n 01.12.2026 lead\r\n1.1.1 x\r\n");
  // An old line followed by an undated one is not the last line.
  EXPECT_EQ(Filter("01.12.2026 old\r\ntext\r\n"), "text\r\n");
  EXPECT_EQ(Filter("01.12.2026 old\r\n\r\n"), "\r\n");
}

TEST_F(RetentionFilterTest, BytesFromAnEndOfTextLineOnAreKeptUnchanged) {
  EXPECT_EQ(Filter("01.12.2026 a\r\n05.12.2026 b\r\n\x1A"
                   "01.12.2026 c\n\n\x1Ax"),
            "05.12.2026 b\r\n\x1A"
            "01.12.2026 c\n\n\x1Ax");
  EXPECT_EQ(Filter("01.12.2026 a\r\n\x1A"), "01.12.2026 a\r\n\x1A")
      << "the last record before the end stays";
  EXPECT_EQ(Filter("01.12.2026 a\n02.12.2026 b\n\x1A"), "02.12.2026 b\r\n\x1A");
  EXPECT_EQ(Filter("05.12.2026 a\x1A\r\n"), "05.12.2026 a\x1A\r\n");
}

TEST_F(RetentionFilterTest, ChunkBoundariesDoNotChangeTheResult) {
  ExpectSameInAnyChunking("01.12.2026 a\r\n05.12.2026 bb\n\n02.12.2026 c\r\nx y\r\n03.12.2026 z");
  ExpectSameInAnyChunking(
      "01.12.2026 a\r\n02.12.2026 b\r\n\x1A"
      "01.12.2026 c\nrest");
  ExpectSameInAnyChunking("05.12.2026 a\r\n01.12.2026 last\r\n");
}

// With a bound of 8 bytes every line here is long: the first field decides,
// the rest streams, and an old last line is read back from the input.
TEST_F(RetentionFilterTest, LinesPastTheBoundComeOutAsIfHeldWhole) {
  const std::string contents[] = {
      "01.12.2026 old and long\r\n05.12.2026 young and long\r\n01.12.2026 last and old\r",
      "05.12.2026 kept\r\r\n01.12.2026 old\n\x1A"
      "after the end",
      "no-blank-in-this-long-first-field\n01.12.2026 the last old line",
      "05.12.2026 x\n01.12.2026 short\n01.12.2026 a long old line\r\n"};
  for (const std::string& content : contents) {
    const std::string whole = Filter(content);
    for (std::size_t size = 1; size <= content.size(); ++size) {
      RetentionFilter filter(format_, today_, 2026, 7);
      filter.SetLongLines(8, [&](long long offset, long long length, std::string& out) {
        out.append(content, static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
      });
      std::string out;
      for (std::size_t at = 0; at < content.size(); at += size)
        filter.Feed(content.substr(at, size), out);
      filter.Finish(out);
      ASSERT_EQ(out, whole) << "chunk size " << size << " of " << content;
    }
  }
}

TEST_F(RetentionFilterTest, CountsDroppedLines) {
  RetentionFilter filter(format_, today_, 2026, 7);
  std::string out;
  filter.Feed("01.12.2026 a\r\n02.12.2026 b\r\n09.12.2026 c\r\n01.12.2026 d\r\n", out);
  filter.Finish(out);
  EXPECT_EQ(filter.DroppedLines(), 2);
  EXPECT_EQ(out, "09.12.2026 c\r\n01.12.2026 d\r\n");
}

}  // namespace
