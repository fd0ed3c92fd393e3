// The configuration file DUZEvod.sys beside the host: the last searched device table, the port settings
// and name, and when the configuration was made. Stored with a CRC-16, byte-reversed and XOR-masked.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "model/tables.h"

namespace duz {

class Module;
class HostDirectory;
class Locale;

// Largest valid contents: 31 records, 128-byte settings text and port name, 256-byte description.
constexpr std::size_t kConfigMaxPlainSize = 16 + 104 * 31 + 128 + 128 + 256;
constexpr std::size_t kConfigMaxFileSize = kConfigMaxPlainSize + 2;  // with the checksum

struct ConfigPaths {
  std::string config;     // DUZEvod.sys
  std::string temporary;  // ~DUZEvod.sys
};
// Both files live in the host's directory.
ConfigPaths configPaths(HostDirectory& directory);

// What a configuration file holds. Texts are CP1251 without their NUL.
struct ConfigContents {
  std::int32_t count = 0;  // devices 1..31
  std::array<DeviceConfig, kSlots> records{};
  std::string portSettings;  // at most 127 bytes
  std::string portName;      // at most 127 bytes
  std::string description;   // at most 255 bytes, as stored
};

// A file's bytes decoded. `error` (empty when valid) says what is wrong and where: contents offsets are
// those of the plain contents, file offsets those of the stored (reversed, masked) bytes.
struct DecodedConfig {
  bool checksumValid = false;
  std::uint16_t storedChecksum = 0;
  std::uint16_t computedChecksum = 0;
  std::string error;
  ConfigContents contents;  // filled when the file is valid
  bool valid() const { return error.empty(); }
};
DecodedConfig decodeConfigFile(const std::vector<std::uint8_t>& file);

// The stored bytes of a configuration: contents, checksum, reversed and masked. The contents' texts
// must fit their fields (checked by the caller).
std::vector<std::uint8_t> encodeConfigFile(const ConfigContents& contents);

// The copy of a description that goes into the file: its first 'ь' becomes 'я' (nominative month names
// turn genitive).
std::string storedDescription(std::string description);

// Restores devices 0..n-1, portSettings, portName and configDescription and sets currentDevice to n.
// False when there is no usable file (after telling the operator, unless the file is simply missing);
// the module is then left exactly as it was.
bool LoadConfiguration(Module& module, const ConfigPaths& paths);

// Writes the configuredCount devices, the port settings and name and a fresh description. The old file
// stays intact until the new one (DUZEvod.sys.new) is complete and takes its place; a failure is
// reported to the operator.
void SaveConfiguration(Module& module, const ConfigPaths& paths);

// The configuration's creation text for the local time now, CP1251, at most 255 bytes:
// "от 7-го декабрь (понедельник) 2026 года;\nсоздана в 0 чaс. 38 мин."
std::string describeCreation(Locale& locale);

}  // namespace duz
