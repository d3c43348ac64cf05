#include "store/busy_files.h"

BusyFiles& BusyFiles::Instance() {
  static BusyFiles registry;
  return registry;
}

BusyFiles::Mark BusyFiles::MarkBusy(const std::string& hostPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_[hostPath];
  return Mark(this, hostPath);
}

bool BusyFiles::IsBusy(const std::string& hostPath) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_.count(hostPath) != 0;
}

void BusyFiles::Unmark(const std::string& hostPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = counts_.find(hostPath);
  if (it != counts_.end() && --it->second == 0) counts_.erase(it);
}

BusyFiles::Mark::Mark(BusyFiles* registry, std::string path)
    : registry_(registry), path_(std::move(path)) {}

BusyFiles::Mark::Mark(Mark&& other) noexcept
    : registry_(other.registry_), path_(std::move(other.path_)) {
  other.registry_ = nullptr;
}

BusyFiles::Mark& BusyFiles::Mark::operator=(Mark&& other) noexcept {
  if (this != &other) {
    Release();
    registry_ = other.registry_;
    path_ = std::move(other.path_);
    other.registry_ = nullptr;
  }
  return *this;
}

BusyFiles::Mark::~Mark() { Release(); }

void BusyFiles::Mark::Release() {
  if (registry_ != nullptr) registry_->Unmark(path_);
  registry_ = nullptr;
}
