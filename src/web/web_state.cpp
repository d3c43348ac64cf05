#include "web/web_state.h"

void WebState::Publish(OverviewState state) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_ = std::move(state);
  ++version_;
}

void WebState::AddAction(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  Keep(actions_, kActionLines, line);
  ++version_;
}

void WebState::AddCommand(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  Keep(commands_, kCommandLines, line);
  ++version_;
}

void WebState::ClearPanes() {
  std::lock_guard<std::mutex> lock(mutex_);
  actions_.clear();
  commands_.clear();
  ++version_;
}

void WebState::Keep(std::deque<std::string>& lines, std::size_t limit, const std::string& line) {
  if (lines.size() == limit) lines.pop_front();
  lines.push_back(line.substr(0, kMaxLineBytes));
}

OverviewSnapshot WebState::Read() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {
      state_, {actions_.begin(), actions_.end()}, {commands_.begin(), commands_.end()}, version_};
}

bool WebState::Serving() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_.unitLink.serving && state_.fileTransfer.serving;
}
