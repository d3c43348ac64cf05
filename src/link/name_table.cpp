#include "link/name_table.h"

#include "link/socket_error.h"

std::string TNameTable::NameAt(int Index) const {
  return IsValidIndex(Index) ? slots_[static_cast<std::size_t>(Index)].name : std::string();
}

void TNameTable::Register(int Slot, const std::string& Name, std::weak_ptr<TServerConnection> Origin) {
  if (Slot < 0 || Slot >= kSlots) throw ListIndexError(Slot);
  if (count_ >= kSlots) throw ListIndexError(kSlots);
  slots_[static_cast<std::size_t>(Slot)] = {Name, std::move(Origin)};
  ++count_;
}

int TNameTable::Find(const std::string& Name) const {
  for (int i = 0; i < count_; ++i) {
    if (slots_[static_cast<std::size_t>(i)].name == Name) return i;
  }
  return -1;
}

int TNameTable::FindOrigin(const TServerConnection* Origin) const {
  for (int i = 0; i < count_; ++i) {
    if (slots_[static_cast<std::size_t>(i)].origin.lock().get() == Origin) return i;
  }
  return -1;
}

void TNameTable::RemoveAt(int Index) {
  if (!IsValidIndex(Index)) return;
  for (int j = Index; j < count_; ++j) {
    auto next = static_cast<std::size_t>(j + 1);
    slots_[static_cast<std::size_t>(j)] = next < slots_.size() ? slots_[next] : Slot{};
  }
  --count_;
}

std::shared_ptr<TServerConnection> TNameTable::ConnectionOf(const std::string& Name) const {
  int index = Find(Name);
  return index < 0 ? nullptr : slots_[static_cast<std::size_t>(index)].origin.lock();
}
