// The operator's allow list of senders (--allow): IPv4 networks whose hosts
// the unit link and file transfer serve; without a network everyone is
// served. A refused sender is counted per address and reported at most once
// a minute per address through the report function. Thread safe: the unit
// link asks on the main thread, file transfer on its listener thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An IPv4 network; address in host byte order, its host bits zero.
struct Ipv4Network {
  uint32_t Address = 0;
  int PrefixLength = 32;
  bool Contains(uint32_t address) const;
};

// "a.b.c.d" (a single host) or "a.b.c.d/n" with n from 0 to 32; nullopt with
// the reason in error otherwise (also when host bits are set below the prefix).
std::optional<Ipv4Network> ParseIpv4Network(std::string_view text, std::string& error);
// "a.b.c.d" of an address in host byte order.
std::string Ipv4Text(uint32_t address);

class AllowedSenders {
 public:
  using Clock = std::chrono::steady_clock;
  // Called with one line for the operator, on the thread that was refused.
  using Report = std::function<void(const std::string& line)>;
  static constexpr std::chrono::minutes kReportInterval{1};
  // Refusals are counted per address for this many addresses; the rest are
  // counted together under kOtherAddresses, so spoofed sources cannot grow memory.
  static constexpr std::size_t kCountedAddresses = 1024;
  static constexpr const char* kOtherAddresses = "other";

  explicit AllowedSenders(std::vector<Ipv4Network> networks = {});

  // True when address (host byte order) may be served. Otherwise counts it,
  // reports it when its last report is a minute old or it has none, and
  // returns false; service names what was refused ("the unit link").
  bool Admit(uint32_t address, std::string_view service, Clock::time_point now = Clock::now());
  // Replaces the report function; waits for a report under way to end.
  void SetReport(Report report);

  const std::vector<Ipv4Network>& Networks() const { return networks_; }
  // The refusals so far, by address text (kOtherAddresses for the overflow).
  std::map<std::string, std::uint64_t> RefusedCounts() const;

 private:
  struct Refusals {
    std::uint64_t count = 0;
    std::optional<Clock::time_point> lastReport;
  };
  bool Allows(uint32_t address) const;

  const std::vector<Ipv4Network> networks_;
  mutable std::mutex mutex_;
  std::map<uint32_t, Refusals> refused_;
  Refusals others_;
  std::mutex reportMutex_;
  Report report_;
};
