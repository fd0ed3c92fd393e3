// The status table and the handle records are read by the host as bytes: every field must sit where
// the host expects it. On 32-bit Windows the sizes are the host's exactly (static_asserts in
// tables.h); on 64-bit the address fields are pointer-sized and the rest keeps order and width.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "fakes/fakes.h"
#include "host/module.h"

namespace duz::test {
namespace {

constexpr std::size_t P = sizeof(void*);

TEST(TablesLayout, StatusRecordFieldsSitWhereTheHostReadsThem) {
  EXPECT_EQ(offsetof(DeviceStatusRecord, online), 0u);
  EXPECT_EQ(offsetof(DeviceStatusRecord, analogCount), 1u);
  EXPECT_EQ(offsetof(DeviceStatusRecord, analogTags), 3u);
  EXPECT_EQ(offsetof(DeviceStatusRecord, bitCount), 3 + P);
  EXPECT_EQ(offsetof(DeviceStatusRecord, bitTags), 5 + P);
  EXPECT_EQ(offsetof(DeviceStatusRecord, intCount), 5 + 2 * P);
  EXPECT_EQ(offsetof(DeviceStatusRecord, intTags), 7 + 2 * P);
  EXPECT_EQ(offsetof(DeviceStatusRecord, fixedWord), 7 + 3 * P);
  EXPECT_EQ(offsetof(DeviceStatusRecord, deviceName), 9 + 3 * P);
  EXPECT_EQ(sizeof(DeviceStatusRecord), 201 + 3 * P);  // 213 with 32-bit addresses
  // The table is one block of 31 records with no gaps.
  EXPECT_EQ(sizeof(Module::deviceStatusTable), kSlots * sizeof(DeviceStatusRecord));
}

TEST(TablesLayout, HandleRecordsFollowThePublicationArguments) {
  EXPECT_EQ(offsetof(AnalogTagHandle, name), 0u);
  EXPECT_EQ(offsetof(AnalogTagHandle, value), P);
  EXPECT_EQ(offsetof(AnalogTagHandle, quality), P + 4);
  EXPECT_EQ(offsetof(AnalogTagHandle, timestamp), P + 8);
  EXPECT_EQ(sizeof(AnalogTagHandle), P + 16);  // 20

  EXPECT_EQ(offsetof(BitTagHandle, value), P);
  EXPECT_EQ(offsetof(BitTagHandle, quality), P + 1);
  EXPECT_EQ(offsetof(BitTagHandle, timestamp), P + 5);
  EXPECT_EQ(sizeof(BitTagHandle), P + 13);  // 17

  EXPECT_EQ(offsetof(IntTagHandle, value), P);
  EXPECT_EQ(offsetof(IntTagHandle, quality), P + 4);
  EXPECT_EQ(offsetof(IntTagHandle, timestamp), P + 8);
  EXPECT_EQ(sizeof(IntTagHandle), P + 16);  // 20

  EXPECT_EQ(sizeof(DeviceConfig), 104u);
}

class ModuleTables : public ::testing::Test {
 protected:
  FakeWorld world;
  std::unique_ptr<Module> module = std::make_unique<Module>(world.platform());
};

TEST_F(ModuleTables, EachSlotPointsAtItsOwnRowOfEachArray) {
  const auto* analog = reinterpret_cast<const std::byte*>(module->analogHandles.data());
  const auto* bit = reinterpret_cast<const std::byte*>(module->bitHandles.data());
  const auto* integer = reinterpret_cast<const std::byte*>(module->intHandles.data());
  const DeviceStatusRecord& slot5 = module->deviceStatusTable[5];
  // 5 x 1,200 / 1,020 / 1,200 bytes with 32-bit addresses.
  EXPECT_EQ(reinterpret_cast<const std::byte*>(slot5.analogTags), analog + 5 * 60 * (P + 16));
  EXPECT_EQ(reinterpret_cast<const std::byte*>(slot5.bitTags), bit + 5 * 60 * (P + 13));
  EXPECT_EQ(reinterpret_cast<const std::byte*>(slot5.intTags), integer + 5 * 60 * (P + 16));
  for (int s = 0; s < kSlots; ++s) {
    // Packed fields are copied out before the comparison takes references to them.
    const DeviceStatusRecord& r = module->deviceStatusTable[s];
    const AnalogTagHandle* analogRow = r.analogTags;
    const BitTagHandle* bitRow = r.bitTags;
    const IntTagHandle* intRow = r.intTags;
    EXPECT_EQ(analogRow, &module->analogHandles.at(s, 0)) << s;
    EXPECT_EQ(bitRow, &module->bitHandles.at(s, 0)) << s;
    EXPECT_EQ(intRow, &module->intHandles.at(s, 0)) << s;
  }
}

TEST_F(ModuleTables, FreshModuleShowsThirtyOneNamedOnlineSlotsWithoutTags) {
  for (int s = 0; s < kSlots; ++s) {
    const DeviceStatusRecord& r = module->deviceStatusTable[s];
    const std::string name = "Device" + std::to_string(s + 1);
    EXPECT_EQ(r.online, 1) << s;
    EXPECT_EQ(int{r.analogCount}, 0) << s;
    EXPECT_EQ(int{r.bitCount}, 0) << s;
    EXPECT_EQ(int{r.intCount}, 0) << s;
    EXPECT_EQ(int{r.fixedWord}, 3) << s;
    EXPECT_STREQ(r.deviceName, name.c_str());
    for (std::size_t i = name.size(); i < sizeof r.deviceName; ++i)
      ASSERT_EQ(r.deviceName[i], '\0') << "slot " << s << " byte " << i;
  }
}

template <typename Handle>
bool allZero(const Handle& h) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&h);
  for (std::size_t i = 0; i < sizeof h; ++i)
    if (bytes[i]) return false;
  return true;
}

TEST_F(ModuleTables, EveryOtherTableStartsZero) {
  for (int s = 0; s < kSlots; ++s) {
    for (int i = 0; i < kTagsPerKind; ++i) {
      ASSERT_TRUE(allZero(module->analogHandles.at(s, i))) << s << "/" << i;
      ASSERT_TRUE(allZero(module->bitHandles.at(s, i))) << s << "/" << i;
      ASSERT_TRUE(allZero(module->intHandles.at(s, i))) << s << "/" << i;
    }
    EXPECT_TRUE(allZero(module->deviceConfig[s])) << s;
  }
  EXPECT_TRUE(allZero(module->settings));
  EXPECT_TRUE(module->configDescription.empty());
  EXPECT_EQ(module->configuredCount, 0);
}

}  // namespace
}  // namespace duz::test
