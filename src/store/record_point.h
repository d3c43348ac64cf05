// One stored record line read as a point of a plot: x is the record's local
// date and, when its second field is a time of day, that time; y is its last
// field when that is a decimal number. Stateless; thread safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "store/short_date_format.h"

struct RecordPoint {
  long long localSecond = 0;  // seconds since 1970-01-01 00:00 on the local wall clock
  double value = 0;
};

namespace record_point {

// The point of line (a line of a {sensor}.dat file, its CR LF or LF removed or
// not), or nullopt when its first field is not a date in format, its last
// field is not a finite number, or it has no field after the date (and time).
// currentYear places two-digit years (ShortDateFormat::TryParse).
// cache, when given, keeps the last date read: lines come in runs of one date.
struct DateCache {
  std::string text;
  int year = 0;  // the currentYear it was read with
  int day = 0;
};
std::optional<RecordPoint> Read(std::string_view line, const ShortDateFormat& format,
                                int currentYear, DateCache* cache = nullptr);

// The seconds of a time of day "H:MM" or "HH:MM:SS", or nullopt.
std::optional<int> ReadTimeOfDay(std::string_view text);

// A decimal number, with "." or a single "," as its decimal point; nullopt
// for anything else, infinities and NaN included.
std::optional<double> ReadNumber(std::string_view text);

}  // namespace record_point
