#include "host/shell/lifecycle.h"

#include <cstdio>
#include <string>

namespace duz::shell {

namespace {

// Used only when no module could be built: the host still gets a well-formed table whose row
// addresses point at real (empty) records.
struct FallbackTables {
  AnalogTagHandle analog[kSlots * kTagsPerKind];
  BitTagHandle bit[kSlots * kTagsPerKind];
  IntTagHandle integer[kSlots * kTagsPerKind];
  DeviceStatusRecord status[kSlots];
};

constinit FallbackTables fallback{};

DeviceStatusRecord* fillFallback() {
  for (int s = 0; s < kSlots; ++s) {
    DeviceStatusRecord& r = fallback.status[s];
    r.online = 1;
    r.analogTags = fallback.analog + s * kTagsPerKind;
    r.bitTags = fallback.bit + s * kTagsPerKind;
    r.intTags = fallback.integer + s * kTagsPerKind;
    r.fixedWord = 3;
    std::snprintf(r.deviceName, sizeof r.deviceName, "Device%d", s + 1);
  }
  return fallback.status;
}

// Filled as the library loads rather than on first use: no guarded static in the module (why:
// host/shell/win32_entry.cpp). The address never changes.
DeviceStatusRecord* const fallbackTable = fillFallback();

}  // namespace

void runModuleStartup(Module& module) {
  module.runStartup();
}

std::unique_ptr<LoadedModule> load(PartsMaker makeParts, Startup startup) noexcept {
  std::unique_ptr<LoadedModule> loaded;
  try {
    loaded = makeParts();
    if (!loaded || !loaded->clock || !loaded->ports || !loaded->op || !loaded->locale || !loaded->directory ||
        !loaded->files || !loaded->host)
      return nullptr;
    loaded->module =
        std::make_unique<Module>(Platform{*loaded->clock, *loaded->ports, *loaded->op, *loaded->locale,
                                          *loaded->directory, *loaded->files, *loaded->host});
    // Before the start-up, so that the search's exchanges are traced too.
    if (loaded->trace) loaded->module->link.setTrace(loaded->trace.get());
  } catch (...) {
    return nullptr;
  }
  try {
    startup(*loaded->module);
  } catch (...) {
    // The load must not fail: keep whatever the start-up completed.
  }
  return loaded;
}

bool unload(std::unique_ptr<LoadedModule>& loaded, bool join, std::uint32_t boundMs) noexcept {
  if (!loaded) return true;
  if (loaded->module && !loaded->module->pollingThread.stop(join, boundMs)) {
    LoadedModule* kept = loaded.release();
    if (kept->trace) {
      try {
        kept->trace->append(
            traceTime(kept->clock->fileTimeNow()) + " unload: the polling thread did not stop within " +
            std::to_string(boundMs) +
            " ms (held in a call of the system's); its module stays in memory, and the library's "
            "code with it\n");
      } catch (...) {
        // Unloading goes on without the line.
      }
    }
    return false;
  }
  loaded.reset();
  return true;
}

DeviceStatusRecord* statusTable(LoadedModule* loaded) noexcept {
  if (loaded && loaded->module) return loaded->module->GetDataForDUZEvoder();
  return fallbackTable;
}

}  // namespace duz::shell
