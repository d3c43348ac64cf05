// Whole-day arithmetic on local dates, as the retention sweep counts ages:
// day numbers (days since 1970-01-01 of the proleptic Gregorian calendar)
// and local times as day number plus seconds of the day. Stateless.
#pragma once

#include <ctime>

namespace local_calendar {

int DaysFromCivil(int year, int month, int day);
bool IsValidDate(int year, int month, int day);

// A moment as the local wall clock shows it.
struct LocalTime {
  int dayNumber;
  int secondOfDay;
  int year;
};
LocalTime ToLocal(std::time_t moment);

// The age of a file in whole days: today's midnight minus the file's local
// time (seconds truncated to even, the two-second steps of file times), in
// days rounded to the nearest whole number (a half to the even one), plus 1.
int FileAgeDays(std::time_t fileTime, int todayDayNumber);

}  // namespace local_calendar
