// Command line of duzevod-host.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace duz::host {

// --write SLOT:BIT=VALUE@SECONDS: SetBitTagValue((SLOT << 16) | BIT, VALUE) at SECONDS after the load.
struct ScheduledWrite {
  std::uint32_t slot = 0;
  std::uint32_t bit = 0;
  std::uint32_t value = 0;
  std::uint64_t atMs = 0;
};

struct Options {
  std::string modulePath;
  bool json = false;
  std::optional<std::uint64_t> runMs;  // --seconds; none: until interrupted
  std::uint64_t intervalMs = 1000;
  std::vector<ScheduledWrite> writes;  // in time order
  bool help = false;
};

// Parses argv; on a bad command line returns nothing and sets `error` to a one-line reason.
std::optional<Options> parseOptions(int argc, char** argv, std::string& error);

extern const char* const kUsage;

}  // namespace duz::host
