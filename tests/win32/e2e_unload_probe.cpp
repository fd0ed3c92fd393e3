// A host that unloads the module while it polls and then carries on. Each cycle: LoadLibrary (the
// start-up runs inside), wait until slot SLOT publishes a good value, FreeLibrary, then stay alive with the
// port opened by ourselves for a while: a polling thread left behind would run in freed memory or unmapped
// code, or hold the port. Prints one line per event for e2e_operation.sh, which watches the line.
// Usage: e2e_unload_probe DLL PORT SLOT CYCLES
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "host/shell/exports.h"
#include "model/tables.h"
#include "tessarin.h"

namespace {

void say(const char* format, unsigned long value = 0) {
  std::printf(format, value);
  std::printf("\n");
  std::fflush(stdout);
}

int fail(const char* format, unsigned long value = 0) {
  say(format, value);
  return 1;
}

bool publishesGood(const duz::DeviceStatusRecord& record) {
  tessarinLock();
  const bool good = record.analogCount > 0 && record.analogTags[0].quality == duz::QualityGood;
  tessarinUnlock();
  return good;
}

// Keeps every processor busy while it lives: around FreeLibrary, the unloading thread and the ending
// polling thread then interleave as on a loaded machine, where an idle one hides races between them.
class BusyProcessors {
 public:
  BusyProcessors() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    for (DWORD i = 0; i < 2 * info.dwNumberOfProcessors; ++i)
      if (HANDLE t = CreateThread(nullptr, 0, spin, &stop_, 0, nullptr)) threads_.push_back(t);
  }
  ~BusyProcessors() {
    stop_ = true;
    for (HANDLE t : threads_) {
      WaitForSingleObject(t, INFINITE);
      CloseHandle(t);
    }
  }
  BusyProcessors(const BusyProcessors&) = delete;
  BusyProcessors& operator=(const BusyProcessors&) = delete;

 private:
  static DWORD WINAPI spin(void* stop) {
    while (!static_cast<std::atomic<bool>*>(stop)->load(std::memory_order_relaxed)) {
    }
    return 0;
  }
  std::atomic<bool> stop_{false};
  std::vector<HANDLE> threads_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: e2e_unload_probe DLL PORT SLOT CYCLES\n");
    return 2;
  }
  const char* dll = argv[1];
  const char* port = argv[2];
  const int slot = std::atoi(argv[3]);
  const int cycles = std::atoi(argv[4]);
  if (slot < 0 || slot >= duz::kSlots || cycles < 1) {
    std::fprintf(stderr, "e2e_unload_probe: bad slot or cycle count\n");
    return 2;
  }
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    HMODULE module = LoadLibraryA(dll);
    if (!module) return fail("FAIL: LoadLibrary, error %lu", GetLastError());
    // Through a plain function pointer: FARPROC's own type says nothing about the export's.
    const auto getData = reinterpret_cast<duz::GetDataForDUZEvoderFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "GetDataForDUZEvoder")));
    if (!getData) return fail("FAIL: no GetDataForDUZEvoder");
    const duz::DeviceStatusRecord* table = getData();
    const DWORD loaded = GetTickCount();
    while (!publishesGood(table[slot])) {
      if (GetTickCount() - loaded > 15000) return fail("FAIL: slot published no good value within 15 s");
      Sleep(50);
    }
    say("polling");
    DWORD took = 0;
    {
      BusyProcessors busy;
      const DWORD before = GetTickCount();
      if (!FreeLibrary(module)) return fail("FAIL: FreeLibrary, error %lu", GetLastError());
      took = GetTickCount() - before;
      Sleep(200);  // the polling thread's end, too, on a busy machine
    }
    say("unloaded in %lu ms", took);

    const HANDLE own = CreateFileA(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (own == INVALID_HANDLE_VALUE) return fail("FAIL: the port is still held, error %lu", GetLastError());
    Sleep(2500);  // more than two polling cycles
    CloseHandle(own);
    say("alive");
  }
  say("ok");
  return 0;
}
