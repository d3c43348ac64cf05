#include "forward/topic_text.h"

#include <cstdio>

namespace topic_text {

namespace {

void AppendLatin1(unsigned char byte, std::string& out) {
  if (byte < 0x80) {
    out.push_back(static_cast<char>(byte));
  } else {
    out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
    out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
  }
}

// The length of a well-formed UTF-8 sequence at the start of bytes, 0 if none.
std::size_t SequenceLength(std::string_view bytes) {
  const unsigned char lead = static_cast<unsigned char>(bytes[0]);
  std::size_t length = lead < 0x80                    ? 1
                       : lead >= 0xC2 && lead <= 0xDF ? 2
                       : lead >= 0xE0 && lead <= 0xEF ? 3
                       : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                      : 0;
  if (length == 0 || length > bytes.size()) return 0;
  for (std::size_t i = 1; i < length; ++i)
    if ((static_cast<unsigned char>(bytes[i]) & 0xC0) != 0x80) return 0;
  const unsigned char second = static_cast<unsigned char>(length > 1 ? bytes[1] : 0);
  if (lead == 0xE0 && second < 0xA0) return 0;  // overlong
  if (lead == 0xED && second > 0x9F) return 0;  // surrogate
  if (lead == 0xF0 && second < 0x90) return 0;  // overlong
  if (lead == 0xF4 && second > 0x8F) return 0;  // beyond U+10FFFF
  return length;
}

}  // namespace

std::string Utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    std::size_t length = SequenceLength(bytes);
    if (length == 0) {
      AppendLatin1(static_cast<unsigned char>(bytes[0]), out);
      length = 1;
    } else {
      out.append(bytes.substr(0, length));
    }
    bytes.remove_prefix(length);
  }
  return out;
}

std::string Level(std::string_view bytes) {
  std::string out;
  for (char c : Utf8(bytes)) {
    if (c == '/' || c == '+' || c == '#' || c == '\0' || c == '%') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string JsonString(std::string_view bytes) {
  std::string out = "\"";
  for (char c : Utf8(bytes)) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

}  // namespace topic_text
