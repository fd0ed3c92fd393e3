#include <gtest/gtest.h>

#include <set>
#include <string>

#include "model/catalogue.h"
#include "model/cp1251.h"

namespace duz {
namespace {

TEST(Catalogue, ModelTextsAreExactCp1251) {
  EXPECT_EQ(kModelController.view(), "\xCB\xD3\xCC\xC0-12");  // 7 bytes: fits the 8-byte cell
  EXPECT_EQ(modelKind(kModelAlarm.view()), DeviceKind::AlarmInstrument);
  EXPECT_EQ(modelKind(kModelCurrentLoop.view()), DeviceKind::CurrentLoop);
  EXPECT_EQ(modelLatin(DeviceKind::ResistanceThermometer), "VEKS-2");
  // A trailing blank, lower case or the UTF-8 spelling is no model.
  EXPECT_FALSE(modelKind(std::string(kModelController.view()) + " "));
  EXPECT_FALSE(modelKind(utf8ToCp1251("лума-12")));
  EXPECT_FALSE(modelKind("ЛУМА-12"));
  // A cell without a terminating NUL is read no further than its 8 bytes.
  const char cell[9] = "\xC4\xC5\xCA-04\0";
  EXPECT_EQ(modelKindOfCell(cell), DeviceKind::AlarmInstrument);
  const char full[10] = "ABCDEFGHX";
  EXPECT_FALSE(modelKindOfCell(full));
}

TEST(Catalogue, ModuleTypes) {
  EXPECT_EQ(cp1251ToUtf8(moduleTypeName(4)), "ЖАЛС");
  EXPECT_EQ(moduleTypeLatin(4), "ZALS");
  EXPECT_TRUE(moduleTypeName(0).empty());
  EXPECT_TRUE(moduleTypeLatin(5).empty());
}

TEST(Catalogue, AlarmVariantsKeepTheirFixedLayout) {
  const auto& table = alarmVariantTable();
  const AlarmVariant& first = table[0];
  const auto* bytes = reinterpret_cast<const unsigned char*>(&first);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), 5), std::string("9852\0", 5));
  EXPECT_EQ(bytes[5], 6);
  EXPECT_EQ(bytes[10], 4);
  EXPECT_EQ(bytes[15], 4);
  EXPECT_EQ(bytes[20], 0);
  EXPECT_EQ(cp1251ToUtf8(reinterpret_cast<const char*>(bytes + 25)), "ЛИРК");
  EXPECT_EQ(cp1251ToUtf8(reinterpret_cast<const char*>(bytes + 30)), "ФО1");
  EXPECT_EQ(bytes[35], 0);
  EXPECT_EQ(bytes[45], 12);
  EXPECT_EQ(bytes[60], 15);
  EXPECT_EQ(table[13].code(), std::string("6412"));
  EXPECT_EQ(cp1251ToUtf8(table[12].moduleName(3)), "ЗУМ");
}

TEST(Catalogue, VariantLookup) {
  const AlarmVariant* row12 = findAlarmVariant("8240");
  ASSERT_NE(row12, nullptr);
  ASSERT_EQ(row12->outputCount(), 16);
  std::set<int> bits;
  for (int k = 0; k < 16; ++k) bits.insert(row12->outputBit(k));
  EXPECT_EQ(bits.size(), 16u);
  EXPECT_EQ(*bits.begin(), 0);
  EXPECT_EQ(*bits.rbegin(), 15);
  EXPECT_EQ(findAlarmVariant("0703"), nullptr);
  EXPECT_EQ(findAlarmVariant("98520"), nullptr);
  int maxInputs = 0;
  for (const auto& row : alarmVariantTable()) maxInputs = std::max(maxInputs, row.inputCount());
  EXPECT_EQ(maxInputs, 32);
}

TEST(Catalogue, SensorTypeNames) {
  EXPECT_EQ(sensorTypeName(DeviceKind::Thermocouple, 2),
            "\xD2\xD5"
            "A (K)");  // Latin A
  EXPECT_EQ(sensorTypeName(DeviceKind::Thermocouple, 4), "\xD2\xCC\xCA (\xD2)");
  EXPECT_EQ(cp1251ToUtf8(sensorTypeName(DeviceKind::Thermocouple, 9)), "ТВР (А3)");
  EXPECT_EQ(sensorTypeName(DeviceKind::ResistanceThermometer, 2), "Pt 100");
  EXPECT_TRUE(sensorTypeName(DeviceKind::Thermocouple, 10).empty());
  EXPECT_TRUE(sensorTypeName(DeviceKind::ResistanceThermometer, 6).empty());
  EXPECT_TRUE(sensorTypeName(DeviceKind::CurrentLoop, 0).empty());
}

TEST(Catalogue, RangeAcceptanceStopsAtLastRange) {
  // Thermocouple type 4 accepts 0..5; types 5..9 only 0 and 1.
  EXPECT_TRUE(lookupRange(DeviceKind::Thermocouple, 4, 5));
  EXPECT_FALSE(lookupRange(DeviceKind::Thermocouple, 4, 6));
  for (int t = 5; t <= 9; ++t) {
    EXPECT_TRUE(lookupRange(DeviceKind::Thermocouple, t, 1)) << t;
    EXPECT_FALSE(lookupRange(DeviceKind::Thermocouple, t, 2)) << t;
  }
  EXPECT_EQ(lookupRange(DeviceKind::Thermocouple, 2, 13)->high, 450);
  EXPECT_EQ(lookupRange(DeviceKind::Thermocouple, 7, 1)->low, 1000);
  // Ni 100 accepts 0..10; 100 М accepts 0..27.
  const auto ni = lookupRange(DeviceKind::ResistanceThermometer, 3, 4);
  ASSERT_TRUE(ni);
  EXPECT_EQ(ni->low, -50);
  EXPECT_EQ(ni->high, 180);
  EXPECT_FALSE(lookupRange(DeviceKind::ResistanceThermometer, 3, 11));
  EXPECT_EQ(lookupRange(DeviceKind::ResistanceThermometer, 4, 27)->high, 200);
  EXPECT_FALSE(lookupRange(DeviceKind::ResistanceThermometer, 4, 28));
  EXPECT_EQ(lookupRange(DeviceKind::ResistanceThermometer, 0, 46)->high, 250);
  EXPECT_EQ(lookupRange(DeviceKind::ResistanceThermometer, 5, 20)->low, -30);  // М column differs from 20 on
  // Beyond the catalogue: no range, and never a read outside the tables.
  EXPECT_FALSE(lookupRange(DeviceKind::Thermocouple, 10, 0));
  EXPECT_FALSE(lookupRange(DeviceKind::ResistanceThermometer, 6, 0));
  EXPECT_FALSE(lookupRange(DeviceKind::Thermocouple, 0, -1));
  EXPECT_FALSE(lookupRange(DeviceKind::CurrentLoop, 0, 0));
}

TEST(Catalogue, AlarmTypeNames) {
  EXPECT_EQ(alarmTypeName(0), "Min/Max");
  EXPECT_EQ(alarmTypeName(2), "Max/Max");
  EXPECT_TRUE(alarmTypeName(3).empty());
}

TEST(Cp1251, ConvertsBothWays) {
  constexpr auto text = cp1251("№ 5, 20 °C, Ёё");
  EXPECT_EQ(text.view(),
            "\xB9 5, 20 \xB0"
            "C, \xA8\xB8");
  EXPECT_EQ(cp1251ToUtf8(text.view()), "№ 5, 20 °C, Ёё");
  EXPECT_EQ(utf8ToCp1251("декабрь"), "\xE4\xE5\xEA\xE0\xE1\xF0\xFC");
  EXPECT_EQ(utf8ToCp1251("a\xD0"), "a?");  // cut-off sequence
  EXPECT_EQ(utf8ToCp1251("\x80x"), "?x");
}

}  // namespace
}  // namespace duz
