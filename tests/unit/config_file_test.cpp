#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fakes/fakes.h"
#include "link/link.h"
#include "model/cp1251.h"
#include "startup/config_file.h"

namespace duz::test {
namespace {

namespace fs = std::filesystem;

const std::string kDamagedText = utf8ToCp1251(
    "Внимание ! \nФайл конфигурации DUZEvod.sys поврежден\nили имеет неверный формат.\n"
    "Предыдущая конфигурация не может быть восстановлена.");

Bytes readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The on-disk form built straight from the format: contents, CRC low and high, all reversed, XOR 0xA7.
Bytes onDisk(Bytes plain) {
  const std::uint16_t crc = Crc16(static_cast<int>(plain.size()), plain.data());
  plain.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  plain.push_back(static_cast<std::uint8_t>(crc >> 8));
  Bytes file(plain.rbegin(), plain.rend());
  for (auto& b : file) b ^= 0xA7;
  return file;
}

void putInt(Bytes& out, std::int32_t v) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
}
void putText(Bytes& out, const std::string& text, std::int32_t length) {
  putInt(out, length);
  Bytes field(static_cast<std::size_t>(std::max(length, 0)), 0);
  std::copy_n(text.begin(), std::min(text.size(), field.size()), field.begin());
  out.insert(out.end(), field.begin(), field.end());
}

// Plain contents with n records whose bytes are (slot, offset) patterns, and the given lengths.
Bytes contents(int n, const std::string& settings, std::int32_t l1, const std::string& port, std::int32_t l2,
               const std::string& description, std::int32_t l3) {
  Bytes out;
  putInt(out, n);
  for (int r = 0; r < n; ++r)
    for (int b = 0; b < 104; ++b) out.push_back(static_cast<std::uint8_t>(r * 7 + b));
  putText(out, settings, l1);
  putText(out, port, l2);
  putText(out, description, l3);
  return out;
}

Bytes validContents(int n = 2) {
  return contents(n, "baud=9600 parity=N data=8 stop=2", 33, "COM1", 5, "x", 2);
}

class ConfigFile : public ::testing::Test {
 protected:
  FakeWorld world;
  Module module{world.platform()};
  ConfigPaths paths = configPaths(world.directory);

  bool temporaryExists() { return fs::exists(paths.temporary); }

  void fillModule(int n) {
    module.configuredCount = n;
    for (int s = 0; s < kSlots; ++s)
      for (int b = 0; b < 104; ++b)
        module.deviceConfig[s].cells[b / 8][b % 8] = static_cast<std::uint8_t>(s * 3 + b);
    copyField(module.settings.portSettings, "baud=19200 parity=E data=8 stop=1");
    copyField(module.settings.portName, "COM2");
  }

  // Marks the module so that any change by a refused load shows.
  void markModule() {
    for (auto& r : module.deviceConfig) std::memset(r.cells, 0x5A, sizeof r.cells);
    copyField(module.settings.portSettings, "old settings");
    copyField(module.settings.portName, "OLD");
    module.configDescription = "old description";
    module.currentDevice = 17;
  }
  void expectModuleUntouched() {
    for (auto& r : module.deviceConfig)
      for (auto& c : r.cells)
        for (auto b : c) ASSERT_EQ(b, 0x5A);
    EXPECT_STREQ(module.settings.portSettings, "old settings");
    EXPECT_STREQ(module.settings.portName, "OLD");
    EXPECT_EQ(module.configDescription, "old description");
    EXPECT_EQ(module.currentDevice, 17);
  }

  // Loads a file that must be refused as damaged, with the one box and no temporary file left.
  void expectDamaged(const Bytes& file) {
    writeAll(paths.config, file);
    markModule();
    world.op.boxes.clear();
    EXPECT_FALSE(LoadConfiguration(module, paths));
    ASSERT_EQ(world.op.boxes.size(), 1u);
    EXPECT_EQ(world.op.boxes[0].text, kDamagedText);
    EXPECT_EQ(world.op.boxes[0].caption, utf8ToCp1251("Инициализация устройств"));
    EXPECT_EQ(world.op.boxes[0].icon, BoxIcon::Warning);
    EXPECT_EQ(world.op.boxes[0].buttons, BoxButtons::Ok);
    EXPECT_FALSE(temporaryExists());
    expectModuleUntouched();
  }
};

TEST_F(ConfigFile, SaveThenLoadRestoresEverythingAndLeavesLaterRecordsAlone) {
  fillModule(3);
  SaveConfiguration(module, paths);
  EXPECT_TRUE(world.op.boxes.empty());
  EXPECT_FALSE(temporaryExists());
  EXPECT_EQ(module.configDescription,
            utf8ToCp1251("от 7-го декабрь (понедельник) 2026 года;\nсоздана в 0 чaс. 38 мин."));

  FakeWorld other;
  Module restored{other.platform()};
  for (auto& r : restored.deviceConfig) std::memset(r.cells, 0x5A, sizeof r.cells);
  ASSERT_TRUE(LoadConfiguration(restored, paths));
  EXPECT_TRUE(other.op.boxes.empty());
  EXPECT_FALSE(temporaryExists());
  EXPECT_EQ(restored.currentDevice, 3);
  EXPECT_EQ(std::memcmp(restored.deviceConfig.data(), module.deviceConfig.data(), 3 * 104), 0);
  for (int s = 3; s < kSlots; ++s)
    for (auto& c : restored.deviceConfig[s].cells)
      for (auto b : c) ASSERT_EQ(b, 0x5A) << "slot " << s;
  EXPECT_STREQ(restored.settings.portSettings, "baud=19200 parity=E data=8 stop=1");
  EXPECT_STREQ(restored.settings.portName, "COM2");
  // The stored copy carries the genitive month name.
  EXPECT_EQ(restored.configDescription,
            utf8ToCp1251("от 7-го декабря (понедельник) 2026 года;\nсоздана в 0 чaс. 38 мин."));
}

TEST_F(ConfigFile, KnownFileBytesAreExactlyTheFormat) {
  fillModule(1);
  copyField(module.settings.portSettings, "baud=9600 parity=N data=8 stop=2");
  copyField(module.settings.portName, "COM1");
  world.locale.time = {2027, 3, 9, 2, 14, 5};  // Tuesday 9 March 2027, 14:05: no ь anywhere
  SaveConfiguration(module, paths);

  const std::string description =
      utf8ToCp1251("от 9-го март (вторник) 2027 года;\nсоздана в 14 чaс. 05 мин.");
  EXPECT_EQ(module.configDescription, description);
  Bytes plain;
  putInt(plain, 1);
  for (int b = 0; b < 104; ++b) plain.push_back(static_cast<std::uint8_t>(b));
  putText(plain, "baud=9600 parity=N data=8 stop=2", 33);
  putText(plain, "COM1", 5);
  putText(plain, description, static_cast<std::int32_t>(description.size() + 1));
  ASSERT_EQ(plain.size(), 16 + 104 + 33 + 5 + description.size() + 1);

  const Bytes file = readAll(paths.config);
  ASSERT_EQ(file.size(), plain.size() + 2);
  const std::uint16_t crc = Crc16(static_cast<int>(plain.size()), plain.data());
  EXPECT_EQ(file[0], (crc >> 8) ^ 0xA7);
  EXPECT_EQ(file[1], (crc & 0xFF) ^ 0xA7);
  for (std::size_t k = 0; k < plain.size(); ++k)
    ASSERT_EQ(file[2 + k], plain[plain.size() - 1 - k] ^ 0xA7) << "offset " << 2 + k;
}

TEST_F(ConfigFile, OnlyTheFirstSoftSignOfTheWholeTextIsReplaced) {
  fillModule(1);
  world.locale.time = {2026, 5, 4, 1, 9, 30};  // май has no ь: the weekday's is replaced
  SaveConfiguration(module, paths);
  FakeWorld other;
  Module restored{other.platform()};
  ASSERT_TRUE(LoadConfiguration(restored, paths));
  EXPECT_EQ(restored.configDescription,
            utf8ToCp1251("от 4-го май (понеделяник) 2026 года;\nсоздана в 9 чaс. 30 мин."));

  world.locale.time = {2026, 2, 1, 0, 23, 59};  // февраль, воскресенье: only the month changes
  SaveConfiguration(module, paths);
  ASSERT_TRUE(LoadConfiguration(restored, paths));
  EXPECT_EQ(restored.configDescription,
            utf8ToCp1251("от 1-го февраля (воскресенье) 2026 года;\nсоздана в 23 чaс. 59 мин."));
}

TEST_F(ConfigFile, AHandBuiltFileIsRestored) {
  writeAll(paths.config,
           onDisk(contents(2, "baud=57600 parity=O data=8 stop=1", 34, "/dev/ttyUSB0", 13, "created", 8)));
  ASSERT_TRUE(LoadConfiguration(module, paths));
  EXPECT_EQ(module.currentDevice, 2);
  EXPECT_EQ(module.deviceConfig[1].cells[0][0], 7);
  EXPECT_EQ(module.deviceConfig[1].cells[12][7], 7 + 103);
  EXPECT_STREQ(module.settings.portSettings, "baud=57600 parity=O data=8 stop=1");
  EXPECT_STREQ(module.settings.portName, "/dev/ttyUSB0");
  EXPECT_EQ(module.configDescription, "created");
  EXPECT_FALSE(temporaryExists());
}

TEST_F(ConfigFile, MissingFileIsNotRestoredAndSaysNothing) {
  markModule();
  EXPECT_FALSE(LoadConfiguration(module, paths));
  EXPECT_TRUE(world.op.boxes.empty());
  expectModuleUntouched();
}

TEST_F(ConfigFile, AnySingleChangedByteMakesTheFileDamaged) {
  fillModule(1);
  SaveConfiguration(module, paths);
  const Bytes good = readAll(paths.config);
  for (std::size_t i = 0; i < good.size(); ++i) {
    Bytes bad = good;
    bad[i] ^= static_cast<std::uint8_t>(1u << (i % 8));
    SCOPED_TRACE(i);
    expectDamaged(bad);
  }
}

TEST_F(ConfigFile, CountsAndLengthsOutsideTheirBoundsMakeTheFileDamaged) {
  const std::string s = "baud=9600 parity=N data=8 stop=2";
  expectDamaged(onDisk(contents(0, s, 33, "COM1", 5, "x", 2)));
  expectDamaged(onDisk(contents(32, s, 33, "COM1", 5, "x", 2)));
  expectDamaged(onDisk(contents(-1, s, 33, "COM1", 5, "x", 2)));
  expectDamaged(onDisk(contents(1, s, 0, "COM1", 5, "x", 2)));
  expectDamaged(onDisk(contents(1, s, 129, "COM1", 5, "x", 2)));
  expectDamaged(onDisk(contents(1, s, 33, "COM1", 0, "x", 2)));
  expectDamaged(onDisk(contents(1, s, 33, "COM1", 129, "x", 2)));
  expectDamaged(onDisk(contents(1, s, 33, "COM1", 5, "x", 0)));
  expectDamaged(onDisk(contents(1, s, 33, "COM1", 5, "x", 257)));
  // Lengths that do not add up to the file's size, either way.
  Bytes longer = validContents();
  longer.push_back(0);
  expectDamaged(onDisk(longer));
  Bytes shorter = validContents();
  shorter.pop_back();
  expectDamaged(onDisk(shorter));
  // A record count the file does not hold.
  Bytes claimsMore = validContents(1);
  claimsMore[0] = 2;
  expectDamaged(onDisk(claimsMore));
  // Too short for the checksum, nothing at all, and longer than any configuration.
  expectDamaged({0x12});
  expectDamaged({});
  expectDamaged(onDisk({0xA7, 0x00}));
  Bytes huge = contents(31, s, 128, "COM1", 128, "x", 256);
  huge.push_back(0);
  expectDamaged(onDisk(huge));
}

TEST_F(ConfigFile, LargestFileIsAcceptedAndTextsAreAlwaysTerminated) {
  const std::string full(300, 'A');  // fills every field to its last byte, no NUL in the file
  const Bytes file = onDisk(contents(31, full, 128, full, 128, full, 256));
  ASSERT_EQ(file.size(), kConfigMaxFileSize);
  writeAll(paths.config, file);
  ASSERT_TRUE(LoadConfiguration(module, paths));
  EXPECT_EQ(module.currentDevice, 31);
  EXPECT_EQ(std::string(module.settings.portSettings), std::string(127, 'A'));
  EXPECT_EQ(std::string(module.settings.portName), std::string(127, 'A'));
  EXPECT_EQ(module.configDescription, std::string(256, 'A'));
}

TEST_F(ConfigFile, TemporaryFileThatCannotBeCreatedIsReported) {
  fillModule(1);
  SaveConfiguration(module, paths);
  fs::create_directory(paths.temporary);  // the name is taken by a directory
  markModule();
  EXPECT_FALSE(LoadConfiguration(module, paths));
  ASSERT_EQ(world.op.boxes.size(), 1u);
  EXPECT_EQ(world.op.boxes[0].text, utf8ToCp1251("Внимание ! \nНевозможно создать временный файл. \n"
                                                 "Предыдущая конфигурация не может быть восстановлена."));
  EXPECT_EQ(world.op.boxes[0].icon, BoxIcon::Warning);
  expectModuleUntouched();
}

TEST_F(ConfigFile, AStuckTemporaryNameDoesNotStopASave) {
  fs::create_directory(paths.temporary);
  writeAll(paths.config + ".new", Bytes{1, 2, 3});  // left by an interrupted save
  fillModule(3);
  SaveConfiguration(module, paths);
  EXPECT_TRUE(world.op.boxes.empty());
  EXPECT_FALSE(fs::exists(paths.config + ".new"));
  fs::remove(paths.temporary);
  markModule();
  ASSERT_TRUE(LoadConfiguration(module, paths));
  EXPECT_EQ(module.currentDevice, 3);
}

TEST_F(ConfigFile, AFailedSaveLeavesTheOldFileAsItWas) {
  fillModule(2);
  SaveConfiguration(module, paths);
  const Bytes before = readAll(paths.config);

  fillModule(5);
  world.directory.failReplace = true;
  world.locale.time.minute = 59;
  SaveConfiguration(module, paths);
  ASSERT_EQ(world.op.boxes.size(), 1u);
  EXPECT_EQ(world.op.boxes[0].text, utf8ToCp1251("Невозможно создать файл конфигурации."));
  EXPECT_EQ(world.op.boxes[0].buttons, BoxButtons::Ok);
  EXPECT_EQ(readAll(paths.config), before);
  EXPECT_FALSE(fs::exists(paths.config + ".new"));

  // A directory that cannot take files at all.
  ConfigPaths nowhere{"/nonexistent-dir/DUZEvod.sys", "/nonexistent-dir/~DUZEvod.sys"};
  SaveConfiguration(module, nowhere);
  EXPECT_EQ(world.op.boxes.size(), 2u);
}

TEST_F(ConfigFile, ShortWritesStillSaveTheWholeFile) {
  fillModule(3);
  SaveConfiguration(module, paths);
  const Bytes whole = readAll(paths.config);
  world.files.writeChunk = 7;
  SaveConfiguration(module, paths);
  EXPECT_TRUE(world.op.boxes.empty());
  EXPECT_EQ(readAll(paths.config), whole);
}

TEST_F(ConfigFile, AFullDiskOrALostCloseNeverDamagesTheSavedFile) {
  fillModule(2);
  SaveConfiguration(module, paths);
  const Bytes before = readAll(paths.config);

  fillModule(5);
  world.files.diskSpace = 100;  // full part of the way through
  SaveConfiguration(module, paths);
  world.files.diskSpace.reset();
  world.files.failClose = true;  // every byte written, but they never reach the disk
  SaveConfiguration(module, paths);
  ASSERT_EQ(world.op.boxes.size(), 2u);
  EXPECT_EQ(world.op.boxes[1].text, utf8ToCp1251("Невозможно создать файл конфигурации."));
  EXPECT_EQ(readAll(paths.config), before);
  EXPECT_FALSE(fs::exists(paths.config + ".new"));

  // A full disk while restoring: the plain copy cannot be made; the file and the module stay as they were.
  world.files.failClose = false;
  world.files.diskSpace = 0;
  markModule();
  EXPECT_FALSE(LoadConfiguration(module, paths));
  EXPECT_EQ(world.op.boxes.size(), 3u);
  EXPECT_EQ(readAll(paths.config), before);
  EXPECT_FALSE(fs::exists(paths.temporary));
  EXPECT_EQ(module.currentDevice, 17);

  // With room again the file there is the old one, whole.
  world.files.diskSpace.reset();
  ASSERT_TRUE(LoadConfiguration(module, paths));
  EXPECT_EQ(module.currentDevice, 2);
}

TEST_F(ConfigFile, NothingIsSavedWithoutDevices) {
  fillModule(0);
  SaveConfiguration(module, paths);
  EXPECT_FALSE(fs::exists(paths.config));
  EXPECT_TRUE(world.op.boxes.empty());
}

}  // namespace
}  // namespace duz::test
