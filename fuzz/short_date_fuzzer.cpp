// The short date reader fed arbitrary date patterns, current years and texts.
// Parse and TryParse agree; a date read is a real calendar day; and a date
// written in the format reads back as the same day (for two-digit years,
// when the year lies in the window around the current year).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "base/exceptions.h"
#include "fuzz_support.h"
#include "store/local_calendar.h"
#include "store/short_date_format.h"

namespace {

struct Civil {
  int year, month, day;
};

// The calendar date of a day number (days since 1970-01-01).
Civil CivilFromDays(int days) {
  int z = days + 719468;
  int era = (z >= 0 ? z : z - 146096) / 146097;
  int dayOfEra = z - era * 146097;
  int yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int shifted = (5 * dayOfYear + 2) / 153;
  int day = dayOfYear - (153 * shifted + 2) / 5 + 1;
  int month = shifted < 10 ? shifted + 3 : shifted - 9;
  return {yearOfEra + era * 400 + (month <= 2), month, day};
}

bool FourDigitYear(const ShortDateFormat& format) {
  return format.Format(2026, 1, 1).find("2026") != std::string::npos;
}

void CheckAgreement(const ShortDateFormat& format, const std::string& text, int currentYear) {
  std::optional<int> tried = format.TryParse(text, currentYear);
  try {
    int parsed = format.Parse(text, currentYear);
    fuzz::Require(tried == parsed, "Parse and TryParse disagree", text);
  } catch (const EConvertError& failure) {
    fuzz::Require(!tried, "Parse failed where TryParse read a date", text);
    fuzz::Require(failure.Message() == "'" + text + "' is not a valid date", "wrong message",
                  failure.Message());
  }
}

void CheckRoundTrip(const ShortDateFormat& format, int dayNumber, int currentYear) {
  Civil date = CivilFromDays(dayNumber);
  fuzz::Require(local_calendar::IsValidDate(date.year, date.month, date.day),
                "a date read is no calendar day");
  fuzz::Require(local_calendar::DaysFromCivil(date.year, date.month, date.day) == dayNumber,
                "day number arithmetic disagrees");
  if (format.Separator() >= '0' && format.Separator() <= '9')
    return;  // digits cannot separate digits
  bool inWindow = date.year >= currentYear - 50 && date.year <= currentYear + 49;
  if (!FourDigitYear(format) && !inWindow) return;
  std::string written = format.Format(date.year, date.month, date.day);
  fuzz::Require(format.TryParse(written, currentYear) == dayNumber,
                "a written date reads differently", written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  ShortDateFormat format = ShortDateFormat::FromPattern(input.ConsumeRandomLengthString(16));
  int currentYear = input.ConsumeIntegralInRange(1951, 2999);
  std::string text = input.ConsumeRemainingBytesAsString();
  CheckAgreement(format, text, currentYear);
  if (std::optional<int> day = format.TryParse(text, currentYear))
    CheckRoundTrip(format, *day, currentYear);
  return 0;
}
