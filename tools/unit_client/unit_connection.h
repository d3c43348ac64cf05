// One unit's end of the unit link, for tools and end-to-end tests: a blocking
// TCP client that connects, takes the slot the data unit offers, registers a
// name and exchanges "#"-terminated messages. Not thread safe; errors throw
// std::runtime_error with the operating system's text.
#pragma once

#include <chrono>
#include <optional>
#include <string>

class UnitConnection {
 public:
  UnitConnection(const std::string& host, int port);
  ~UnitConnection();
  UnitConnection(const UnitConnection&) = delete;
  UnitConnection& operator=(const UnitConnection&) = delete;

  // Waits for "CC_ADD_NAME n#" and answers "CS_ADD_NAME n name#"; returns n.
  int Register(const std::string& name, std::chrono::milliseconds wait = std::chrono::seconds(5));

  // Answers an offer already received ("CC_ADD_NAME n", without "#"); returns n.
  int AnswerOffer(const std::string& offer, const std::string& name);

  // Sends "CS_TEXT name text#" under the registered name.
  void SendText(const std::string& text);
  // Sends a raw message body; "#" is appended.
  void SendMessage(const std::string& message);
  // Sends bytes exactly as given.
  void SendRaw(const std::string& bytes);

  // The next whole message (without its "#"), or nullopt when none arrives in
  // time or the data unit closed the connection.
  std::optional<std::string> NextMessage(std::chrono::milliseconds wait);
  // The next "CC_TEXT " message's text, skipping other messages.
  std::optional<std::string> NextText(std::chrono::milliseconds wait);

  // Makes the coming close a reset (RST) instead of an orderly end.
  void ResetOnClose();

  bool PeerClosed() const { return closed_; }
  const std::string& Name() const { return name_; }

 private:
  bool ReadSome(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  bool closed_ = false;
  std::string name_;
  std::string buffer_;
};
