#include "host/shell/link_statistics.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "host/shell/lifecycle.h"
#include "module_version.h"

namespace duz::shell {

namespace {

template <std::size_t N>
void copyText(char (&field)[N], const std::string& text) {
  const std::size_t n = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

DuzLinkDeviceStatistics toExport(const AddressStatistics& a) {
  DuzLinkDeviceStatistics d{};
  d.exchanges = a.exchanges;
  d.noAnswer = a.noAnswer;
  d.badCrc = a.badCrc;
  d.exceptions = a.exceptions;
  d.wrongAddress = a.wrongAddress;
  d.wrongFunction = a.wrongFunction;
  d.lastFailure = static_cast<std::uint32_t>(a.lastFailure);
  d.medianExchangeUs = a.medianExchangeUs;
  d.lastFailureTime = a.lastFailureTime;
  return d;
}

}  // namespace

std::uint32_t fillLinkStatistics(const Module* module, DuzLinkStatistics* out) noexcept {
  if (!out || out->size < offsetof(DuzLinkStatistics, devices)) return 0;
  DuzLinkStatistics full{};
  full.size = out->size;
  copyText(full.version, kModuleVersion);
  // Without a module (it could not be built) the line was never used: no port, no figures.
  if (module) {
    try {
      const Module::LinkFigures f = module->linkStatistics();
      full.portState = static_cast<std::uint32_t>(f.portState);
      full.reopenedCount = f.reopenedCount;
      full.cyclePeriodMs = f.cyclePeriodMs;
      copyText(full.portName, f.portName);
      for (int s = 0; s < kSlots; ++s) full.devices[s] = toExport(f.devices[s]);
    } catch (...) {
      return 0;  // out of memory for the copy: the caller's record is left as it was
    }
  }
  // A caller built against an older, shorter record gets what it has room for.
  std::memcpy(out, &full, std::min<std::size_t>(out->size, sizeof full));
  return 1;
}

}  // namespace duz::shell
