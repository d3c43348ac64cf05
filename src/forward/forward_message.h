// What the broker forwarder publishes for one stored line: the topic below
// the prefix and the JSON payload (unit, sensor or alarm name, the record's
// time as ISO 8601 with the local offset or null, the value as sent, the
// value as a number or null, the line as stored). Stateless; thread safe.
#pragma once

#include <string>
#include <string_view>

#include "store/short_date_format.h"

struct ForwardMessage {
  std::string topic;
  std::string payload;
};

namespace forward_message {

// A line of a unit's combined log ("rest sensor"), without its line end.
ForwardMessage Record(const std::string& prefix, std::string_view unit, std::string_view line,
                      const ShortDateFormat& format, int currentYear);
// A line of an alarm file named name (without ".dat").
ForwardMessage Alarm(const std::string& prefix, std::string_view name, std::string_view line,
                     const ShortDateFormat& format, int currentYear);
// The record's time read as the sensor window reads it (a date in format,
// then a time of day when one follows), as "2026-12-06T21:05:00+01:00";
// "" when the line starts with no date.
std::string IsoTime(std::string_view line, const ShortDateFormat& format, int currentYear);

}  // namespace forward_message
