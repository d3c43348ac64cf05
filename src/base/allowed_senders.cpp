#include "base/allowed_senders.h"

#include <arpa/inet.h>

#include <charconv>

namespace {

uint32_t NetworkMask(int prefixLength) {
  return prefixLength == 0 ? 0 : ~uint32_t{0} << (32 - prefixLength);
}

std::optional<uint32_t> ParseDotted(std::string_view text) {
  in_addr parsed{};
  if (::inet_pton(AF_INET, std::string(text).c_str(), &parsed) != 1) return std::nullopt;
  return ntohl(parsed.s_addr);
}

std::optional<int> ParsePrefixLength(std::string_view text) {
  int value = -1;
  auto [end, failed] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || failed != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  if (value < 0 || value > 32) return std::nullopt;
  return value;
}

std::string Quoted(std::string_view text) {
  std::string quoted(1, '\'');
  return quoted.append(text).append(1, '\'');
}

}  // namespace

bool Ipv4Network::Contains(uint32_t address) const {
  return (address & NetworkMask(PrefixLength)) == Address;
}

std::optional<Ipv4Network> ParseIpv4Network(std::string_view text, std::string& error) {
  const std::size_t slash = text.find('/');
  std::optional<uint32_t> address = ParseDotted(text.substr(0, slash));
  if (!address) {
    error = Quoted(text) + " is not an IPv4 address or network (a.b.c.d or a.b.c.d/n)";
    return std::nullopt;
  }
  Ipv4Network network{*address, 32};
  if (slash != std::string_view::npos) {
    std::optional<int> length = ParsePrefixLength(text.substr(slash + 1));
    if (!length) {
      error = Quoted(text) + " has no prefix length from 0 to 32 after the '/'";
      return std::nullopt;
    }
    network.PrefixLength = *length;
  }
  const uint32_t masked = network.Address & NetworkMask(network.PrefixLength);
  if (masked != network.Address) {
    error = Quoted(text) + " has host bits set; the network is " + Ipv4Text(masked) + "/" +
            std::to_string(network.PrefixLength);
    return std::nullopt;
  }
  return network;
}

std::string Ipv4Text(uint32_t address) {
  in_addr value{htonl(address)};
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &value, text, sizeof text);
  return text;
}

AllowedSenders::AllowedSenders(std::vector<Ipv4Network> networks)
    : networks_(std::move(networks)) {}

bool AllowedSenders::Allows(uint32_t address) const {
  if (networks_.empty()) return true;
  for (const Ipv4Network& network : networks_) {
    if (network.Contains(address)) return true;
  }
  return false;
}

bool AllowedSenders::Admit(uint32_t address, std::string_view service, Clock::time_point now) {
  if (Allows(address)) return true;
  std::uint64_t count = 0;
  bool counted = false;
  {
    std::lock_guard lock(mutex_);
    auto found = refused_.find(address);
    counted = found != refused_.end() || refused_.size() < kCountedAddresses;
    Refusals& refusals = counted ? refused_[address] : others_;
    count = ++refusals.count;
    if (refusals.lastReport && now - *refusals.lastReport < kReportInterval) return false;
    refusals.lastReport = now;
  }
  std::string line = "Refused ";
  line.append(Ipv4Text(address)).append(" on ").append(service);
  line.append(": not an allowed sender (").append(std::to_string(count)).append(" refused ");
  line.append(counted ? "from it" : "from addresses not counted one by one").append(" so far)");
  std::lock_guard lock(reportMutex_);
  if (report_) report_(line);
  return false;
}

void AllowedSenders::SetReport(Report report) {
  std::lock_guard lock(reportMutex_);
  report_ = std::move(report);
}

std::map<std::string, std::uint64_t> AllowedSenders::RefusedCounts() const {
  std::lock_guard lock(mutex_);
  std::map<std::string, std::uint64_t> counts;
  for (const auto& [address, refusals] : refused_) counts[Ipv4Text(address)] = refusals.count;
  if (others_.count > 0) counts[kOtherAddresses] = others_.count;
  return counts;
}
