// Texts of the broker's world made from the units' bytes: UTF-8 (bytes that
// are not UTF-8 become their Latin-1 characters, as the program's other
// outputs carry names), topic levels that no name can leave (a "/", "+",
// "#", NUL or "%" is written as "%" and two hex digits) and JSON strings.
// Stateless; thread safe.
#pragma once

#include <string>
#include <string_view>

namespace topic_text {

std::string Utf8(std::string_view bytes);
// One topic level: never a level separator or a wildcard.
std::string Level(std::string_view bytes);
// A JSON string literal with its quotes.
std::string JsonString(std::string_view bytes);

}  // namespace topic_text
