// The library's shell: the one module instance, the imported publication calls and the six exports (and,
// on Linux, the line's statistics).
#include "host/shell/library.h"

#include "host/host_imports.h"
#include "host/shell/exports.h"
#include "host/shell/lifecycle.h"
#include "platform/system.h"
#include "ui/system_operator.h"

namespace duz::shell {

namespace {

// The publication calls of the host's support library, imported by name.
class TessarinLibrary : public HostLibrary {
 public:
  void exposeAnTag(AnalogTagHandle* handle, float value, std::uint32_t quality,
                   std::uint64_t timestamp) override {
    ::exposeAnTag(handle, value, quality, low(timestamp), high(timestamp));
  }
  void exposeBitTag(BitTagHandle* handle, std::int32_t value, std::uint32_t quality,
                    std::uint64_t timestamp) override {
    ::exposeBitTag(handle, value, quality, low(timestamp), high(timestamp));
  }
  void exposeIntTag(IntTagHandle* handle, std::int32_t value, std::uint32_t quality,
                    std::uint64_t timestamp) override {
    ::exposeIntTag(handle, value, quality, low(timestamp), high(timestamp));
  }

 private:
  static std::uint32_t low(std::uint64_t t) { return static_cast<std::uint32_t>(t); }
  static std::uint32_t high(std::uint64_t t) { return static_cast<std::uint32_t>(t >> 32); }
};

std::unique_ptr<LoadedModule> makeSystemParts() {
  auto parts = std::make_unique<LoadedModule>();
  parts->clock = makeSystemClock();
  parts->ports = makeSystemSerialPorts();
  parts->op = makeSystemOperator();
  parts->locale = makeSystemLocale();
  parts->directory = makeSystemHostDirectory();
  parts->files = makeSystemFiles();
  parts->host = std::make_unique<TessarinLibrary>();
  parts->trace = makeFileTrace(openSystemTraceFile());
  return parts;
}

// The module instance: set by the load, cleared by the unload, read by the exports in between.
constinit LoadedModule* instance = nullptr;

Module* module() {
  return instance ? instance->module.get() : nullptr;
}

}  // namespace

void libraryLoad() noexcept {
  if (!instance) instance = load(makeSystemParts).release();
}

bool libraryUnload(bool join) noexcept {
  std::unique_ptr<LoadedModule> loaded(instance);
  instance = nullptr;
  return unload(loaded, join);
}

}  // namespace duz::shell

using duz::shell::module;

extern "C" {

duz::DeviceStatusRecord* DUZ_CDECL GetDataForDUZEvoder() {
  return duz::shell::statusTable(duz::shell::instance);
}

std::uint32_t DUZ_STDCALL SetAnTagValue(std::uint32_t, std::uint32_t) {
  return 0;
}

std::uint32_t DUZ_STDCALL SetIntTagValue(std::uint32_t, std::uint32_t) {
  return 0;
}

std::uint32_t DUZ_STDCALL SetBitTagValue(std::uint32_t tagIdentifier, std::uint32_t value) {
  duz::Module* m = module();
  return m ? m->SetBitTagValue(tagIdentifier, value) : 0;
}

void DUZ_STDCALL GiveString(const char* settings, const char* port, const char* searchLimit,
                            const char* action) {
  if (duz::Module* m = module()) m->GiveString(settings, port, searchLimit, action);
}

void DUZ_CDECL OnShutDown() {}

#if !defined(_WIN32)
// Linux only: the Windows host knows six exports, and the DLL keeps exactly those.
std::uint32_t DuzevodLinkStatistics(DuzLinkStatistics* out) {
  return duz::shell::fillLinkStatistics(module(), out);
}
#endif
}
