// The table of registered unit names: 20 slots, the first Count() of which
// are held, each by the connection that registered it (the connection moves
// with its name when slots close up). No registration ever overwrites another
// connection's. Main thread only.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "link/server_connection.h"
#include "link/unit_protocol.h"

class NameTable {
 public:
  static constexpr int kSlots = unit_protocol::kNameSlots;

  int Count() const { return count_; }
  bool IsValidIndex(int Index) const { return Index >= 0 && Index < count_; }
  // The name in a held slot, or the empty text.
  std::string NameAt(int Index) const;

  // Registers Name for Origin and returns the slot it took. Slot is only the
  // unit's echo of its offer: when Origin holds that slot already, its entry
  // is renamed; otherwise the name takes the first free slot. A slot outside
  // 0..19, or a registration past 20, raises "List index out of bounds (%d)"
  // (with the slot, or with 20) and changes nothing.
  int Register(int Slot, const std::string& Name, std::weak_ptr<ServerConnection> Origin);
  // The first held slot holding Name, or -1.
  int Find(const std::string& Name) const;
  // The first held slot holding Name that By may free: one By registered, or
  // one whose connection has gone; -1 when none. No unit unregisters another.
  int FindRemovable(const std::string& Name, const ServerConnection* By) const;
  // The first slot that Origin holds, or -1 (never a slot for a null Origin).
  int FindOrigin(const ServerConnection* Origin) const;
  // Frees a held slot: those behind move down one place.
  void RemoveAt(int Index);
  // The connection that holds the first slot holding Name, if it still exists.
  std::shared_ptr<ServerConnection> ConnectionOf(const std::string& Name) const;

 private:
  struct Slot {
    std::string name;
    std::weak_ptr<ServerConnection> origin;
  };
  std::array<Slot, kSlots> slots_{};
  int count_ = 0;
};
