// Wire format of the unit link: "#"-terminated 8-bit text messages whose
// fields are separated by one blank; the first field is the command word.
// "CC_" messages go from the data unit to a unit, "CS_" messages come from
// units. The grammar is written out in docs/unit_protocol.md.
#pragma once

#include <cstddef>
#include <string_view>

namespace unit_protocol {

inline constexpr int kDefaultPort = 10079;

inline constexpr char kTerminator = '#';
inline constexpr char kFieldSeparator = ' ';

// From a unit: CS_ADD_NAME slot name# | CS_REMOVE_NAME name# |
// CS_TEXT sender text# | CS_FILE sender filename#
inline constexpr std::string_view kAddName = "CS_ADD_NAME";
inline constexpr std::string_view kRemoveName = "CS_REMOVE_NAME";
inline constexpr std::string_view kText = "CS_TEXT";
inline constexpr std::string_view kFile = "CS_FILE";

// To a unit: "CC_ADD_NAME " slot "#", "CC_REMOVE_NAME#", "CC_TEXT " text "#".
inline constexpr std::string_view kAddNameReply = "CC_ADD_NAME ";
inline constexpr std::string_view kRemoveNameNotice = "CC_REMOVE_NAME#";
inline constexpr std::string_view kTextReply = "CC_TEXT ";

// Slots 0..19 of the name table.
inline constexpr int kNameSlots = 20;
// The longest message (a record) without its terminator: a connection that
// sends a longer one, wherever it starts in what was read, is closed.
inline constexpr std::size_t kMaxPendingBytes = 64 * 1024;

}  // namespace unit_protocol
