// The configuration file as the module loads it: the fuzzer's bytes are DUZEvod.sys in the host's
// directory. The first byte says how the rest becomes the file: even, it is the file as stored; odd, it
// is the plain contents, stored as the module stores them (checksum, reversed, masked), so that arbitrary
// contents reach the parser past the checksum. A file the module takes must be exactly what the decoder
// accepts; what it restored is then shown in the dialog device by device, named, polled and stored again, as
// the start-up goes on with it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "harness/scenarios.h"
#include "link/link.h"
#include "startup/config_file.h"
#include "startup/registration.h"
#include "ui/dialog.h"

namespace {

using namespace duz;
using namespace duz::fuzz;

bool exists(const std::string& path) {
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fclose(f);
    return true;
  }
  return false;
}

// The stored form of plain contents: the CRC (low, high) appended, everything reversed and masked.
Bytes sealed(Bytes plain) {
  const std::uint16_t crc = Crc16(static_cast<int>(plain.size()), plain.data());
  plain.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  plain.push_back(static_cast<std::uint8_t>(crc >> 8));
  Bytes file(plain.rbegin(), plain.rend());
  for (auto& b : file) b ^= 0xA7;
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Bytes rest(data + 1, data + size);
  const Bytes file = (data[0] & 1) ? sealed(rest) : rest;
  const DecodedConfig decoded = decodeConfigFile(file);

  test::FakeWorld world;
  const ConfigPaths paths = configPaths(world.directory);
  if (std::FILE* f = std::fopen(paths.config.c_str(), "wb")) {
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
  }
  auto module = std::make_unique<Module>(world.platform());
  const bool restored = LoadConfiguration(*module, paths);

  // Restored exactly when the decoder calls the file valid, and then as the decoder read it.
  DUZ_FUZZ_CHECK(restored == decoded.valid());
  DUZ_FUZZ_CHECK(!exists(paths.temporary));
  // A refusal is said to the operator, and leaves the module as it was.
  DUZ_FUZZ_CHECK(world.op.boxes.size() == (restored ? 0u : 1u));
  if (!restored) {
    DUZ_FUZZ_CHECK(module->currentDevice == 0 && module->configDescription.empty());
    return 0;
  }
  const ConfigContents& c = decoded.contents;
  DUZ_FUZZ_CHECK(module->currentDevice == c.count);
  DUZ_FUZZ_CHECK(std::memcmp(module->deviceConfig.data(), c.records.data(), sizeof(DeviceConfig) * c.count) ==
                 0);
  DUZ_FUZZ_CHECK(module->settings.portName == c.portName);
  DUZ_FUZZ_CHECK(module->configDescription == c.description);

  // The dialog describes every device; the tags are named.
  TForm2 form(world.op, world.ports, nullptr);
  form.DeviceCount = module->currentDevice;
  form.Devices = module->deviceConfig;
  form.show();
  for (int row = 1; row <= form.DeviceCount; ++row) form.StringGrid1SelectCell(1, row);
  module->configuredCount = module->currentDevice;
  RegisterTags(*module);

  // Saved again by the module, it restores the same devices, settings and port.
  SaveConfiguration(*module, paths);
  auto again = std::make_unique<Module>(world.platform());
  DUZ_FUZZ_CHECK(LoadConfiguration(*again, paths));
  DUZ_FUZZ_CHECK(again->currentDevice == c.count);
  DUZ_FUZZ_CHECK(std::memcmp(again->deviceConfig.data(), c.records.data(), sizeof(DeviceConfig) * c.count) ==
                 0);
  DUZ_FUZZ_CHECK(std::strcmp(again->settings.portSettings, module->settings.portSettings) == 0);
  DUZ_FUZZ_CHECK(std::strcmp(again->settings.portName, module->settings.portName) == 0);

  // Polled once, every device answering with a well-formed reply made of the file's own bytes.
  std::size_t at = 0;
  pollOnce(c.records, c.count, [&](const Bytes& request) {
    Bytes reply{request[0], request[1], request[1] == 71 ? std::uint8_t{216} : std::uint8_t{4}};
    for (int i = 0; i < reply[2]; ++i) reply.push_back(file.empty() ? 0 : file[at++ % file.size()]);
    reply.resize(reply.size() + 2);
    putCrc(reply.data(), static_cast<int>(reply.size()));
    return reply;
  });
  return 0;
}
