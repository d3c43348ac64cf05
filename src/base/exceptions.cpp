#include "base/exceptions.h"

#include <charconv>

EConvertError InvalidIntegerError(const std::string& text) {
  return EConvertError("'" + text + "' is not a valid integer value");
}

int StrToInt(const std::string& text) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;  // from_chars takes '-' only
  int value = 0;
  auto [end, error] = std::from_chars(first, last, value);
  if (first == last || error != std::errc() || end != last) throw InvalidIntegerError(text);
  return value;
}
