#include "base/helptools.h"

// The cut works on a view; the string form copies the field out and keeps the rest in place.
std::string CutField(std::string& s, char delimiter, int mode) {
  std::string_view rest(s);
  std::string field(CutField(rest, delimiter, mode));
  if (rest.empty()) {
    s.clear();
  } else if (rest.size() != s.size()) {
    s.assign(rest.data(), rest.size());  // rest views s itself: the bytes move within it
  }
  return field;
}

// Mode 1 searches from the second-to-last character: a final delimiter stays in the field.
std::string_view CutField(std::string_view& s, char delimiter, int mode) {
  if (s.empty() || (mode != 0 && mode != 1)) return {};
  std::size_t p = mode == 0
                      ? s.find(delimiter)
                      : (s.size() < 2 ? std::string_view::npos : s.rfind(delimiter, s.size() - 2));
  std::string_view field;
  if (p == std::string_view::npos) {
    if (mode == 0) return {};
    field = s;
    s = {};
  } else if (mode == 0) {
    field = s.substr(0, p);
    s.remove_prefix(p + 1);
  } else {
    field = s.substr(p + 1);
    s = s.substr(0, p);
  }
  return field;
}

std::string JoinList(const StringList& list, char separator) {
  std::size_t size = list.empty() ? 0 : list.size() - 1;
  for (const std::string& item : list) size += item.size();
  std::string joined;
  joined.reserve(size);
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) joined += separator;
    joined += list[i];
  }
  return joined;
}

std::string JoinList(const std::optional<StringList>& list, char separator) {
  return list ? JoinList(*list, separator) : std::string();
}
