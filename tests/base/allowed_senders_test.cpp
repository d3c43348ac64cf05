// The allow list: which networks it reads, whom it serves, how it counts.
#include "base/allowed_senders.h"

#include <gtest/gtest.h>

namespace {

Ipv4Network Network(const char* text) {
  std::string error;
  std::optional<Ipv4Network> network = ParseIpv4Network(text, error);
  EXPECT_TRUE(network) << error;
  return network.value_or(Ipv4Network{});
}

TEST(AllowedSendersTest, NetworksAreReadStrictlyAndServeTheirHostsOnly) {
  AllowedSenders senders({Network("10.1.0.0/24"), Network("192.168.5.20")});
  EXPECT_TRUE(senders.Admit(0x0A010077, "x"));   // 10.1.0.119
  EXPECT_TRUE(senders.Admit(0xC0A80514, "x"));   // 192.168.5.20
  EXPECT_FALSE(senders.Admit(0x0A010100, "x"));  // 10.1.1.0
  EXPECT_FALSE(senders.Admit(0xC0A80515, "x"));  // 192.168.5.21
  EXPECT_TRUE(AllowedSenders({Network("0.0.0.0/0")}).Admit(0xFFFFFFFF, "x"));
  std::string error;
  for (const char* bad : {"10.1.0.5/24", "10.1.0.0/33", "10.1.0.0/", "10.1.0/24", "10.1.0.0/2a"})
    EXPECT_FALSE(ParseIpv4Network(bad, error)) << bad;
}

TEST(AllowedSendersTest, RefusalsAreCountedAndReportedOnceAMinutePerAddress) {
  AllowedSenders senders({Network("127.0.0.1")});
  std::vector<std::string> lines;
  senders.SetReport([&](const std::string& line) { lines.push_back(line); });
  const auto start = AllowedSenders::Clock::now();
  for (int second : {0, 1, 59, 60})
    senders.Admit(0x7F000002, "file transfer", start + std::chrono::seconds(second));
  senders.Admit(0x7F000003, "the unit link", start);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1],
            "Refused 127.0.0.2 on file transfer: not an allowed sender (4 refused from it so far)");
  for (uint32_t stranger = 0; stranger < AllowedSenders::kCountedAddresses; ++stranger)
    senders.Admit(0x0A000000 + stranger, "x", start);
  std::map<std::string, std::uint64_t> counts = senders.RefusedCounts();
  EXPECT_EQ(counts.size(), AllowedSenders::kCountedAddresses + 1);
  EXPECT_EQ(counts["127.0.0.2"], 4u);
  EXPECT_EQ(counts[AllowedSenders::kOtherAddresses], 2u);
}

}  // namespace
