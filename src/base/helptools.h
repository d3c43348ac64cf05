// Field cutting helpers used for framing unit messages, cutting command words,
// record fields and file extensions, and joining path lists. Stateless.
//
// CutField(s, delimiter, mode) cuts one field off s and leaves the rest in s:
//  - mode 0, the first field: the text before the first delimiter, s keeps the
//    text after it (exactly one delimiter consumed). No delimiter: the field is
//    empty and s is unchanged, so an incomplete message stays where it is.
//  - mode 1, the last field: the text after the last delimiter, s keeps the
//    text before it. No delimiter: the field is all of s and s becomes empty.
//    A delimiter in the final position is never a cut point: "A#B#" gives the
//    field "B#" and leaves "A"; "A#" gives the field "A#" and leaves "".
//  - any other mode: the field is empty and s is unchanged.
// Allocates nothing beyond the returned field; the string_view form cuts a
// view and allocates nothing at all (the viewed text must outlive both views).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

using StringList = std::vector<std::string>;

std::string CutField(std::string& s, char delimiter, int mode);
std::string_view CutField(std::string_view& s, char delimiter, int mode);

// The items in order with the separator between neighbours; none gives "".
std::string JoinList(const StringList& list, char separator);
std::string JoinList(const std::optional<StringList>& list, char separator);
