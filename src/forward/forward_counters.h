// What the broker forwarder tells /metrics: whether the broker is connected,
// what it acknowledged since the start, the backlog left in the tree and
// how long the oldest part of it has waited. One per process; written by
// the forwarder's thread, read by any. Thread safe.
#pragma once

#include <atomic>

class ForwardCounters {
 public:
  static ForwardCounters& Process();

  std::atomic<bool> enabled{false};
  std::atomic<bool> connected{false};
  std::atomic<long long> recordsForwarded{0};
  std::atomic<long long> alarmsForwarded{0};
  std::atomic<long long> backlogRecords{0};
  std::atomic<long long> backlogBytes{0};
  std::atomic<double> backlogAgeSeconds{0};
  std::atomic<long long> expiredRecords{0};  // swept away before they were forwarded
};
