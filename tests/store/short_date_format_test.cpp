#include "store/short_date_format.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "store/local_calendar.h"

namespace {

using Order = ShortDateFormat::Order;
using local_calendar::DaysFromCivil;

TEST(ShortDateFormatTest, PatternsGiveOrderAndSeparator) {
  struct Case {
    const char* pattern;
    Order order;
    char separator;
    const char* written;  // 6 December 2026
  } cases[] = {
      {"%d.%m.%Y", Order::DayMonthYear, '.', "06.12.2026"},
      {"%m/%d/%y", Order::MonthDayYear, '/', "12/06/26"},
      {"%Y-%m-%d", Order::YearMonthDay, '-', "2026-12-06"},
      {"%F", Order::YearMonthDay, '-', "2026-12-06"},
      {"%D", Order::MonthDayYear, '/', "12/06/26"},
      {"%Od.%Om.%EY", Order::DayMonthYear, '.', "06.12.2026"},
  };
  for (const Case& c : cases) {
    ShortDateFormat format = ShortDateFormat::FromPattern(c.pattern);
    EXPECT_EQ(format.DateOrder(), c.order) << c.pattern;
    EXPECT_EQ(format.Separator(), c.separator) << c.pattern;
    EXPECT_EQ(format.Format(2026, 12, 6), c.written) << c.pattern;
  }
}

TEST(ShortDateFormatTest, PatternsWithoutAllThreeFieldsFallBackToTheCFormat) {
  for (const char* pattern : {"", "%a %b %e", "%d.%m", "%H:%M"}) {
    ShortDateFormat format = ShortDateFormat::FromPattern(pattern);
    EXPECT_EQ(format.DateOrder(), Order::MonthDayYear) << pattern;
    EXPECT_EQ(format.Separator(), '/') << pattern;
  }
}

TEST(ShortDateFormatTest, EarlyFourDigitYearsAreWrittenWithLeadingZerosAndReadBack) {
  ShortDateFormat iso = ShortDateFormat::FromPattern("%F");
  EXPECT_EQ(iso.Format(26, 12, 6), "0026-12-06");
  EXPECT_EQ(iso.TryParse(iso.Format(26, 12, 6), 2026), DaysFromCivil(26, 12, 6));
  EXPECT_EQ(ShortDateFormat::FromPattern("%d.%m.%Y").Format(999, 1, 2), "02.01.0999");
}

TEST(ShortDateFormatTest, LocaleLookupReadsTheLocalesDatePattern) {
  ShortDateFormat c = ShortDateFormat::FromLocale("C.UTF-8");
  EXPECT_EQ(c.DateOrder(), Order::MonthDayYear);
  EXPECT_EQ(c.Format(2026, 12, 6), "12/06/26");
  ShortDateFormat unknown = ShortDateFormat::FromLocale("xx_NOWHERE.UTF-8");
  EXPECT_EQ(unknown.Format(2026, 12, 6), "12/06/26");
}

// Qt's locale data knows the format whether or not the system generated
// the locale; an unknown name gives the C format and says so once.
TEST(ShortDateFormatTest, TheLocaleComesFromQtsDataAndAnUnknownNameIsSaidOnce) {
  ::setenv("LC_ALL", "de_DE.UTF-8", 1);
  ShortDateFormat german = ShortDateFormat::FromEnvironment();
  EXPECT_EQ(german.DateOrder(), Order::DayMonthYear);
  EXPECT_EQ(german.TryParse("06.12.2026", 2026), DaysFromCivil(2026, 12, 6));
  EXPECT_EQ(ShortDateFormat::FromLocale("en_US").Format(2026, 12, 6), "12/06/26");
  EXPECT_EQ(ShortDateFormat::FromLocale("sv_SE.UTF-8").Format(2026, 12, 6), "2026-12-06");
  ::setenv("LC_ALL", "xx_NOWHERE.UTF-8", 1);
  testing::internal::CaptureStderr();
  ShortDateFormat unknown = ShortDateFormat::FromEnvironment();
  ShortDateFormat::FromEnvironment();
  const std::string said = testing::internal::GetCapturedStderr();
  ::unsetenv("LC_ALL");
  EXPECT_EQ(unknown.Format(2026, 12, 6), "12/06/26");
  EXPECT_EQ(said,
            "The locale \"xx_NOWHERE.UTF-8\" is not known; dates are read as month/day/year (C)\n");
}

TEST(ShortDateFormatTest, LocaleNameComesFromLcAllThenLcTimeThenLang) {
  ::setenv("LC_ALL", "a_A", 1);
  ::setenv("LC_TIME", "b_B", 1);
  ::setenv("LANG", "c_C", 1);
  EXPECT_EQ(ShortDateFormat::LocaleNameFromEnvironment(), "a_A");
  ::setenv("LC_ALL", "", 1);
  EXPECT_EQ(ShortDateFormat::LocaleNameFromEnvironment(), "b_B");
  ::unsetenv("LC_TIME");
  EXPECT_EQ(ShortDateFormat::LocaleNameFromEnvironment(), "c_C");
  ::unsetenv("LANG");
  ::unsetenv("LC_ALL");
  EXPECT_EQ(ShortDateFormat::LocaleNameFromEnvironment(), "C");
}

TEST(ShortDateFormatTest, ReadingIsTolerantOfDigitCounts) {
  ShortDateFormat german = ShortDateFormat::FromPattern("%d.%m.%Y");
  const int day = DaysFromCivil(2026, 12, 6);
  for (const char* text : {"06.12.2026", "6.12.2026", "6.12.26", "06.12.26"}) {
    EXPECT_EQ(german.TryParse(text, 2026), day) << text;
  }
  EXPECT_EQ(german.TryParse("1.2.2027", 2026), DaysFromCivil(2027, 2, 1));
  ShortDateFormat iso = ShortDateFormat::FromPattern("%Y-%m-%d");
  EXPECT_EQ(iso.TryParse("2026-12-6", 2026), day);
  ShortDateFormat us = ShortDateFormat::FromPattern("%m/%d/%y");
  EXPECT_EQ(us.TryParse("12/6/26", 2026), day);
}

TEST(ShortDateFormatTest, AnythingElseIsNotADate) {
  ShortDateFormat german = ShortDateFormat::FromPattern("%d.%m.%Y");
  for (const char* text :
       {"", "06.12", "06.12.", "06/12/2026", "31.02.2026", "29.02.2027", "00.12.2026", "06.13.2026",
        "06.12.026", "06.12.20266", "006.12.2026", "a6.12.2026", "06.12.2026x", "+6.12.2026",
        " 6.12.2026", "06..2026", "06.12.2026.1", "21.5"}) {
    EXPECT_FALSE(german.TryParse(text, 2026).has_value()) << text;
  }
  EXPECT_EQ(german.TryParse("29.02.2028", 2026), DaysFromCivil(2028, 2, 29));
}

TEST(ShortDateFormatTest, TwoDigitYearsLieWithinFiftyYearsOfTheCurrentYear) {
  ShortDateFormat german = ShortDateFormat::FromPattern("%d.%m.%y");
  EXPECT_EQ(german.TryParse("01.01.75", 2026), DaysFromCivil(2075, 1, 1));
  EXPECT_EQ(german.TryParse("01.01.76", 2026), DaysFromCivil(1976, 1, 1));
  EXPECT_EQ(german.TryParse("01.01.10", 2090), DaysFromCivil(2110, 1, 1));
}

TEST(ShortDateFormatTest, ParseRaisesTheConversionMessage) {
  ShortDateFormat german = ShortDateFormat::FromPattern("%d.%m.%Y");
  try {
    german.Parse("32.12.2026", 2026);
    FAIL() << "no exception";
  } catch (const EConvertError& error) {
    EXPECT_STREQ(error.what(), "'32.12.2026' is not a valid date");
  }
  EXPECT_THROW(german.Parse("", 2026), EConvertError);
  EXPECT_EQ(german.Parse("6.12.2026", 2026), DaysFromCivil(2026, 12, 6));
}

TEST(LocalCalendarTest, DayNumbersCountFromTheEpoch) {
  EXPECT_EQ(DaysFromCivil(1970, 1, 1), 0);
  EXPECT_EQ(DaysFromCivil(2000, 3, 1) - DaysFromCivil(2000, 2, 28), 2);
  EXPECT_EQ(DaysFromCivil(1969, 12, 31), -1);
}

class FileAgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  static std::time_t At(int dayNumber, int hour, int minute, int second) {
    return static_cast<std::time_t>(dayNumber) * 86400 + hour * 3600 + minute * 60 + second;
  }
};

TEST_F(FileAgeTest, AgesRoundHalfToEvenThenAddOne) {
  const int today = DaysFromCivil(2026, 12, 10);
  EXPECT_EQ(local_calendar::FileAgeDays(At(today - 6, 12, 0, 0), today), 7);  // 5.5 -> 6
  EXPECT_EQ(local_calendar::FileAgeDays(At(today - 6, 12, 0, 2), today), 6);  // 5.49998 -> 5
  EXPECT_EQ(local_calendar::FileAgeDays(At(today - 6, 12, 0, 1), today),
            7);  // two-second step: 12:00:00
  EXPECT_EQ(local_calendar::FileAgeDays(At(today - 7, 12, 0, 0), today), 7);  // 6.5 -> 6
  EXPECT_EQ(local_calendar::FileAgeDays(At(today - 7, 11, 59, 58), today), 8);
  EXPECT_EQ(local_calendar::FileAgeDays(At(today, 15, 0, 0), today), 0);  // -0.625 -> -1
  EXPECT_EQ(local_calendar::FileAgeDays(At(today, 0, 0, 0), today), 1);
}

}  // namespace
