// Load and unload of the library around one Module. The entry points (library constructor and
// destructor on POSIX, DllMain on Windows) call these through library.h; tests call them directly.
#pragma once

#include <memory>

#include "host/host_library.h"
#include "host/module.h"
#include "host/shell/link_statistics.h"
#include "link/trace.h"
#include "platform/platform.h"
#include "ui/operator.h"

namespace duz::shell {

// The platform parts and the module built on them. Members are destroyed in reverse order, so the
// module goes before the parts it uses.
struct LoadedModule {
  std::unique_ptr<Clock> clock;
  std::unique_ptr<SerialPorts> ports;
  std::unique_ptr<Operator> op;
  std::unique_ptr<Locale> locale;
  std::unique_ptr<HostDirectory> directory;
  std::unique_ptr<Files> files;
  std::unique_ptr<HostLibrary> host;
  std::unique_ptr<TraceSink> trace;  // optional: the frame trace, set on the module's link
  std::unique_ptr<Module> module;
};

// Makes the platform parts of a LoadedModule (its module still null).
using PartsMaker = std::unique_ptr<LoadedModule> (*)();
// Runs the start-up on a freshly built module.
using Startup = void (*)(Module&);
void runModuleStartup(Module& module);

// Makes the parts, builds the module (its handle arrays analog, bit, integer) and runs the start-up.
// Never throws: when the parts or the module cannot be made the result is null and the library stays
// loaded without tags; when the start-up itself fails, the module built so far is kept, so the status
// table the host may already hold stays valid.
std::unique_ptr<LoadedModule> load(PartsMaker makeParts, Startup startup = runModuleStartup) noexcept;

// Stops the polling thread, then destroys the module (names released integer, bit, analog) and the
// parts. join = false: the thread is detached once it has stopped touching module data (Windows
// unloads under the loader lock, where waiting for a thread to end would deadlock), waiting at most
// `boundMs`. False when the thread did not stop in time: the module and its parts are then kept for
// the thread that still uses them (`loaded` lets go of them), and the trace says so; the library's
// code must stay too.
bool unload(std::unique_ptr<LoadedModule>& loaded, bool join,
            std::uint32_t boundMs = PollingThread::kUnloadWaitMs) noexcept;

// The line's statistics of `module` (null: none could be built) into `out`, as the Linux library's
// export gives them: 1 done, 0 when `out` is null or too small.
std::uint32_t fillLinkStatistics(const Module* module, DuzLinkStatistics* out) noexcept;

// The status table the host sees: the module's, or a fixed table with Device1..Device31, online 1
// and no tags when there is no module.
DeviceStatusRecord* statusTable(LoadedModule* loaded) noexcept;

}  // namespace duz::shell
