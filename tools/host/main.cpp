// duzevod-host: loads the module the way the host does and shows what the host would see.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "host/shell/exports.h"
#include "module_library.h"
#include "options.h"
#include "snapshot.h"

namespace {

volatile std::sig_atomic_t interrupted = 0;
void onInterrupt(int) {
  interrupted = 1;
}

void print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

int fail(const std::string& message, int status) {
  std::fprintf(stderr, "duzevod-host: %s\n", message.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace duz::host;
  using Clock = std::chrono::steady_clock;

  std::string error;
  const auto options = parseOptions(argc, argv, error);
  if (!options) {
    std::fprintf(stderr, "duzevod-host: %s\nRun duzevod-host --help for the options.\n", error.c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const Options& o = *options;

  auto library = ModuleLibrary::load(o.modulePath, error);
  if (!library) return fail("cannot load module '" + o.modulePath + "': " + error, 1);
  const auto start = Clock::now();
  const auto getData = library->function<duz::GetDataForDUZEvoderFn>("GetDataForDUZEvoder");
  const auto setBit = library->function<duz::SetTagValueFn>("SetBitTagValue");
  if (!getData) return fail("'" + o.modulePath + "' exports no GetDataForDUZEvoder: not the module", 1);
  if (!o.writes.empty() && !setBit) return fail("'" + o.modulePath + "' exports no SetBitTagValue", 1);
  const duz::DeviceStatusRecord* table = getData();
  if (!table) return fail("GetDataForDUZEvoder returned no table", 1);

  std::signal(SIGINT, onInterrupt);
  std::signal(SIGTERM, onInterrupt);
#if !defined(_WIN32)
  const bool clearScreen = !o.json && isatty(STDOUT_FILENO);
#else
  const bool clearScreen = false;
#endif

  auto elapsedMs = [&] {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  };
  std::size_t nextWrite = 0;
  std::uint64_t nextSnapshot = 0;
  while (!interrupted) {
    // Writes due by the next snapshot go first, so the snapshot shows their effect.
    const bool writeFirst = nextWrite < o.writes.size() && o.writes[nextWrite].atMs <= nextSnapshot;
    const std::uint64_t due = writeFirst ? o.writes[nextWrite].atMs : nextSnapshot;
    if (o.runMs && due > *o.runMs) break;
    while (!interrupted && elapsedMs() < due)
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<std::uint64_t>(due - elapsedMs(), 50)));
    if (interrupted) break;
    if (writeFirst) {
      const ScheduledWrite& w = o.writes[nextWrite++];
      const unsigned result = setBit((w.slot << 16) | w.bit, w.value) & 0xFF;
      print(o.json ? writeJson(elapsedMs(), w.slot, w.bit, w.value, result)
                   : writeText(elapsedMs(), w.slot, w.bit, w.value, result));
    } else {
      const Snapshot s = takeSnapshot(table, elapsedMs());
      print(o.json ? snapshotJson(s) : (clearScreen ? "\x1b[H\x1b[2J" : "") + snapshotTable(s) + "\n");
      nextSnapshot += o.intervalMs;
    }
  }

  if (!library->unload(error)) return fail("cannot unload module '" + o.modulePath + "': " + error, 1);
  return 0;
}
