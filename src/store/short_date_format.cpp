#include "store/short_date_format.h"

#include <QLocale>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "store/local_calendar.h"

namespace {

// Date fields in the order a pattern names them: 'd', 'm', 'y' or 'Y'.
struct PatternFields {
  std::string fields;
  char separator = 0;
};

void AddConversion(char conversion, PatternFields& out) {
  switch (conversion) {
    case 'd':
    case 'e':
      out.fields += 'd';
      break;
    case 'm':
      out.fields += 'm';
      break;
    case 'y':
      out.fields += 'y';
      break;
    case 'Y':
      out.fields += 'Y';
      break;
    case 'F':
      out.fields += "Ymd";
      if (!out.separator) out.separator = '-';
      break;
    case 'D':
      out.fields += "mdy";
      if (!out.separator) out.separator = '/';
      break;
    default:
      break;
  }
}

PatternFields ReadPattern(std::string_view pattern) {
  PatternFields out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      if (!out.separator && pattern[i] != ' ') out.separator = pattern[i];
      continue;
    }
    while (i + 1 < pattern.size() && std::strchr("-_0^#EO", pattern[i + 1]) != nullptr) ++i;
    if (i + 1 < pattern.size()) AddConversion(pattern[++i], out);
  }
  return out;
}

// One run of decimal digits of an allowed length, or -1.
int ReadNumber(std::string_view digits, std::size_t minLength, std::size_t maxLength) {
  if (digits.size() < minLength || digits.size() > maxLength) return -1;
  int value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

int PlaceTwoDigitYear(int twoDigits, int currentYear) {
  int year = currentYear - currentYear % 100 + twoDigits;
  if (year > currentYear + 49) year -= 100;
  if (year < currentYear - 50) year += 100;
  return year;
}

std::string TwoDigits(int value) {
  return std::string(1, static_cast<char>('0' + value / 10 % 10)) +
         static_cast<char>('0' + value % 10);
}

bool IsCLocaleName(std::string_view name) {
  std::string_view base = name.substr(0, name.find_first_of(".@"));
  return base == "C" || base == "POSIX";
}

// A Qt date pattern ("dd.MM.yy") as a strftime one ("%d.%m.%y"); nullopt
// when it names the month or weekday in words.
std::optional<std::string> PatternFromQt(std::string_view qt) {
  std::string out;
  for (std::size_t i = 0; i < qt.size();) {
    const char letter = qt[i];
    std::size_t run = 1;
    while (i + run < qt.size() && qt[i + run] == letter) ++run;
    i += run;
    if (letter == 'd' && run <= 2) {
      out += "%d";
    } else if (letter == 'M' && run <= 2) {
      out += "%m";
    } else if (letter == 'y') {
      out += run >= 4 ? "%Y" : "%y";
    } else if (letter == 'd' || letter == 'M') {
      return std::nullopt;
    } else if (letter != '\'') {
      out.append(run, letter);
    }
  }
  return out;
}

}  // namespace

ShortDateFormat ShortDateFormat::FromPattern(std::string_view pattern) {
  PatternFields read = ReadPattern(pattern);
  ShortDateFormat format;
  std::string order = read.fields;
  bool four = order.find('Y') != std::string::npos;
  for (char& c : order) c = c == 'Y' ? 'y' : c;
  if (read.separator == 0) return format;
  if (order == "dmy") {
    format.order_ = Order::DayMonthYear;
  } else if (order == "mdy") {
    format.order_ = Order::MonthDayYear;
  } else if (order == "ymd") {
    format.order_ = Order::YearMonthDay;
  } else {
    return format;
  }
  format.separator_ = read.separator;
  format.fourDigitYear_ = four;
  return format;
}

std::optional<ShortDateFormat> ShortDateFormat::FromKnownLocale(const std::string& localeName) {
  if (IsCLocaleName(localeName)) return ShortDateFormat();
  const QLocale locale(QString::fromStdString(localeName));
  if (locale.language() == QLocale::C || locale.language() == QLocale::AnyLanguage)
    return std::nullopt;
  std::optional<std::string> pattern =
      PatternFromQt(locale.dateFormat(QLocale::ShortFormat).toStdString());
  if (!pattern) return ShortDateFormat();
  return FromPattern(*pattern);
}

ShortDateFormat ShortDateFormat::FromLocale(const std::string& localeName) {
  return FromKnownLocale(localeName).value_or(ShortDateFormat());
}

std::string ShortDateFormat::LocaleNameFromEnvironment() {
  for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return "C";
}

ShortDateFormat ShortDateFormat::FromEnvironment() {
  const std::string name = LocaleNameFromEnvironment();
  std::optional<ShortDateFormat> format = FromKnownLocale(name);
  if (format) return *format;
  static std::once_flag told;
  std::call_once(told, [&name] {
    std::fprintf(stderr, "The locale \"%s\" is not known; dates are read as month/day/year (C)\n",
                 name.c_str());
  });
  return ShortDateFormat();
}

std::optional<int> ShortDateFormat::TryParse(std::string_view text, int currentYear) const {
  std::size_t first = text.find(separator_);
  if (first == std::string_view::npos) return std::nullopt;
  std::size_t second = text.find(separator_, first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  std::string_view parts[3] = {text.substr(0, first), text.substr(first + 1, second - first - 1),
                               text.substr(second + 1)};
  int yearIndex = order_ == Order::YearMonthDay ? 0 : 2;
  int dayIndex = order_ == Order::DayMonthYear ? 0 : (order_ == Order::MonthDayYear ? 1 : 2);
  int monthIndex = 3 - yearIndex - dayIndex;
  int day = ReadNumber(parts[dayIndex], 1, 2);
  int month = ReadNumber(parts[monthIndex], 1, 2);
  std::string_view yearText = parts[yearIndex];
  int year = yearText.size() == 3 ? -1 : ReadNumber(yearText, 2, 4);
  if (day < 0 || month < 0 || year < 0) return std::nullopt;
  if (yearText.size() == 2) year = PlaceTwoDigitYear(year, currentYear);
  if (!local_calendar::IsValidDate(year, month, day)) return std::nullopt;
  return local_calendar::DaysFromCivil(year, month, day);
}

int ShortDateFormat::Parse(std::string_view text, int currentYear) const {
  std::optional<int> day = TryParse(text, currentYear);
  if (!day) throw EConvertError("'" + std::string(text) + "' is not a valid date");
  return *day;
}

std::string ShortDateFormat::Format(int year, int month, int day) const {
  // A four-digit year keeps its leading zeros: "26" would read back as 2026.
  std::string yearText =
      fourDigitYear_ ? TwoDigits(year / 100) + TwoDigits(year % 100) : TwoDigits(year % 100);
  std::string sep(1, separator_);
  switch (order_) {
    case Order::DayMonthYear:
      return TwoDigits(day) + sep + TwoDigits(month) + sep + yearText;
    case Order::MonthDayYear:
      return TwoDigits(month) + sep + TwoDigits(day) + sep + yearText;
    case Order::YearMonthDay:
      break;
  }
  return yearText + sep + TwoDigits(month) + sep + TwoDigits(day);
}
