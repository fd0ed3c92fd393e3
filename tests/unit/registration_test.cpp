#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "poll_world.h"

namespace duz::test {
namespace {

template <typename Handle>
std::vector<std::string> names(Handle* row, int count) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(row[i].name ? row[i].name : "<null>");
  return out;
}

struct Registered : PollWorld {
  std::vector<std::string> analogNames(int slot) {
    const auto& r = module.deviceStatusTable[slot];
    return names(r.analogTags, r.analogCount);
  }
  std::vector<std::string> bitNames(int slot) {
    const auto& r = module.deviceStatusTable[slot];
    return names(r.bitTags, r.bitCount);
  }
  std::vector<std::string> intNames(int slot) {
    const auto& r = module.deviceStatusTable[slot];
    return names(r.intTags, r.intCount);
  }
};

TEST(RegisterTags, ControllerNamesPhysicalSlotsInSlotOrder) {
  Registered w;
  w.addController(1, {0, 0, 2, 0, 0, 0, 3, 0}, "0110");
  RegisterTags(w.module);
  const auto analog = w.analogNames(0);
  const auto bits = w.bitNames(0);
  ASSERT_EQ(analog.size(), 12u);
  ASSERT_EQ(bits.size(), 24u);
  EXPECT_EQ(w.intNames(0), std::vector<std::string>{"Device number"});
  EXPECT_EQ(analog[0], "LUMA-12 0110: Module 3 (GELT).Input 1");
  EXPECT_EQ(analog[5], "LUMA-12 0110: Module 3 (GELT).Input 6");
  EXPECT_EQ(analog[6], "LUMA-12 0110: Module 7 (DORF).Input 1");
  EXPECT_EQ(bits[0], "LUMA-12 0110: Module 3 (GELT).Input 1: Limit 1");
  EXPECT_EQ(bits[1], "LUMA-12 0110: Module 3 (GELT).Input 1: Limit 2");
  EXPECT_EQ(bits[14], "LUMA-12 0110: Module 7 (DORF).Input 2: Limit 1");
  EXPECT_EQ(bits[23], "LUMA-12 0110: Module 7 (DORF).Input 6: Limit 2");
}

TEST(RegisterTags, ControllerCountsFollowItsFittedModules) {
  Registered w;
  w.addController(1, {1, 0, 2, 4, 0, 0, 0, 0}, "1101");
  RegisterTags(w.module);
  const auto analog = w.analogNames(0);
  ASSERT_EQ(analog.size(), 18u);
  EXPECT_EQ(w.bitNames(0).size(), 36u);
  EXPECT_EQ(analog[0], "LUMA-12 1101: Module 1 (BRUN).Input 1");
  EXPECT_EQ(analog[6], "LUMA-12 1101: Module 3 (GELT).Input 1");
  EXPECT_EQ(analog[17], "LUMA-12 1101: Module 4 (ZALS).Input 6");
}

TEST(RegisterTags, ControllerKeepsToFiveModulesAndShowsUnknownCodes) {
  Registered w;
  // Six fitted modules: the sixth (slot 8) would need bit tags beyond the 60 of the row.
  w.addController(1, {1, 7, 0, 2, 3, 4, 0, 1}, "2111");
  RegisterTags(w.module);
  const auto analog = w.analogNames(0);
  const auto bits = w.bitNames(0);
  ASSERT_EQ(analog.size(), 30u);
  ASSERT_EQ(bits.size(), 60u);
  EXPECT_EQ(analog[6], "LUMA-12 2111: Module 2 (7).Input 1");
  EXPECT_EQ(analog[29], "LUMA-12 2111: Module 6 (ZALS).Input 6");
  EXPECT_EQ(bits[59], "LUMA-12 2111: Module 6 (ZALS).Input 6: Limit 2");
  for (const auto& n : analog) EXPECT_EQ(n.find("Module 8"), std::string::npos);
  EXPECT_EQ(w.intNames(0).size(), 1u);
}

TEST(RegisterTags, AlarmInstrumentWithAndWithoutVariant) {
  Registered w;
  w.addAlarm(4, "9852");  // 6 + 4 inputs, 4 outputs
  w.addAlarm(5, "1234");  // no such variant
  RegisterTags(w.module);
  const auto bits = w.bitNames(0);
  ASSERT_EQ(bits.size(), 17u);
  EXPECT_EQ(int{w.module.deviceStatusTable[0].analogCount}, 0);
  EXPECT_EQ(bits[0], "DEK-04 9852: Discrete inputs.Input 1");
  EXPECT_EQ(bits[9], "DEK-04 9852: Discrete inputs.Input 10");
  EXPECT_EQ(bits[10], "DEK-04 9852: Discrete outputs.Output 1");
  EXPECT_EQ(bits[13], "DEK-04 9852: Discrete outputs.Output 4");
  EXPECT_EQ(bits[14], "Reset");
  EXPECT_EQ(bits[15], "Cancellation of the signal system");
  EXPECT_EQ(bits[16], "Mode of blocking");
  EXPECT_EQ(w.bitNames(1),
            (std::vector<std::string>{"Reset", "Cancellation of the signal system", "Mode of blocking"}));
  EXPECT_EQ(w.intNames(1), std::vector<std::string>{"Device number"});
}

TEST(RegisterTags, TransducersAndCurrentLoop) {
  Registered w;
  w.addTransducer(kModelThermocouple.view(), 1, "-50", "600");
  w.addTransducer(kModelResistance.view(), 2, "-200", "-150");
  w.add(kModelCurrentLoop.view(), 3);
  RegisterTags(w.module);
  EXPECT_EQ(w.analogNames(0), std::vector<std::string>{"VEKS-1: (-50 -- 600).Value"});
  EXPECT_EQ(w.bitNames(0),
            (std::vector<std::string>{"VEKS-1: (-50 -- 600).Limit 1", "VEKS-1: (-50 -- 600).Limit 2"}));
  EXPECT_EQ(w.analogNames(1), std::vector<std::string>{"VEKS-2: (-200 -- -150).Value"});
  EXPECT_EQ(w.bitNames(1).at(1), "VEKS-2: (-200 -- -150).Limit 2");
  EXPECT_EQ(w.analogNames(2), std::vector<std::string>{"ORTA (4 -- 20 mA).Value"});
  EXPECT_EQ(w.bitNames(2),
            (std::vector<std::string>{"ORTA (4 -- 20 mA).Limit 1", "ORTA (4 -- 20 mA).Limit 2"}));
  for (int s = 0; s < 3; ++s) EXPECT_EQ(w.intNames(s), std::vector<std::string>{"Device number"});
}

TEST(RegisterTags, UnknownModelGetsOnlyItsDeviceNumberAndSlotsBeyondStayEmpty) {
  Registered w;
  w.add(std::string(kModelController.view()) + " ", 1);  // a trailing blank is no model
  w.add("ORTA", 2);                                      // Latin letters are no model either
  RegisterTags(w.module);
  for (int s = 0; s < 2; ++s) {
    EXPECT_EQ(int{w.module.deviceStatusTable[s].analogCount}, 0);
    EXPECT_EQ(int{w.module.deviceStatusTable[s].bitCount}, 0);
    EXPECT_EQ(w.intNames(s), std::vector<std::string>{"Device number"});
  }
  EXPECT_EQ(int{w.module.deviceStatusTable[2].intCount}, 0);
  EXPECT_EQ(w.module.currentDevice, 2);
}

TEST(RegisterTags, CellsWithoutTerminatorAreReadNoFurtherThanEightBytes) {
  Registered w;
  DeviceConfig& c = w.addTransducer(kModelThermocouple.view(), 1, "", "");
  std::memcpy(c.text(cell::kRangeLow), "12345678", 8);  // no NUL: the next cell follows directly
  std::memcpy(c.text(cell::kRangeHigh), "87654321", 8);
  DeviceConfig& a = w.addAlarm(2, "");
  std::memcpy(a.text(cell::kAlarmVariant), "98521234", 8);
  a.byte0(cell::kAlarmVariant + 1) = 'X';
  RegisterTags(w.module);
  EXPECT_EQ(w.analogNames(0), std::vector<std::string>{"VEKS-1: (12345678 -- 87654321).Value"});
  EXPECT_EQ(w.bitNames(1).size(), 3u);  // "98521234" is not variant 9852
}

TEST(RegisterTags, NoConfiguredDevicesNamesNothing) {
  Registered w;
  RegisterTags(w.module);
  EXPECT_EQ(w.module.currentDevice, 0);
  for (int s = 0; s < kSlots; ++s) {
    EXPECT_EQ(int{w.module.deviceStatusTable[s].intCount}, 0);
    EXPECT_EQ(w.module.analogHandles.at(s, 0).name, nullptr);
  }
}

}  // namespace
}  // namespace duz::test
