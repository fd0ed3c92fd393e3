// Device tables shared with the host. The status table and the handle records are a binary interface:
// the host reads them directly, so they are packed and little-endian. On 32-bit targets every size is
// exact; on 64-bit builds the address fields are pointer-sized and everything else keeps its order.
// This header is also used by the host stand-in and the host-library stand-in, so it depends on nothing
// but the standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace duz {

constexpr int kSlots = 31;        // device slots; also the highest bus address searched
constexpr int kTagsPerKind = 60;  // handle records per slot and kind
constexpr int kConfigCells = 13;
constexpr int kCellSize = 8;

// Cell indexes of a DeviceConfig record (what a cell holds depends on the model).
namespace cell {
constexpr int kBusAddress = 0;
constexpr int kModelName = 1;
constexpr int kSlotModule0 = 2;  // controller: slotModule of slots 0..7 in cells 2..9
constexpr int kIdentBytes1 = 2;  // identBytes 1..3 in cells 2..4
constexpr int kControllerVariant = 10;
constexpr int kAlarmVariant = 5;
constexpr int kParamBytes1 = 5;  // paramBytes 1..7 in cells 5..11
constexpr int kAlarmType = 5;
constexpr int kSetpoint2Low = 6;
constexpr int kSetpoint2High = 7;
constexpr int kSetpoint1Low = 8;
constexpr int kSetpoint1High = 9;
constexpr int kSensorType = 10;  // also the current loop's conversion type
constexpr int kRangeLow = 11;
constexpr int kRangeHigh = 12;
}  // namespace cell

// One device slot's configuration: 13 cells of 8 bytes, stored byte for byte in the configuration file.
struct DeviceConfig {
  std::uint8_t cells[kConfigCells][kCellSize];

  std::uint8_t& byte0(int c) { return cells[c][0]; }
  std::uint8_t byte0(int c) const { return cells[c][0]; }
  char* text(int c) { return reinterpret_cast<char*>(cells[c]); }
  const char* text(int c) const { return reinterpret_cast<const char*>(cells[c]); }

  std::uint8_t busAddress() const { return cells[cell::kBusAddress][0]; }
  const char* modelName() const { return text(cell::kModelName); }
  // Text of a cell read safely: at most 8 bytes, even when the cell holds no NUL.
  std::size_t textLength(int c) const { return strnlen(text(c), kCellSize); }
};
static_assert(sizeof(DeviceConfig) == 104);

#pragma pack(push, 1)
struct AnalogTagHandle {
  char* name;  // owned heap copy, null while the tag has no name
  float value;
  std::uint32_t quality;
  std::uint64_t timestamp;
};
struct BitTagHandle {
  char* name;
  std::uint8_t value;
  std::uint32_t quality;
  std::uint64_t timestamp;
};
struct IntTagHandle {
  char* name;
  std::int32_t value;
  std::uint32_t quality;
  std::uint64_t timestamp;
};
struct DeviceStatusRecord {
  std::uint8_t online;
  std::uint16_t analogCount;
  AnalogTagHandle* analogTags;
  std::uint16_t bitCount;
  BitTagHandle* bitTags;
  std::uint16_t intCount;
  IntTagHandle* intTags;
  std::uint16_t fixedWord;
  char deviceName[192];
};
#pragma pack(pop)

constexpr std::size_t kPtr = sizeof(void*);
static_assert(sizeof(AnalogTagHandle) == kPtr + 16);
static_assert(sizeof(BitTagHandle) == kPtr + 13);
static_assert(sizeof(IntTagHandle) == kPtr + 16);
static_assert(sizeof(DeviceStatusRecord) == 1 + 2 + kPtr + 2 + kPtr + 2 + kPtr + 2 + 192);
static_assert(offsetof(DeviceStatusRecord, fixedWord) == 7 + 3 * kPtr);
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(AnalogTagHandle) == 20 && sizeof(BitTagHandle) == 17 && sizeof(IntTagHandle) == 20);
static_assert(sizeof(DeviceStatusRecord) == 213);
static_assert(offsetof(DeviceStatusRecord, analogTags) == 3 && offsetof(DeviceStatusRecord, bitTags) == 9 &&
              offsetof(DeviceStatusRecord, intTags) == 15 && offsetof(DeviceStatusRecord, deviceName) == 21);
static_assert(offsetof(BitTagHandle, quality) == 5 && offsetof(BitTagHandle, timestamp) == 9);
static_assert(offsetof(AnalogTagHandle, timestamp) == 12);
#endif

// Quality words passed with every publication: bit 31 set, an OPC DA quality code in the low byte.
enum TagQuality : std::uint32_t {
  QualityGood = 0x800000C0u,
  QualityDeviceFailure = 0x8000000Cu,
  QualitySensorFailure = 0x80000010u,
  QualitySensorNotAccurate = 0x80000050u,
  QualityConfigError = 0x80000004u,
};

// Settings strings: filled by GiveString or by restoring the configuration file. portName is wider
// than the five bytes the file format was designed around so that COM10+ and device paths fit.
struct Settings {
  char portSettings[128];
  char portName[128];
  char searchLimitText[3];
  char dialogAction[128];
};

// Copies text into a fixed field: cut to fit, always NUL-terminated, nothing written past the field.
template <std::size_t N>
void copyField(char (&field)[N], const char* text) {
  const std::size_t n = text ? strnlen(text, N - 1) : 0;
  if (n) std::memcpy(field, text, n);
  field[n] = '\0';
}

}  // namespace duz
