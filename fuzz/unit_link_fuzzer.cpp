// The unit link's framing and unit commands fed arbitrary byte streams from
// several connections at once, cut into arbitrary pieces. Each connection's
// messages must come out exactly as its own bytes frame them (a half message
// never joins another connection's), in order, and the name table must stay
// within its slots whatever registrations and removals arrive.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/exceptions.h"
#include "fuzz_support.h"
#include "link/communication_server.h"
#include "link/unit_protocol.h"

namespace {

constexpr int kConnections = 4;

struct Event {
  int connection;
  std::string kind, text, sender;
  bool operator==(const Event&) const = default;
};

std::string Describe(const Event& e) {
  return std::to_string(e.connection) + " " + e.kind + " [" + e.sender + "] [" + e.text + "]";
}

// What one complete message must raise: a text or file event for "CS_TEXT"
// and "CS_FILE" with a blank after the word, nothing for anything else.
void ExpectFrom(int connection, const std::string& message, std::vector<Event>& expected) {
  std::size_t blank = message.find(unit_protocol::kFieldSeparator);
  if (blank == std::string::npos) return;
  std::string word = message.substr(0, blank);
  if (word != unit_protocol::kText && word != unit_protocol::kFile) return;
  std::string rest = message.substr(blank + 1);
  std::size_t second = rest.find(unit_protocol::kFieldSeparator);
  std::string sender = second == std::string::npos ? "" : rest.substr(0, second);
  std::string text = second == std::string::npos ? rest : rest.substr(second + 1);
  expected.push_back({connection, word == unit_protocol::kText ? "text" : "file", text, sender});
}

// The bytes a connection has sent that no complete message has taken yet.
struct ModelConnection {
  std::string unframed;
  void Receive(int connection, const std::string& bytes, std::vector<Event>& expected) {
    unframed += bytes;
    std::size_t end;
    while ((end = unframed.find(unit_protocol::kTerminator)) != std::string::npos) {
      if (end > 0) ExpectFrom(connection, unframed.substr(0, end), expected);
      unframed.erase(0, end + 1);
    }
  }
};

class Harness {
 public:
  Harness() {
    server_.OnClientReadText = [this](TCommunicationServer*, std::string text, std::string sender) {
      actual_.push_back({current_, "text", std::move(text), std::move(sender)});
    };
    server_.OnClientReadFile = [this](TCommunicationServer*, std::string name, std::string sender) {
      actual_.push_back({current_, "file", std::move(name), std::move(sender)});
    };
    server_.OnClientConnectCount = [this](TCommunicationServer* sender) {
      fuzz::Require(sender == &server_, "connect-count event with a foreign sender");
      CheckNameTable();
    };
  }

  void Run(FuzzedDataProvider& input) {
    while (input.remaining_bytes() > 0) {
      int connection = input.ConsumeIntegralInRange(0, kConnections - 1);
      if (input.ConsumeIntegralInRange(0, 15) == 0) {
        Drop(connection);
        continue;
      }
      std::string bytes = input.ConsumeRandomLengthString(256);
      Deliver(connection, bytes);
      if (input.ConsumeBool()) server_.SendTextTo(bytes.substr(0, 8), "CHECK");
    }
    Compare();
  }

 private:
  // A failing command leaves the messages behind it for the continuation
  // that the event loop would run next; here it runs at once.
  void Deliver(int connection, const std::string& bytes) {
    model_[connection].Receive(connection, bytes, expected_);
    ReceiveState& state = states_[connection];
    state.Pending += bytes;
    current_ = connection;
    for (;;) {
      try {
        server_.RunReceivePass(nullptr, state);
        break;
      } catch (const Exception&) {
        fuzz::Require(!state.PassRunning, "a failed pass stays marked as running");
      }
    }
    fuzz::Require(state.Pending == model_[connection].unframed,
                  "pending bytes differ from the unframed rest", state.Pending);
    CheckNameTable();
  }

  // A connection that goes away takes its unframed bytes with it.
  void Drop(int connection) {
    states_[connection] = ReceiveState{};
    model_[connection] = ModelConnection{};
  }

  void CheckNameTable() const {
    int count = server_.Connection_count();
    fuzz::Require(count >= 0 && count <= unit_protocol::kNameSlots, "name count outside the slots");
    fuzz::Require(!server_.IsValidIndex(count) && !server_.IsValidIndex(-1),
                  "index past the count is valid");
    fuzz::Require(server_.NameAt(count).empty(), "a name beyond the count");
    for (int i = 0; i < count; ++i)
      fuzz::Require(server_.IsValidIndex(i), "counted slot not valid");
  }

  void Compare() const {
    std::size_t common = std::min(actual_.size(), expected_.size());
    for (std::size_t i = 0; i < common; ++i) {
      fuzz::Require(actual_[i] == expected_[i], "message framed wrongly",
                    "got " + Describe(actual_[i]) + ", want " + Describe(expected_[i]));
    }
    fuzz::Require(actual_.size() == expected_.size(), "wrong number of message events",
                  std::to_string(actual_.size()) + " vs " + std::to_string(expected_.size()));
  }

  TCommunicationServer server_;
  std::array<ReceiveState, kConnections> states_;
  std::array<ModelConnection, kConnections> model_;
  std::vector<Event> actual_, expected_;
  int current_ = -1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Harness harness;
  harness.Run(input);
  return 0;
}
