#include "base/helptools.h"

#include <gtest/gtest.h>

namespace {

struct Cut {
  std::string field;
  std::string rest;
};

Cut CutOnce(std::string text, int mode, char delimiter = '#') {
  std::string field = CutField(text, delimiter, mode);
  return {field, text};
}

// Both forms, the string and the view, must cut alike.
void ExpectCut(const std::string& text, int mode, const std::string& field,
               const std::string& rest) {
  Cut cut = CutOnce(text, mode);
  EXPECT_EQ(cut.field, field) << "cutting \"" << text << "\" in mode " << mode;
  EXPECT_EQ(cut.rest, rest) << "cutting \"" << text << "\" in mode " << mode;
  std::string_view view = text;
  std::string_view viewField = CutField(view, '#', mode);
  EXPECT_EQ(viewField, field) << "cutting the view \"" << text << "\" in mode " << mode;
  EXPECT_EQ(view, rest) << "cutting the view \"" << text << "\" in mode " << mode;
}

TEST(CutFieldTest, FirstFieldTakesTheTextBeforeTheFirstDelimiter) {
  ExpectCut("A#B", 0, "A", "B");
  ExpectCut("A#", 0, "A", "");
  ExpectCut("#A", 0, "", "A");
  ExpectCut("#", 0, "", "");
  ExpectCut("AB#CD#EF", 0, "AB", "CD#EF");
}

TEST(CutFieldTest, FirstFieldWithoutDelimiterLeavesTheTextWaiting) {
  ExpectCut("CS_TEXT SU1 DU_CH", 0, "", "CS_TEXT SU1 DU_CH");
}

TEST(CutFieldTest, RepeatedDelimitersAreConsumedOnePerCall) {
  std::string text = "A##B";
  EXPECT_EQ(CutField(text, '#', 0), "A");
  EXPECT_EQ(text, "#B");
  EXPECT_EQ(CutField(text, '#', 0), "");
  EXPECT_EQ(text, "B");
}

TEST(CutFieldTest, LastFieldTakesTheTextAfterTheLastDelimiter) {
  ExpectCut("A#B#C", 1, "C", "A#B");
  ExpectCut("#A", 1, "A", "");
  ExpectCut("A", 1, "A", "");
  ExpectCut("A##B", 1, "B", "A#");
}

TEST(CutFieldTest, LastFieldNeverCutsAtAFinalDelimiter) {
  ExpectCut("A#B#", 1, "B#", "A");
  ExpectCut("A#", 1, "A#", "");
  ExpectCut("#", 1, "#", "");
  ExpectCut("name.", 1, "name.", "");
}

TEST(CutFieldTest, EmptyTextAndUnknownModesChangeNothing) {
  ExpectCut("", 0, "", "");
  ExpectCut("", 7, "", "");
  ExpectCut("A#B", 2, "", "A#B");
  ExpectCut("A#B", -1, "", "A#B");
}

TEST(CutFieldTest, WorksWithAnyDelimiterAndEightBitText) {
  std::string path = "/srv/du\\log\\SU1\\alllog.dat";
  EXPECT_EQ(CutField(path, '\\', 1), "alllog.dat");
  std::string name = "alllog.dat";
  EXPECT_EQ(CutField(name, '.', 0), "alllog");
  std::string bytes = std::string("\xff\x00#\x80", 4);
  EXPECT_EQ(CutField(bytes, '#', 0), std::string("\xff\x00", 2));
  EXPECT_EQ(bytes, "\x80");
}

TEST(JoinListTest, JoinsWithSeparatorsOnlyBetweenItems) {
  EXPECT_EQ(JoinList(StringList{"A", "B", "C"}, '|'), "A|B|C");
  EXPECT_EQ(JoinList(StringList{"only"}, '|'), "only");
  EXPECT_EQ(JoinList(StringList{}, '|'), "");
  EXPECT_EQ(JoinList(StringList{"", ""}, '|'), "|");
}

TEST(JoinListTest, NoListGivesAnEmptyText) {
  EXPECT_EQ(JoinList(std::optional<StringList>(), '|'), "");
}

}  // namespace
