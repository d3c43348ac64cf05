#include "link/name_table.h"

#include "link/socket_error.h"

std::string NameTable::NameAt(int Index) const {
  return IsValidIndex(Index) ? slots_[static_cast<std::size_t>(Index)].name : std::string();
}

// Held slots are always 0..count-1, so the first free slot is the count.
int NameTable::Register(int Slot, const std::string& Name, std::weak_ptr<ServerConnection> Origin) {
  if (Slot < 0 || Slot >= kSlots) throw ListIndexError(Slot);
  std::shared_ptr<ServerConnection> origin = Origin.lock();
  if (origin && IsValidIndex(Slot) &&
      slots_[static_cast<std::size_t>(Slot)].origin.lock() == origin) {
    slots_[static_cast<std::size_t>(Slot)].name = Name;
    return Slot;
  }
  if (count_ >= kSlots) throw ListIndexError(kSlots);
  slots_[static_cast<std::size_t>(count_)] = {Name, std::move(Origin)};
  return count_++;
}

int NameTable::Find(const std::string& Name) const {
  for (int i = 0; i < count_; ++i) {
    if (slots_[static_cast<std::size_t>(i)].name == Name) return i;
  }
  return -1;
}

int NameTable::FindRemovable(const std::string& Name, const ServerConnection* By) const {
  for (int i = 0; i < count_; ++i) {
    const Slot& slot = slots_[static_cast<std::size_t>(i)];
    if (slot.name != Name) continue;
    std::shared_ptr<ServerConnection> origin = slot.origin.lock();
    if (!origin || !origin->Connected() || origin.get() == By) return i;
  }
  return -1;
}

int NameTable::FindOrigin(const ServerConnection* Origin) const {
  if (Origin == nullptr) return -1;
  for (int i = 0; i < count_; ++i) {
    if (slots_[static_cast<std::size_t>(i)].origin.lock().get() == Origin) return i;
  }
  return -1;
}

void NameTable::RemoveAt(int Index) {
  if (!IsValidIndex(Index)) return;
  for (int j = Index; j + 1 < count_; ++j) {
    slots_[static_cast<std::size_t>(j)] = std::move(slots_[static_cast<std::size_t>(j + 1)]);
  }
  --count_;
  slots_[static_cast<std::size_t>(count_)] = Slot{};
}

std::shared_ptr<ServerConnection> NameTable::ConnectionOf(const std::string& Name) const {
  int index = Find(Name);
  return index < 0 ? nullptr : slots_[static_cast<std::size_t>(index)].origin.lock();
}
