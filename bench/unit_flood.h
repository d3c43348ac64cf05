// What the end-to-end benches send as units: numbered records of five
// sensors, batched on the unit link and ended by a DU_CHECK, and the count of
// lines they left in a file.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "../tests/e2e/program_under_test.h"
#include "unit_connection.h"

inline std::string Record(int unit, int i) {
  return "T" + std::to_string(i % 5) + " 06.12.2026 " + std::to_string(unit) + "." +
         std::to_string(i);
}

inline std::size_t CountLines(const std::string& path) {
  std::string text = ReadWholeFile(path);
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

// Returns once the data unit answered the DU_CHECK behind the records.
inline void SendRecords(UnitConnection& unit, int index, int count) {
  std::string batch;
  for (int i = 0; i < count; ++i) {
    batch += "CS_TEXT " + unit.Name() + " DU_SAVELOG " + Record(index, i) + "#";
    if (batch.size() > 16384 || i + 1 == count) {
      unit.SendRaw(batch);
      batch.clear();
    }
  }
  unit.SendText("DU_CHECK");
  // Each unit reads while it waits, so its own replies never fill the kernel buffers.
  while (auto text = unit.NextText(std::chrono::seconds(120)))
    if (*text == "CHECK") return;
}
