// Loads duzevod.dll as the host does and calls each export with the host's calling convention, measuring
// how many argument bytes the export removes from the stack (stdcall: all of them, cdecl: none). Also
// checks the status table, that FreeLibrary and a second load work, and that a load freed at once
// neither hangs nor crashes. Run under Wine by run_under_wine.sh. The 64-bit test build has one calling
// convention: there the exports are called as plain functions and only what they answer is checked.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "model/tables.h"

namespace {

int failures = 0;

#if defined(__i386__)
constexpr bool kConventionsMeasured = true;
#else
constexpr bool kConventionsMeasured = false;
#endif

void check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what);
  if (!ok) ++failures;
}

// A convention check; in the 64-bit build only the answer part of it is real.
void checkCall(bool ok, const char* what) {
  std::printf("%s: %s%s\n", ok ? "ok" : "FAIL", what, kConventionsMeasured ? "" : " (64-bit: answer only)");
  if (!ok) ++failures;
}

struct CallResult {
  std::uintptr_t eax;
  std::uint32_t removed;  // argument bytes the callee took off the stack
};

// Pushes `count` arguments (last first) and calls `fn`; the stack pointer is compared before and after
// in callee-saved registers, so nothing the compiler does around the call can hide a mismatch.
#if defined(__i386__)
CallResult call(void* fn, const std::uintptr_t* args, std::uint32_t count) {
  std::uint32_t before = 0, after = 0, eax = 0;
  const std::uintptr_t a0 = count > 0 ? args[0] : 0, a1 = count > 1 ? args[1] : 0;
  const std::uintptr_t a2 = count > 2 ? args[2] : 0, a3 = count > 3 ? args[3] : 0;
  switch (count) {
    case 0:
      asm volatile(
          "movl %%esp, %0\n\t"
          "call *%3\n\t"
          "movl %%esp, %1\n\t"
          "movl %0, %%esp"
          : "=&S"(before), "=&D"(after), "=a"(eax)
          : "b"(fn)
          : "ecx", "edx", "memory", "cc");
      break;
    case 2:
      asm volatile(
          "movl %%esp, %0\n\t"
          "pushl %5\n\t"
          "pushl %4\n\t"
          "call *%3\n\t"
          "movl %%esp, %1\n\t"
          "movl %0, %%esp"
          : "=&S"(before), "=&D"(after), "=a"(eax)
          : "b"(fn), "c"(a0), "d"(a1)
          : "memory", "cc");
      break;
    case 4:
      // Four pointer arguments: pushed from memory through ecx, one at a time.
      {
        const std::uintptr_t all[4] = {a0, a1, a2, a3};
        asm volatile(
            "movl %%esp, %0\n\t"
            "pushl 12(%4)\n\t"
            "pushl 8(%4)\n\t"
            "pushl 4(%4)\n\t"
            "pushl (%4)\n\t"
            "call *%3\n\t"
            "movl %%esp, %1\n\t"
            "movl %0, %%esp"
            : "=&S"(before), "=&D"(after), "=a"(eax)
            : "b"(fn), "c"(all)
            : "edx", "memory", "cc");
      }
      break;
    default:
      break;
  }
  return {eax, 4 * count - (before - after)};
}
#else
// Two arguments are a tag identifier and a value; four are GiveString's texts.
CallResult call(void* fn, const std::uintptr_t* args, std::uint32_t count) {
  std::uintptr_t result = 0;
  if (count == 0) {
    result = reinterpret_cast<std::uintptr_t (*)()>(fn)();
  } else if (count == 2) {
    result = static_cast<std::uint32_t>(reinterpret_cast<int (*)(std::uint32_t, std::uint32_t)>(fn)(
        static_cast<std::uint32_t>(args[0]), static_cast<std::uint32_t>(args[1])));
  } else if (count == 4) {
    reinterpret_cast<void (*)(const char*, const char*, const char*, const char*)>(fn)(
        reinterpret_cast<const char*>(args[0]), reinterpret_cast<const char*>(args[1]),
        reinterpret_cast<const char*>(args[2]), reinterpret_cast<const char*>(args[3]));
  }
  return {result, 4 * count};  // nothing to measure: the caller cleans up
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "duzevod.dll";
  if (!kConventionsMeasured)
    std::printf("note: 64-bit build, one calling convention; the 32-bit DLL's are checked from its file\n");
  for (int round = 1; round <= 2; ++round) {
    HMODULE dll = LoadLibraryA(path);
    check(dll != nullptr, "LoadLibraryA loads the module");
    if (!dll) return 1;
    auto fn = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(dll, name)); };
    void* getData = fn("GetDataForDUZEvoder");
    void* setAn = fn("SetAnTagValue");
    void* setBit = fn("SetBitTagValue");
    void* setInt = fn("SetIntTagValue");
    void* giveString = fn("GiveString");
    void* onShutDown = fn("OnShutDown");
    check(getData && setAn && setBit && setInt && giveString && onShutDown, "all six exports found by name");
    check(!fn("_SetBitTagValue@8") && !fn("SetBitTagValue@8"), "no decorated export names");
    if (failures) return 1;

    const CallResult table = call(getData, nullptr, 0);
    checkCall(table.removed == 0, "GetDataForDUZEvoder is cdecl");
    check(call(getData, nullptr, 0).eax == table.eax, "GetDataForDUZEvoder returns the same address twice");
    const auto* records = reinterpret_cast<const duz::DeviceStatusRecord*>(table.eax);
    check(records && records[0].online == 1 && std::strcmp(records[0].deviceName, "Device1") == 0 &&
              std::strcmp(records[30].deviceName, "Device31") == 0,
          "the table holds Device1..Device31, online");
    check(sizeof(duz::DeviceStatusRecord) == 213 + 3 * (sizeof(void*) - 4),
          "records are 213 bytes (225 with 64-bit addresses)");

    const std::uintptr_t two[2] = {(2u << 16) | 16, 1};
    const CallResult an = call(setAn, two, 2);
    checkCall(an.removed == 8 && an.eax == 0, "SetAnTagValue is stdcall (8 bytes) and answers 0");
    const CallResult in = call(setInt, two, 2);
    checkCall(in.removed == 8 && in.eax == 0, "SetIntTagValue is stdcall (8 bytes) and answers 0");
    const CallResult bit = call(setBit, two, 2);
    checkCall(bit.removed == 8 && (bit.eax & 0xFF) == 0,
              "SetBitTagValue is stdcall (8 bytes), refuses a free slot");
    const char* texts[4] = {"baud=9600 parity=E data=8 stop=2", "COM3", "12", "Abort"};
    std::uintptr_t four[4];
    for (int i = 0; i < 4; ++i) four[i] = reinterpret_cast<std::uintptr_t>(texts[i]);
    checkCall(call(giveString, four, 4).removed == 16, "GiveString is stdcall (16 bytes)");
    checkCall(call(onShutDown, nullptr, 0).removed == 0, "OnShutDown is cdecl");

    check(FreeLibrary(dll) != 0, "FreeLibrary unloads the module");
  }
  // A host may unload as soon as it has loaded, before the polling thread has got through the loader.
  constexpr int kQuickRounds = 20;
  int quick = 0;
  for (; quick < kQuickRounds; ++quick) {
    HMODULE dll = LoadLibraryA(path);
    if (!dll || !FreeLibrary(dll)) break;
  }
  check(quick == kQuickRounds, "20 loads, each freed at once");
  std::printf("%d failure(s)\n", failures);
  return failures ? 1 : 0;
}
