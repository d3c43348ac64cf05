#include "app/helptools.h"

namespace {

std::string CutFirstField(std::string& s, char delimiter) {
  std::size_t p = s.find(delimiter);
  if (p == std::string::npos) return {};
  std::string field = s.substr(0, p);
  s.erase(0, p + 1);
  return field;
}

std::string CutLastField(std::string& s, char delimiter) {
  // The search starts at the second-to-last character: a final delimiter stays in the field.
  std::size_t p = s.size() < 2 ? std::string::npos : s.rfind(delimiter, s.size() - 2);
  if (p == std::string::npos) {
    std::string field = std::move(s);
    s.clear();
    return field;
  }
  std::string field = s.substr(p + 1);
  s.resize(p);
  return field;
}

}  // namespace

std::string CutField(std::string& s, char delimiter, int mode) {
  if (s.empty()) return {};
  if (mode == 0) return CutFirstField(s, delimiter);
  if (mode == 1) return CutLastField(s, delimiter);
  return {};
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
