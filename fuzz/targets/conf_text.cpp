// duzevod-conf make's text. A text that is accepted must become a configuration file the module
// restores, holding exactly what the text said, and the tool must be able to show it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "conf_show.h"
#include "conf_text.h"
#include "harness/replies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace duz;
  std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
  conf::ConfigText parsed;
  std::string error;
  if (!conf::parseConfigText(text, "plant.txt", parsed, error)) {
    DUZ_FUZZ_CHECK(error.rfind("plant.txt:", 0) == 0);
    return 0;
  }
  ConfigContents& c = parsed.contents;
  if (!parsed.descriptionGiven) c.description = "made by hand";

  const DecodedConfig decoded = decodeConfigFile(encodeConfigFile(c));
  if (!decoded.valid()) std::fprintf(stderr, "%s\n", decoded.error.c_str());
  DUZ_FUZZ_CHECK(decoded.valid());
  const ConfigContents& d = decoded.contents;
  DUZ_FUZZ_CHECK(d.count == c.count);
  DUZ_FUZZ_CHECK(std::memcmp(d.records.data(), c.records.data(), sizeof(DeviceConfig) * c.count) == 0);
  DUZ_FUZZ_CHECK(d.portSettings == c.portSettings && d.portName == c.portName);
  DUZ_FUZZ_CHECK(d.description == c.description);
  DUZ_FUZZ_CHECK(!conf::describeConfig(d).empty());
  return 0;
}
