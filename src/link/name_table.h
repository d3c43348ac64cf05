// The table of registered unit names: 20 slots, the first Count() of which
// are registered, each remembering the connection that registered it (the
// connection moves with its name when slots close up). Main thread only.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "link/server_connection.h"
#include "link/unit_protocol.h"

class TNameTable {
 public:
  static constexpr int kSlots = unit_protocol::kNameSlots;

  int Count() const { return count_; }
  bool IsValidIndex(int Index) const { return Index >= 0 && Index < count_; }
  // The name in a registered slot, or the empty text.
  std::string NameAt(int Index) const;

  // Stores Name in Slot (an occupied slot is overwritten) and counts it.
  // A slot outside 0..19, or a registration past 20, raises
  // "List index out of bounds (%d)" (with the slot, or with 20) and changes nothing.
  void Register(int Slot, const std::string& Name, std::weak_ptr<TServerConnection> Origin);
  // The first registered slot holding Name, or -1.
  int Find(const std::string& Name) const;
  // The first registered slot that Origin registered, or -1.
  int FindOrigin(const TServerConnection* Origin) const;
  // Removes a registered slot: those behind move down one place and the last
  // counted slot takes the content of the first one beyond the count.
  void RemoveAt(int Index);
  // The connection that registered the first slot holding Name, if it still exists.
  std::shared_ptr<TServerConnection> ConnectionOf(const std::string& Name) const;

 private:
  struct Slot {
    std::string name;
    std::weak_ptr<TServerConnection> origin;
  };
  std::array<Slot, kSlots> slots_{};
  int count_ = 0;
};
