#include "forward/forward_message.h"

#include <charconv>
#include <cstdio>
#include <ctime>

#include "forward/topic_text.h"
#include "store/record_point.h"

namespace forward_message {

namespace {

constexpr const char* kAlarmTopicUnit = "alarms";

std::string_view FieldAfter(std::string_view text, std::size_t& at) {
  std::size_t end = text.find(' ', at);
  std::string_view field = text.substr(at, end == std::string_view::npos ? text.npos : end - at);
  at = end == std::string_view::npos ? text.size() : end + 1;
  return field;
}

// The local wall-clock moment written with the offset it had then.
std::string FormatLocal(long long localSecond) {
  std::time_t wall = static_cast<std::time_t>(localSecond);
  std::tm parts{};
  ::gmtime_r(&wall, &parts);
  parts.tm_isdst = -1;
  std::time_t moment = std::mktime(&parts);
  std::tm local{};
  ::localtime_r(&moment, &local);
  long offset = local.tm_gmtoff;
  char sign = offset < 0 ? '-' : '+';
  offset = offset < 0 ? -offset : offset;
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, sign, offset / 3600, offset % 3600 / 60);
  return text;
}

std::string LastField(std::string_view text) {
  std::size_t blank = text.rfind(' ');
  return blank == std::string_view::npos ? std::string() : std::string(text.substr(blank + 1));
}

std::string Payload(std::string_view nameKey, std::string_view unitJson, std::string_view name,
                    std::string_view rest, std::string_view line, const ShortDateFormat& format,
                    int currentYear) {
  std::string time = IsoTime(rest, format, currentYear);
  std::string value = LastField(rest);
  std::string number = "null";
  if (std::optional<double> read = record_point::ReadNumber(value)) {
    char digits[32];
    auto result = std::to_chars(digits, digits + sizeof digits, *read);
    number.assign(digits, result.ptr);
  }
  std::string payload = "{\"unit\":";
  payload += unitJson;
  payload += ",\"" + std::string(nameKey) + "\":" + topic_text::JsonString(name);
  payload += ",\"time\":" + (time.empty() ? std::string("null") : "\"" + time + "\"");
  payload += ",\"value\":" + topic_text::JsonString(value);
  payload += ",\"number\":" + number;
  payload += ",\"line\":" + topic_text::JsonString(line) + "}";
  return payload;
}

}  // namespace

std::string IsoTime(std::string_view line, const ShortDateFormat& format, int currentYear) {
  std::size_t at = 0;
  std::optional<int> day = format.TryParse(FieldAfter(line, at), currentYear);
  if (!day) return "";
  std::optional<int> second = record_point::ReadTimeOfDay(FieldAfter(line, at));
  return FormatLocal(static_cast<long long>(*day) * 86400 + second.value_or(0));
}

// The combined log holds "rest sensor": the sensor is cut at the first blank
// of the record, so it is what follows the last blank.
ForwardMessage Record(const std::string& prefix, std::string_view unit, std::string_view line,
                      const ShortDateFormat& format, int currentYear) {
  std::size_t blank = line.rfind(' ');
  std::string_view sensor = blank == std::string_view::npos ? line : line.substr(blank + 1);
  std::string_view rest =
      blank == std::string_view::npos ? std::string_view() : line.substr(0, blank);
  return {prefix + "/" + topic_text::Level(unit) + "/" + topic_text::Level(sensor),
          Payload("sensor", topic_text::JsonString(unit), sensor, rest, line, format, currentYear)};
}

// Alarm files do not keep who raised an alarm: they are published below the
// tree's folder name, one level deeper than any sensor's topic.
ForwardMessage Alarm(const std::string& prefix, std::string_view name, std::string_view line,
                     const ShortDateFormat& format, int currentYear) {
  return {prefix + "/" + kAlarmTopicUnit + "/alarm/" + topic_text::Level(name),
          Payload("alarm", "null", name, line, line, format, currentYear)};
}

}  // namespace forward_message
