// The module's six exported functions, as the host calls them. Names are undecorated on every target
// (a .def file on Windows, a version script on Linux); the calling conventions are part of the binary
// interface on 32-bit Windows. The host stand-in takes its function-pointer types from here.
#pragma once

#include <cstdint>

#include "model/tables.h"

#if defined(_WIN32)
#define DUZ_CDECL __cdecl
#define DUZ_STDCALL __stdcall
#else
#define DUZ_CDECL
#define DUZ_STDCALL
#endif

extern "C" {
// The status table's address, the same for the whole life of the module.
duz::DeviceStatusRecord* DUZ_CDECL GetDataForDUZEvoder();
// Analog and integer tags cannot be written: both answer 0 and do nothing.
std::uint32_t DUZ_STDCALL SetAnTagValue(std::uint32_t tagIdentifier, std::uint32_t value);
std::uint32_t DUZ_STDCALL SetIntTagValue(std::uint32_t tagIdentifier, std::uint32_t value);
// Writes a command bit of an alarm instrument; 1 done, 0 refused or failed (the host reads the low 8 bits).
std::uint32_t DUZ_STDCALL SetBitTagValue(std::uint32_t tagIdentifier, std::uint32_t value);
// The initialisation dialog's choices: settings text, port name, search limit, action word.
void DUZ_STDCALL GiveString(const char* settings, const char* port, const char* searchLimit,
                            const char* action);
void DUZ_CDECL OnShutDown();
}

namespace duz {
using GetDataForDUZEvoderFn = DeviceStatusRecord*(DUZ_CDECL*)();
using SetTagValueFn = std::uint32_t(DUZ_STDCALL*)(std::uint32_t, std::uint32_t);
using GiveStringFn = void(DUZ_STDCALL*)(const char*, const char*, const char*, const char*);
using OnShutDownFn = void(DUZ_CDECL*)();
}  // namespace duz
