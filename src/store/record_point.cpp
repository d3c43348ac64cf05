#include "store/record_point.h"

#include <charconv>
#include <cmath>
#include <string>

namespace record_point {

namespace {

constexpr long long kSecondsPerDay = 86400;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// What a point needs of a line's blank-separated fields (runs of blanks
// count as one): the first, the second, the last and how many there are.
struct Fields {
  std::string_view first, second, last;
  int count = 0;
};

Fields Cut(std::string_view line) {
  Fields fields;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    std::size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    if (i == start) break;
    std::string_view field = line.substr(start, i - start);
    if (fields.count == 0) fields.first = field;
    if (fields.count == 1) fields.second = field;
    fields.last = field;
    ++fields.count;
  }
  return fields;
}

// One or two digits (minDigits..2) in range [0, limit).
int ReadPart(std::string_view digits, std::size_t minDigits, int limit) {
  if (digits.size() < minDigits || digits.size() > 2) return -1;
  int value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value < limit ? value : -1;
}

}  // namespace

std::optional<int> ReadTimeOfDay(std::string_view text) {
  std::size_t first = text.find(':');
  if (first == std::string_view::npos) return std::nullopt;
  std::size_t second = text.find(':', first + 1);
  int hours = ReadPart(text.substr(0, first), 1, 24);
  int minutes = ReadPart(
      text.substr(first + 1, second == std::string_view::npos ? text.npos : second - first - 1), 2,
      60);
  int seconds = second == std::string_view::npos ? 0 : ReadPart(text.substr(second + 1), 2, 60);
  if (hours < 0 || minutes < 0 || seconds < 0) return std::nullopt;
  return hours * 3600 + minutes * 60 + seconds;
}

std::optional<double> ReadNumber(std::string_view text) {
  if (text.empty() || text.size() > 64) return std::nullopt;
  if (text.front() == '+') text.remove_prefix(1);
  char copy[64];
  text.copy(copy, text.size());
  const std::size_t size = text.size();
  std::size_t comma = text.find(',');
  if (comma != std::string_view::npos) {
    if (text.find_first_of(",.", comma + 1) != std::string_view::npos ||
        text.find('.') != std::string_view::npos) {
      return std::nullopt;
    }
    copy[comma] = '.';
  }
  double value = 0;
  auto [end, error] = std::from_chars(copy, copy + size, value);
  if (error != std::errc() || end != copy + size || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<RecordPoint> Read(std::string_view line, const ShortDateFormat& format,
                                int currentYear, DateCache* cache) {
  Fields fields = Cut(line);
  if (fields.count < 2) return std::nullopt;
  std::optional<int> day;
  if (cache != nullptr && cache->year == currentYear && !cache->text.empty() &&
      fields.first == cache->text) {
    day = cache->day;
  } else {
    day = format.TryParse(fields.first, currentYear);
    if (!day) return std::nullopt;
    if (cache != nullptr) *cache = DateCache{std::string(fields.first), currentYear, *day};
  }
  std::optional<int> time = ReadTimeOfDay(fields.second);
  if (time && fields.count < 3) return std::nullopt;
  std::optional<double> value = ReadNumber(fields.last);
  if (!value) return std::nullopt;
  return RecordPoint{*day * kSecondsPerDay + time.value_or(0), *value};
}

}  // namespace record_point
