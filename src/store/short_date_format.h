// The host's short date format: the order of day, month and year and their
// separator, taken from Qt's own locale data (QLocale) for the locale named
// by LC_ALL, then LC_TIME, then LANG, whether or not the system has that
// locale generated. Reads dates tolerantly (one or two digits for day and
// month, two or four for the year) and writes them in the host's form.
// A value type; thread safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/exceptions.h"

class ShortDateFormat {
 public:
  enum class Order { DayMonthYear, MonthDayYear, YearMonthDay };

  // The format of the C locale: month/day/two-digit year.
  ShortDateFormat() = default;

  // From a strftime date pattern such as "%d.%m.%Y" (what nl_langinfo(D_FMT)
  // gives); a pattern without day, month and year gives the C format.
  static ShortDateFormat FromPattern(std::string_view pattern);
  // The short date format of a locale name ("de_DE.UTF-8") by Qt's locale
  // data; nullopt when Qt does not know the name. "C" and "POSIX" give the C
  // format, as does a known locale whose format names the month in words.
  static std::optional<ShortDateFormat> FromKnownLocale(const std::string& localeName);
  // As FromKnownLocale, the C format for an unknown name.
  static ShortDateFormat FromLocale(const std::string& localeName);
  // The locale named by LC_ALL, else LC_TIME, else LANG (the first that is
  // set and not empty), else "C".
  static std::string LocaleNameFromEnvironment();
  // The format of that locale; for an unknown name the C format, said once
  // on standard error.
  static ShortDateFormat FromEnvironment();

  Order DateOrder() const { return order_; }
  char Separator() const { return separator_; }

  // The day number (local_calendar) of text, or nullopt when text is not a
  // date in this format. currentYear places two-digit years: the year ending
  // in those digits that lies within 50 years before or 49 after it.
  std::optional<int> TryParse(std::string_view text, int currentYear) const;
  // As TryParse; raises EConvertError "'text' is not a valid date".
  int Parse(std::string_view text, int currentYear) const;

  // The date as the host writes it, e.g. "06.12.2026" for "%d.%m.%Y".
  std::string Format(int year, int month, int day) const;

 private:
  Order order_ = Order::MonthDayYear;
  char separator_ = '/';
  bool fourDigitYear_ = false;
};
