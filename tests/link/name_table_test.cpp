#include "link/name_table.h"

#include <gtest/gtest.h>

namespace {

NameTable Registered(std::initializer_list<const char*> names) {
  NameTable table;
  int slot = 0;
  for (const char* name : names) table.Register(slot++, name, {});
  return table;
}

TEST(NameTableTest, RemovingAMiddleSlotClosesUpBehindIt) {
  NameTable table = Registered({"A", "B", "C"});
  table.RemoveAt(table.Find("B"));
  EXPECT_EQ(table.Count(), 2);
  EXPECT_EQ(table.NameAt(0), "A");
  EXPECT_EQ(table.NameAt(1), "C");
  EXPECT_EQ(table.NameAt(2), "");
  EXPECT_FALSE(table.IsValidIndex(2));
  EXPECT_FALSE(table.IsValidIndex(-1));
  EXPECT_EQ(table.NameAt(-1), "");
}

TEST(NameTableTest, EqualNamesAreFoundAtTheLowestSlot) {
  NameTable table = Registered({"X", "Y", "X"});
  EXPECT_EQ(table.Find("X"), 0);
  EXPECT_EQ(table.Find("Z"), -1);
}

// The slot a unit sends is only its echo of the offer: two units offered the
// same slot both keep their names, and only a slot's own connection renames it.
TEST(NameTableTest, ASlotHeldByAnotherConnectionOrBeyondTheCountTakesTheFirstFreeSlot) {
  auto a = std::make_shared<ServerConnection>(-1, nullptr, OutputBounds{});
  auto b = std::make_shared<ServerConnection>(-1, nullptr, OutputBounds{});
  NameTable table;
  EXPECT_EQ(table.Register(0, "A", a), 0);
  EXPECT_EQ(table.Register(0, "B", b), 1);
  EXPECT_EQ(table.Register(5, "C", b), 2);
  EXPECT_EQ(table.Register(1, "B2", b), 1);
  EXPECT_EQ(table.Register(0, "D", {}), 3);
  EXPECT_EQ(table.Count(), 4);
  EXPECT_EQ(table.NameAt(0), "A");
  EXPECT_EQ(table.NameAt(1), "B2");
  EXPECT_EQ(table.FindOrigin(b.get()), 1);
  EXPECT_EQ(table.FindOrigin(nullptr), -1);
}

TEST(NameTableTest, SlotsOutsideTheTableAndATwentyFirstNameAreRefused) {
  NameTable table;
  EXPECT_THROW(table.Register(20, "A", {}), EListError);
  EXPECT_THROW(table.Register(-1, "A", {}), EListError);
  EXPECT_EQ(table.Count(), 0);
  for (int slot = 0; slot < 20; ++slot) table.Register(slot, "U" + std::to_string(slot), {});
  try {
    table.Register(3, "late", {});
    FAIL() << "a twenty-first name was taken";
  } catch (const EListError& failure) {
    EXPECT_STREQ(failure.what(), "List index out of bounds (20)");
  }
  EXPECT_EQ(table.Count(), 20);
  EXPECT_EQ(table.NameAt(3), "U3");
}

TEST(NameTableTest, RemovalFromAFullTableFreesTheLastSlot) {
  NameTable table;
  for (int slot = 0; slot < 20; ++slot) table.Register(slot, "U" + std::to_string(slot), {});
  table.RemoveAt(0);
  EXPECT_EQ(table.Count(), 19);
  EXPECT_EQ(table.NameAt(0), "U1");
  EXPECT_EQ(table.NameAt(18), "U19");
  EXPECT_EQ(table.NameAt(19), "");
  EXPECT_EQ(table.Register(5, "again", {}), 19);
}

}  // namespace
