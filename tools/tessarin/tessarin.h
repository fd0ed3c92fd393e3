// The host's support library, as our stand-in builds it (libtessarin.so / tessarin.dll): the three
// publication calls the module imports, and the stand-in's own extras below, with which the host
// stand-in takes the lock while it reads the values they store.
#pragma once

#include <cstdint>

#include "host/host_imports.h"

extern "C" {
// Held while the publication calls store a record's fields; a reader holding it sees each record's fields
// from one call.
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
