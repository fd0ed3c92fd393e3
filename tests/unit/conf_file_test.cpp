// Decoding and encoding the configuration file as the configuration tool uses them: every refusal says
// what is wrong and where.
#include <gtest/gtest.h>

#include <cstring>

#include "link/link.h"
#include "startup/config_file.h"

namespace duz::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

void putInt(Bytes& out, std::int32_t v) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
}

void putText(Bytes& out, const std::string& text, std::int32_t length) {
  putInt(out, length);
  for (std::int32_t i = 0; i < length; ++i)
    out.push_back(i < static_cast<std::int32_t>(text.size()) ? static_cast<std::uint8_t>(text[i]) : 0);
}

// Plain contents with checksum, reversed and masked, as the module stores them.
Bytes stored(Bytes plain) {
  const std::uint16_t crc = Crc16(static_cast<int>(plain.size()), plain.data());
  plain.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  plain.push_back(static_cast<std::uint8_t>(crc >> 8));
  Bytes out(plain.rbegin(), plain.rend());
  for (auto& b : out) b ^= 0xA7;
  return out;
}

Bytes plain(std::int32_t count, int records, std::int32_t settingsLength = 33, std::int32_t portLength = 5) {
  // The count, then the records (built whole: GCC 12 at -O3 misjudges a vector grown by resize here).
  Bytes out(4 + 104 * static_cast<std::size_t>(records), 0x11);
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(count) >> (8 * i));
  putText(out, "baud=9600 parity=N data=8 stop=2", settingsLength);
  putText(out, "COM1", portLength);
  putText(out, "x", 2);
  return out;
}

TEST(DecodeConfigFile, EncodedContentsDecodeToTheSame) {
  ConfigContents c;
  c.count = 2;
  std::memset(c.records.data(), 0x3C, 2 * sizeof(DeviceConfig));
  c.portSettings = "baud=19200 parity=E data=8 stop=1";
  c.portName = "/dev/ttyUSB0";
  c.description = "made by hand";
  const Bytes file = encodeConfigFile(c);
  // 4 + 2 x 104 + (4 + 34) + (4 + 13) + (4 + 13) contents bytes and the checksum.
  EXPECT_EQ(file.size(), 4u + 208 + 38 + 17 + 17 + 2);
  const DecodedConfig d = decodeConfigFile(file);
  ASSERT_TRUE(d.valid()) << d.error;
  EXPECT_TRUE(d.checksumValid);
  EXPECT_EQ(d.contents.count, 2);
  EXPECT_EQ(std::memcmp(d.contents.records.data(), c.records.data(), 2 * sizeof(DeviceConfig)), 0);
  EXPECT_EQ(d.contents.portSettings, c.portSettings);
  EXPECT_EQ(d.contents.portName, c.portName);
  EXPECT_EQ(d.contents.description, c.description);
}

TEST(DecodeConfigFile, SaysWhatIsWrongAndWhere) {
  const Bytes valid = plain(1, 1);  // 4 + 104 + 37 + 9 + 6 = 160 contents bytes
  Bytes flipped = stored(valid);
  flipped[40] ^= 0x01;
  Bytes leftover = valid;
  leftover.push_back(0);
  const struct {
    Bytes file;
    std::string message;
  } cases[] = {
      {{0x12}, "the file has 1 bytes: too short"},
      {Bytes(kConfigMaxFileSize + 1, 0), "more than a configuration can hold"},
      {flipped, "checksum mismatch: file bytes 0 and 1 hold 0x"},
      {stored(plain(0, 0)), "the device count 0 at contents byte 0 (file byte 57) is outside 1..31"},
      {stored(plain(32, 1)), "the device count 32 at contents byte 0"},
      {stored(plain(2, 1)),
       "the contents end inside device record 2 of 2: 104 bytes needed at contents byte 108 (file byte 53), "
       "52 left"},
      {stored(plain(1, 1, 129)),
       "the port settings length 129 at contents byte 108 (file byte 149) is outside 1..128"},
      {stored(plain(1, 1, 33, 0)), "the port name length 0 at contents byte 145"},
      {stored(leftover), "1 bytes follow the description, from contents byte 160 (file byte 2)"},
      {stored({1, 0, 0}), "the contents end before the device count at contents byte 0"},
  };
  for (const auto& c : cases) {
    const DecodedConfig d = decodeConfigFile(c.file);
    EXPECT_FALSE(d.valid());
    EXPECT_NE(d.error.find(c.message), std::string::npos) << d.error << "\nwanted: " << c.message;
  }
  EXPECT_TRUE(decodeConfigFile(stored(valid)).valid());
}

TEST(StoredDescription, TurnsOnlyTheFirstSoftSign) {
  EXPECT_EQ(storedDescription("\xE4\xE5\xEA\xE0\xE1\xF0\xFC (\xEF\xFF\xF2\xED\xE8\xF6\xE0) \xFC"),
            "\xE4\xE5\xEA\xE0\xE1\xF0\xFF (\xEF\xFF\xF2\xED\xE8\xF6\xE0) \xFC");
  EXPECT_EQ(storedDescription("no soft sign"), "no soft sign");
}

}  // namespace
}  // namespace duz::test
