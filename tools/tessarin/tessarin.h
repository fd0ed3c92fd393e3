// The host's support library, as our stand-in builds it (libtessarin.so / tessarin.dll). The module
// imports the three publication calls by name; the host stand-in also takes the lock below while it
// reads the values they store.
#pragma once

#include <cstdint>

#include "model/tables.h"

#if defined(_WIN32)
#define TESSARIN_CDECL __cdecl
#define TESSARIN_API
#else
#define TESSARIN_CDECL
#define TESSARIN_API __attribute__((visibility("default")))
#endif

extern "C" {
// Store value, quality and the FILETIME (low half first) into the handle record the call names.
TESSARIN_API void TESSARIN_CDECL exposeAnTag(duz::AnalogTagHandle* handle, float value, std::uint32_t quality,
                                             std::uint32_t timestampLow, std::uint32_t timestampHigh);
TESSARIN_API void TESSARIN_CDECL exposeBitTag(duz::BitTagHandle* handle, std::int32_t value,
                                              std::uint32_t quality, std::uint32_t timestampLow,
                                              std::uint32_t timestampHigh);
TESSARIN_API void TESSARIN_CDECL exposeIntTag(duz::IntTagHandle* handle, std::int32_t value,
                                              std::uint32_t quality, std::uint32_t timestampLow,
                                              std::uint32_t timestampHigh);

// Held while the fields above are written; a reader holding it sees each record's fields from one call.
TESSARIN_API void TESSARIN_CDECL tessarinLock();
TESSARIN_API void TESSARIN_CDECL tessarinUnlock();

// How many publications have been stored since the library was loaded (tests: nothing after an unload).
TESSARIN_API std::uint64_t TESSARIN_CDECL tessarinPublications();

// A host that forwards values elsewhere (the MQTT gateway; Linux only, tessarin.dll does not export it)
// is told of every publication, after its record has been stored, on the publishing thread and with the
// lock above held, so it must return at once. `value` is the published float or integer; `timestamp`
// the whole FILETIME.
enum TessarinTagKind { TessarinAnalog = 0, TessarinBit = 1, TessarinInt = 2 };
typedef void(TESSARIN_CDECL* TessarinObserver)(void* context, int kind, const void* handle, double value,
                                               std::uint32_t quality, std::uint64_t timestamp);
// Installs the observer (null removes it); once this returns, the previous one is no longer called.
TESSARIN_API void TESSARIN_CDECL tessarinObserve(TessarinObserver observer, void* context);
}
