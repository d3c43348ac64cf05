#include "store/local_calendar.h"

namespace local_calendar {

int DaysFromCivil(int year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const int era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * static_cast<unsigned>(month + (month > 2 ? -3 : 9)) + 2) / 5 +
                             static_cast<unsigned>(day) - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int>(dayOfEra) - 719468;
}

bool IsValidDate(int year, int month, int day) {
  static const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int length = lengths[month - 1] + (month == 2 && leap ? 1 : 0);
  return day <= length;
}

LocalTime ToLocal(std::time_t moment) {
  std::tm local{};
  localtime_r(&moment, &local);
  return {DaysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday),
          local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec, local.tm_year + 1900};
}

int FileAgeDays(std::time_t fileTime, int todayDayNumber) {
  constexpr long long kDay = 86400;
  LocalTime file = ToLocal(fileTime);
  long long second = file.secondOfDay - file.secondOfDay % 2;
  long long difference = (static_cast<long long>(todayDayNumber) - file.dayNumber) * kDay - second;
  long long days = difference >= 0 ? difference / kDay : -((-difference + kDay - 1) / kDay);
  long long remainder = difference - days * kDay;
  if (2 * remainder > kDay || (2 * remainder == kDay && days % 2 != 0)) ++days;
  return static_cast<int>(days + 1);
}

}  // namespace local_calendar
