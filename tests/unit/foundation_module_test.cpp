// What the library shell relies on: the status table's address, tag names owned by their records,
// GiveString's bounded copies, and a load that can fail without leaving the host without a table.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "fakes/fakes.h"
#include "host/module.h"
#include "host/shell/lifecycle.h"

namespace duz::test {
namespace {

class Foundation : public ::testing::Test {
 protected:
  FakeWorld world;
  std::unique_ptr<Module> module = std::make_unique<Module>(world.platform());
};

TEST_F(Foundation, StatusTableAddressNeverChanges) {
  DeviceStatusRecord* first = module->GetDataForDUZEvoder();
  EXPECT_EQ(first, module->deviceStatusTable.data());
  EXPECT_EQ(module->GetDataForDUZEvoder(), first);
  EXPECT_EQ(first[0].online, 1);
  EXPECT_STREQ(first[0].deviceName, "Device1");
}

TEST_F(Foundation, TagNameOwnsACopyAndTouchesNothingElse) {
  AnalogTagHandle& h = module->analogHandles.at(3, 7);
  h.value = 1.5f;
  h.quality = QualityGood;
  h.timestamp = 42;

  tagName(h, nullptr);
  EXPECT_TRUE(h.name == nullptr);

  char text[] = "ORTA: (1).Value";
  tagName(h, text);
  const char* copy = h.name;
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, text);
  text[0] = 'X';  // the caller's buffer may change or go away
  EXPECT_STREQ(h.name, "ORTA: (1).Value");

  tagName(h, "second");  // the first copy is released (AddressSanitizer would report a leak)
  EXPECT_STREQ(h.name, "second");
  tagName(h, nullptr);
  EXPECT_TRUE(h.name == nullptr);

  EXPECT_EQ(float{h.value}, 1.5f);
  EXPECT_EQ(std::uint32_t{h.quality}, QualityGood);
  EXPECT_EQ(std::uint64_t{h.timestamp}, 42u);
}

TEST_F(Foundation, DestroyingTheModuleReleasesEveryName) {
  // Names on all three kinds, first and last records included; the leak checker of the sanitizer
  // build fails the run if any survives the module.
  for (int s : {0, kSlots - 1}) {
    for (int i : {0, kTagsPerKind - 1}) {
      tagName(module->analogHandles.at(s, i), "analog");
      tagName(module->bitHandles.at(s, i), "bit");
      tagName(module->intHandles.at(s, i), "int");
    }
  }
  module.reset();
  SUCCEED();
}

TEST_F(Foundation, GiveStringCopiesTheFourTexts) {
  module->GiveString("baud=9600 parity=E data=8 stop=2", "COM3", "12", "Abort");
  EXPECT_STREQ(module->settings.portSettings, "baud=9600 parity=E data=8 stop=2");
  EXPECT_STREQ(module->settings.portName, "COM3");
  EXPECT_STREQ(module->settings.searchLimitText, "12");
  EXPECT_STREQ(module->settings.dialogAction, "Abort");

  // A later, shorter text leaves no trace of the longer one before it.
  module->GiveString("baud=19200", "/dev/ttyUSB0", "7", "Replay");
  EXPECT_STREQ(module->settings.portSettings, "baud=19200");
  EXPECT_STREQ(module->settings.portName, "/dev/ttyUSB0");
  EXPECT_STREQ(module->settings.searchLimitText, "7");
  EXPECT_STREQ(module->settings.dialogAction, "Replay");

  module->GiveString(nullptr, nullptr, nullptr, nullptr);
  EXPECT_STREQ(module->settings.portSettings, "");
  EXPECT_STREQ(module->settings.dialogAction, "");
}

TEST_F(Foundation, GiveStringCutsOverlongTextsToTheirFields) {
  const std::string longText(300, 'x');
  module->GiveString(longText.c_str(), longText.c_str(), "123", longText.c_str());
  EXPECT_EQ(std::string(module->settings.portSettings), std::string(127, 'x'));
  EXPECT_EQ(std::string(module->settings.portName), std::string(127, 'x'));
  EXPECT_EQ(std::string(module->settings.searchLimitText), "12");
  EXPECT_EQ(std::string(module->settings.dialogAction), std::string(127, 'x'));
}

TEST(CopyField, NeverWritesPastTheField) {
  struct Guarded {
    char field[3];
    char guard[16];
  } g;
  std::memset(&g, 0x5A, sizeof g);
  copyField(g.field, "31 and more");
  EXPECT_STREQ(g.field, "31");
  for (char c : g.guard) ASSERT_EQ(c, 0x5A);

  copyField(g.field, "7");
  EXPECT_STREQ(g.field, "7");
  copyField(g.field, "");
  EXPECT_STREQ(g.field, "");
  for (char c : g.guard) ASSERT_EQ(c, 0x5A);
}

void expectFallbackTable(DeviceStatusRecord* table) {
  ASSERT_NE(table, nullptr);
  for (int s = 0; s < kSlots; ++s) {
    const DeviceStatusRecord& r = table[s];
    EXPECT_EQ(r.online, 1);
    EXPECT_EQ(r.analogCount + r.bitCount + r.intCount, 0);
    EXPECT_EQ(int{r.fixedWord}, 3);
    EXPECT_EQ(std::string(r.deviceName), "Device" + std::to_string(s + 1));
    // Row addresses stay valid even without a module.
    const AnalogTagHandle* analogRow = r.analogTags;
    const BitTagHandle* bitRow = r.bitTags;
    const IntTagHandle* intRow = r.intTags;
    ASSERT_TRUE(analogRow && bitRow && intRow) << s;
    EXPECT_TRUE(!analogRow[kTagsPerKind - 1].name && !bitRow[kTagsPerKind - 1].name &&
                !intRow[kTagsPerKind - 1].name);
  }
}

TEST(ShellLifecycle, FailedLoadLeavesAValidTableWithoutTags) {
  auto throwing = []() -> std::unique_ptr<shell::LoadedModule> { throw std::bad_alloc(); };
  auto none = []() -> std::unique_ptr<shell::LoadedModule> { return nullptr; };
  auto incomplete = []() { return std::make_unique<shell::LoadedModule>(); };  // no platform parts

  for (shell::PartsMaker maker : {+throwing, +none, +incomplete}) {
    std::unique_ptr<shell::LoadedModule> loaded = shell::load(maker);
    EXPECT_EQ(loaded, nullptr);
    DeviceStatusRecord* table = shell::statusTable(loaded.get());
    expectFallbackTable(table);
    EXPECT_EQ(shell::statusTable(loaded.get()), table);  // same address on every call
    shell::unload(loaded, true);                         // nothing to undo
  }
}

std::unique_ptr<shell::LoadedModule> fakeParts() {
  auto parts = std::make_unique<shell::LoadedModule>();
  auto clock = std::make_unique<FakeClock>();
  parts->ports = std::make_unique<FakeSerialPorts>(*clock);
  parts->clock = std::move(clock);
  parts->op = std::make_unique<FakeOperator>();
  parts->locale = std::make_unique<FakeLocale>();
  parts->directory = std::make_unique<TempHostDirectory>();
  parts->files = std::make_unique<FaultyFiles>();
  parts->host = std::make_unique<FakeHostLibrary>();
  return parts;
}

TEST(ShellLifecycle, LoadBuildsTheModuleAndRunsItsStartUp) {
  static int startups = 0;
  std::unique_ptr<shell::LoadedModule> loaded = shell::load(fakeParts, [](Module&) { ++startups; });
  ASSERT_TRUE(loaded && loaded->module);
  EXPECT_EQ(startups, 1);
  EXPECT_EQ(shell::statusTable(loaded.get()), loaded->module->deviceStatusTable.data());
  tagName(loaded->module->intHandles.at(30, 59), "released at unload");
  shell::unload(loaded, true);
  EXPECT_EQ(loaded, nullptr);
}

TEST(ShellLifecycle, FailedStartUpKeepsTheModuleAndItsTable) {
  // What the start-up finished stays; the host may already hold the table's address.
  std::unique_ptr<shell::LoadedModule> loaded = shell::load(fakeParts, [](Module& m) {
    m.deviceStatusTable[0].intCount = 1;
    throw std::runtime_error("start-up failed");
  });
  ASSERT_TRUE(loaded && loaded->module);
  DeviceStatusRecord* table = shell::statusTable(loaded.get());
  EXPECT_EQ(table, loaded->module->deviceStatusTable.data());
  EXPECT_EQ(int{table[0].intCount}, 1);
  shell::unload(loaded, false);
}

}  // namespace
}  // namespace duz::test
