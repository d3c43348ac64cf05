#include "store/store_errors.h"

#include <cerrno>

EInOutError::EInOutError(int errorNumber)
    : Exception(InOutErrorText(errorNumber)), errorNumber_(errorNumber) {}

std::string InOutErrorText(int errorNumber) {
  switch (errorNumber) {
    case ENOENT:
    case ENOTDIR:
      return "File not found";
    case EACCES:
    case EPERM:
    case EISDIR:
      return "File access denied";
    case EROFS:
      return "Read-only file system";
    case EMFILE:
    case ENFILE:
      return "Too many open files";
    case ENOSPC:
    case EDQUOT:
    case EFBIG:  // the file may grow no further: to its writer, the disk is full
      return "Disk full";
    default:
      return "I/O error " + std::to_string(errorNumber);
  }
}

namespace {

// The value as the operator can read it: control bytes shown as \xNN.
std::string Printable(std::string_view value) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (char c : value) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      text += c;
    } else {
      text += "\\x";
      text += digits[byte >> 4];
      text += digits[byte & 15];
    }
  }
  return text;
}

}  // namespace

void RequireComponentName(std::string_view value) {
  bool refused = value.empty() || value == "." || value == ".." ||
                 value.find_first_of(std::string_view("\\/\0", 3)) != std::string_view::npos;
  if (refused) {
    throw EInvalidName(
        "Refused name '" + Printable(value) +
        "': a name may not be \".\" or \"..\" nor contain \"\\\", \"/\" or a NUL byte");
  }
}

void RequireFileBaseName(std::string_view value) {
  if (!value.empty()) RequireComponentName(value);
}
