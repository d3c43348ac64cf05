// A generated week of one sensor's records, as the data unit stores them:
// "date hh:mm:ss value" lines with CR LF, one every 10 s, ending at a given
// moment. Shared by the sensor window's benchmark and its screenshot.
#pragma once

#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

#include "store/short_date_format.h"

namespace sample_week {

constexpr int kSpacingSeconds = 10;
constexpr int kDays = 7;

// A daily swing with a slower drift and a little noise; sensor picks the shape.
inline double Value(int sensor, std::time_t moment) {
  const double day = 2 * M_PI * static_cast<double>(moment % 86400) / 86400.0;
  const double week = 2 * M_PI * static_cast<double>(moment % (7 * 86400)) / (7 * 86400.0);
  const double noise = static_cast<double>((moment * 2654435761u) % 1000) / 1000.0 - 0.5;
  if (sensor == 0) return 18 + 6 * std::sin(day - 2) + 2 * std::sin(week) + 0.4 * noise;
  return 55 - 15 * std::sin(day - 2) + 8 * std::cos(week) + 2 * noise;
}

// Writes the week to path (replacing it); returns the number of lines.
inline long WriteSensor(const std::string& path, const ShortDateFormat& format, int sensor,
                        std::time_t end) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return -1;
  long lines = 0;
  for (std::time_t moment = end - kDays * 86400 + kSpacingSeconds; moment <= end;
       moment += kSpacingSeconds) {
    std::tm local{};
    localtime_r(&moment, &local);
    std::string date = format.Format(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    std::fprintf(file, "%s %02d:%02d:%02d %.2f\r\n", date.c_str(), local.tm_hour, local.tm_min,
                 local.tm_sec, Value(sensor, moment));
    ++lines;
  }
  std::fclose(file);
  return lines;
}

}  // namespace sample_week
