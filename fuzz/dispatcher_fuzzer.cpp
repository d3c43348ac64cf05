// The unit command dispatcher fed arbitrary texts from arbitrary sender names
// against a temporary data tree, now and then followed by a retention sweep.
// Whatever arrives, nothing may appear outside the tree, nothing inside it
// outside log/, config/ and alarms/, and no name on disk may hold a "\"
// (a tree path that was not split into its components).
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <ctime>
#include <string>
#include <vector>

#include "app/unit_command_dispatcher.h"
#include "base/exceptions.h"
#include "fuzz_support.h"
#include "store/data_controller.h"
#include "store/short_date_format.h"

namespace {

class FakeLink : public UnitReplies {
 public:
  void SendTextTo(const std::string& name, const std::string& text) override {
    sent.push_back(name + ": " + text);
  }
  int Connection_count() const override { return static_cast<int>(names.size()); }
  std::string NameAt(int index) const override { return names.at(static_cast<std::size_t>(index)); }
  // No pause: what a unit's pause holds back is carried out at once.
  void HoldSender(std::chrono::milliseconds, std::function<void()> then) override { then(); }

  std::vector<std::string> names{"SU1", "AU", "CU"};
  std::vector<std::string> sent;
};

fuzz::ScratchTree& Scratch() {
  static fuzz::ScratchTree scratch;
  return scratch;
}

std::time_t FixedNow() { return 1780000000; }  // a day in 2026

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ScratchTree& scratch = Scratch();
  scratch.Reset({"log/SU1/camera_cam0/p1.jpg", "log/SU1/T1.dat", "log/SU1/alllog.dat",
                 "config/SU1.ini", "alarms/su_sent.dat"});
  FuzzedDataProvider input(data, size);
  TDataController store(scratch.Tree());
  store.UseStandardNames();
  store.SetRetentionDays(3);
  store.SetDateFormat(ShortDateFormat::FromPattern("%d.%m.%Y"));
  store.SetClock(FixedNow);
  FakeLink link;
  std::string alarmUnit, controlUnit;
  UnitCommandDispatcher dispatcher(store, link, {}, alarmUnit, controlUnit);
  while (input.remaining_bytes() > 0) {
    std::string sender = input.ConsumeRandomLengthString(24);
    std::string text = input.ConsumeRandomLengthString(300);
    try {
      if (input.ConsumeIntegralInRange(0, 31) == 0) store.DeleteOldData();
      dispatcher.HandleUnitText(text, sender);
    } catch (const Exception&) {
      // Store failures end a command; they are what hostile names should get.
    }
    scratch.RequireConfinedTree();
  }
  return 0;
}
