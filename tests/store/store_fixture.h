// A data store on a temporary start directory with the program's names, the
// date format "%d.%m.%Y", local time pinned to UTC and today fixed at
// 10 December 2026, 15:00.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "store/data_controller.h"
#include "store/local_calendar.h"
#include "store/temp_tree.h"

class StoreTest : public ::testing::Test {
 protected:
  StoreTest() {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    store_.UseStandardNames();
    store_.SetRetentionDays(7);
    store_.SetDateFormat(ShortDateFormat::FromPattern("%d.%m.%Y"));
    store_.SetClock([] { return At(0, 15, 0, 0); });
  }

  // A moment daysBefore days before today at the given local time.
  static std::time_t At(int daysBefore, int hour, int minute, int second) {
    const int day = local_calendar::DaysFromCivil(2026, 12, 10) - daysBefore;
    return static_cast<std::time_t>(day) * 86400 + hour * 3600 + minute * 60 + second;
  }

  TempTree tree_;
  TDataController store_{tree_.Root()};
};

// Runs statement and returns the message it raised ("<no exception>" else).
#define RAISED_MESSAGE(statement)           \
  [&]() -> std::string {                    \
    try {                                   \
      statement;                            \
    } catch (const std::exception& error) { \
      return error.what();                  \
    }                                       \
    return "<no exception>";                \
  }()
