// Load and unload, again and again, in one process, as a host that reloads its modules: each cycle
// LoadLibrary (the start-up restores the configuration and opens the port), a write of a command bit
// (answered only over an open line, so the last unload let the port go), a while of polling, FreeLibrary.
// Memory, handles and threads must stay flat, and nothing may be published once FreeLibrary has returned.
// Prints its figures; exit status 1 on any violation.
// Usage: reload_probe DLL CYCLES
#include <windows.h>
// After windows.h, which they need.
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/shell/exports.h"
#include "model/tables.h"
#include "tessarin.h"

namespace {

int failures = 0;

void fail(const std::string& what) {
  std::printf("FAIL: %s\n", what.c_str());
  std::fflush(stdout);
  ++failures;
}

int threadCount() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int n = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    n += entry.th32OwnerProcessID == GetCurrentProcessId();
  CloseHandle(snapshot);
  return n;
}

// Handles of this process: GetProcessHandleCount where it works, else the system's handle list (Wine
// answers the former with 0).
unsigned long handleCount() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return count;
  using Query = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return 0;
  struct Entry {  // SYSTEM_HANDLE_TABLE_ENTRY_INFO
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
  };
  std::vector<unsigned char> buffer(1 << 16);
  for (;;) {
    ULONG needed = 0;
    const LONG status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) break;
    if (buffer.size() > (64u << 20)) return 0;
    buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed));
  }
  ULONG entries = 0;
  std::memcpy(&entries, buffer.data(), sizeof entries);
  const auto* entry = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
  unsigned long own = 0;
  for (ULONG i = 0; i < entries; ++i) own += entry[i].ownerPid == GetCurrentProcessId();
  return own;
}

// Bytes in use on every heap of the process. Committed memory moves in pages and hides a few hundred
// bytes a cycle; the heaps show each block. Nothing is allocated while they are walked.
unsigned long heapBytes() {
  HANDLE heaps[256];
  const DWORD count = std::min<DWORD>(GetProcessHeaps(256, heaps), 256);
  unsigned long bytes = 0;
  for (DWORD h = 0; h < count; ++h) {
    if (!HeapLock(heaps[h])) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heaps[h], &entry))
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) bytes += static_cast<unsigned long>(entry.cbData);
    HeapUnlock(heaps[h]);
  }
  return bytes;
}

struct Usage {
  unsigned long kb;
  unsigned long heap;
  unsigned long handles;
  int threads;
};
Usage usage() {
  PROCESS_MEMORY_COUNTERS memory{};
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
  return {static_cast<unsigned long>(memory.PagefileUsage / 1024), heapBytes(), handleCount(), threadCount()};
}

template <typename Fn>
Fn exported(HMODULE module, const char* name) {
  // Through a plain function pointer: FARPROC's own type says nothing about the export's.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::atoi(argv[2]) < 1) {
    std::fprintf(stderr, "usage: reload_probe DLL CYCLES\n");
    return 2;
  }
  const char* dll = argv[1];
  const int cycles = std::atoi(argv[2]);
  // A host's own windows keep the common controls loaded; otherwise each unload of the module would
  // unload them too, and Wine's leave registry keys behind every time they are loaded anew.
  LoadLibraryA("comctl32.dll");
  Usage warm{};
  std::uint64_t published = tessarinPublications();
  int polled = 0;
  const DWORD start = GetTickCount();
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    if (tessarinPublications() != published) fail("published after unload " + std::to_string(cycle - 1));
    HMODULE module = LoadLibraryA(dll);
    if (!module) {
      fail("LoadLibrary, error " + std::to_string(GetLastError()));
      break;
    }
    const auto getData = exported<duz::GetDataForDUZEvoderFn>(module, "GetDataForDUZEvoder");
    const auto setBit = exported<duz::SetTagValueFn>(module, "SetBitTagValue");
    if (!getData || !setBit) {
      fail("exports missing");
      break;
    }
    const duz::DeviceStatusRecord* table = getData();
    // Slot 1 is the alarm instrument: "Reset" off is harmless, and answers only over an open line.
    if (setBit((1u << 16) | 14u, 0) != 1) fail("cycle " + std::to_string(cycle) + ": the line is not free");
    // Most cycles end before the first poll or inside it; every 25th polls until values are published.
    const bool poll = cycle % 25 == 0;
    const std::uint64_t before = tessarinPublications();
    if (poll) {
      // The first cycle begins a second after the load; a busy machine may take a while longer.
      ++polled;
      const DWORD loaded = GetTickCount();
      while (tessarinPublications() == before && GetTickCount() - loaded < 5000) Sleep(20);
      if (tessarinPublications() == before || table[0].online != 1)
        fail("cycle " + std::to_string(cycle) + ": nothing polled");
    } else {
      Sleep(static_cast<DWORD>((cycle * 37) % 120));
    }
    if (!FreeLibrary(module)) fail("FreeLibrary, error " + std::to_string(GetLastError()));
    published = tessarinPublications();
    if (cycle == 10 || (cycle == cycles && cycles < 10)) {
      Sleep(100);  // the ending thread's last steps
      warm = usage();
    }
  }
  Sleep(1500);  // a late publication would come within a cycle; the last thread ends meanwhile
  if (tessarinPublications() != published) fail("published after the last unload");
  const Usage end = usage();
  std::printf("%d cycles (%d of them polling) in %.1f s\n", cycles, polled,
              (GetTickCount() - start) / 1000.0);
  std::printf("after warm-up: %lu kB committed, %lu heap bytes, %lu handles, %d threads\n", warm.kb,
              warm.heap, warm.handles, warm.threads);
  std::printf("at the end:    %lu kB committed, %lu heap bytes, %lu handles, %d threads\n", end.kb, end.heap,
              end.handles, end.threads);
  const int unloads = cycles - std::min(cycles, 10);
  const auto perUnload = [unloads](unsigned long warmValue, unsigned long endValue) {
    return unloads ? static_cast<double>(endValue - std::min(endValue, warmValue)) / unloads : 0.0;
  };
  std::printf("handles left per unload: %.2f\n", perUnload(warm.handles, end.handles));
  std::printf("kB committed per unload: %.2f\n", perUnload(warm.kb, end.kb));
  std::printf("heap bytes per unload: %.2f\n", perUnload(warm.heap, end.heap));
  // No slack: by now the last unload's polling thread has ended (the thread count says so), and with it
  // the last handle its park needed. One handle more is one an unload left behind.
  if (end.handles > warm.handles) fail("handles grew");
  if (end.threads > warm.threads) fail("threads grew");
  // A few pages of allocator slack are not growth; a module left behind per cycle would be megabytes.
  if (end.kb > warm.kb + 2048) fail("memory grew");
  // The heaps to the block, with a few blocks' slack for the system's own (a buffer made on first use):
  // over 90 unloads, less than 50 bytes left by each.
  if (end.heap > warm.heap + 4096) fail("heap grew");
  std::printf("%d failure(s)\n", failures);
  return failures ? 1 : 0;
}
