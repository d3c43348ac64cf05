// The exception base of the whole program: every failure carries exactly one
// message text, which is what the operator is shown. Subsystems derive their
// own classes from Exception; EAbort is never shown to the operator.
#pragma once

#include <exception>
#include <string>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }

 private:
  std::string message_;
};

// A silent failure: ends the running handler without any report.
class EAbort : public Exception {
 public:
  using Exception::Exception;
};

// A text that should have been a number or a date could not be read.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// "'%s' is not a valid integer value", the message for an unreadable number.
EConvertError InvalidIntegerError(const std::string& text);

// Reads a whole decimal integer (optional sign, no blanks); raises
// InvalidIntegerError(text) when text is anything else or out of 32-bit range.
int StrToInt(const std::string& text);
