#include "options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

namespace duz::host {

const char* const kUsage =
    "Usage: duzevod-host --module PATH [--json] [--seconds S] [--interval MS]\n"
    "                    [--write SLOT:BIT=VALUE@SECONDS]... [--help]\n"
    "\n"
    "Loads the data-server module the way the host does (its start-up runs inside the load), then shows\n"
    "the device status table and the published tag values every interval, and unloads it at the end.\n"
    "\n"
    "  --module PATH     the module: libduzevod.so or duzevod.dll\n"
    "  --json            one JSON object per line instead of the readable table\n"
    "  --seconds S       unload and exit after S seconds (default: run until interrupted)\n"
    "  --interval MS     milliseconds between snapshots (default 1000)\n"
    "  --write SLOT:BIT=VALUE@SECONDS\n"
    "                    at SECONDS after the load, write VALUE to bit tag BIT of device slot SLOT\n"
    "                    through SetBitTagValue; may be given more than once\n"
    "  --help            this text\n"
    "  --version         the program's version\n"
    "\n"
    "The readable view lists each device with its slot, bus address (its \"Device number\" tag), model\n"
    "and state, and under it each tag with its value (with the unit where known), quality and age. On a\n"
    "terminal it is redrawn in place, and the command bits of an alarm instrument are written from the\n"
    "keyboard: r Reset, c Cancellation of the signal system, b Mode of blocking on/off; Tab or the arrow\n"
    "keys choose the instrument, q quits. Otherwise each snapshot is printed after the last.\n"
    "\n"
    "Exit status: 0 after a complete run, 1 when the module cannot be loaded or unloaded, 2 for a bad\n"
    "command line.\n";

namespace {

template <typename T>
bool parseInteger(std::string_view text, T max, T& out) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value > max) return false;
  out = value;
  return true;
}

// Non-negative seconds, fractions allowed, to milliseconds.
bool parseSeconds(std::string_view text, std::uint64_t& ms) {
  double seconds = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || !std::isfinite(seconds) ||
      seconds < 0 || seconds > 1e9)
    return false;
  ms = static_cast<std::uint64_t>(std::llround(seconds * 1000));
  return true;
}

bool parseWrite(std::string_view text, ScheduledWrite& w) {
  const auto colon = text.find(':');
  const auto equals = text.find('=');
  const auto at = text.find('@');
  if (colon == text.npos || equals == text.npos || at == text.npos || !(colon < equals && equals < at))
    return false;
  return parseInteger<std::uint32_t>(text.substr(0, colon), 0xFFFF, w.slot) &&
         parseInteger<std::uint32_t>(text.substr(colon + 1, equals - colon - 1), 0xFFFF, w.bit) &&
         parseInteger<std::uint32_t>(text.substr(equals + 1, at - equals - 1), 0xFFFFFFFF, w.value) &&
         parseSeconds(text.substr(at + 1), w.atMs);
}

}  // namespace

std::optional<Options> parseOptions(int argc, char** argv, std::string& error) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view value;
    bool hasValue = false;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != arg.npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      hasValue = true;
    }
    const bool takesValue =
        arg == "--module" || arg == "--seconds" || arg == "--interval" || arg == "--write";
    if (takesValue && !hasValue) {
      if (i + 1 >= argc) {
        error = std::string(arg) + " needs a value";
        return std::nullopt;
      }
      value = argv[++i];
    } else if (!takesValue && hasValue) {
      error = std::string(arg) + " takes no value";
      return std::nullopt;
    }
    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--json") {
      o.json = true;
    } else if (arg == "--module") {
      if (value.empty()) {
        error = "--module needs a path";
        return std::nullopt;
      }
      o.modulePath = value;
    } else if (arg == "--seconds") {
      std::uint64_t ms = 0;
      if (!parseSeconds(value, ms)) {
        error = "--seconds wants a number of seconds, 0 or more, not '" + std::string(value) + "'";
        return std::nullopt;
      }
      o.runMs = ms;
    } else if (arg == "--interval") {
      if (!parseInteger<std::uint64_t>(value, 86'400'000, o.intervalMs) || o.intervalMs == 0) {
        error = "--interval wants milliseconds from 1 to 86400000, not '" + std::string(value) + "'";
        return std::nullopt;
      }
    } else if (arg == "--write") {
      ScheduledWrite w;
      if (!parseWrite(value, w)) {
        error = "--write wants SLOT:BIT=VALUE@SECONDS (e.g. 2:16=1@1.5), not '" + std::string(value) + "'";
        return std::nullopt;
      }
      o.writes.push_back(w);
    } else {
      error = "unknown option '" + std::string(argv[i]) + "'";
      return std::nullopt;
    }
  }
  if (o.help) return o;
  if (o.modulePath.empty()) {
    error = "--module PATH is required";
    return std::nullopt;
  }
  std::stable_sort(o.writes.begin(), o.writes.end(),
                   [](const ScheduledWrite& a, const ScheduledWrite& b) { return a.atMs < b.atMs; });
  if (o.runMs && !o.writes.empty() && o.writes.back().atMs > *o.runMs) {
    error = "a --write is scheduled after the end of the run (--seconds)";
    return std::nullopt;
  }
  return o;
}

}  // namespace duz::host
