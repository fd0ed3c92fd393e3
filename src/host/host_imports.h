// The three calls the module imports from the host's support library (tessarin.dll), by name, cdecl:
// each stores a tag's value, quality and FILETIME (low half first) into the handle record it names.
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
TESSARIN_API void TESSARIN_CDECL exposeAnTag(duz::AnalogTagHandle* handle, float value, std::uint32_t quality,
                                             std::uint32_t timestampLow, std::uint32_t timestampHigh);
TESSARIN_API void TESSARIN_CDECL exposeBitTag(duz::BitTagHandle* handle, std::int32_t value,
                                              std::uint32_t quality, std::uint32_t timestampLow,
                                              std::uint32_t timestampHigh);
TESSARIN_API void TESSARIN_CDECL exposeIntTag(duz::IntTagHandle* handle, std::int32_t value,
                                              std::uint32_t quality, std::uint32_t timestampLow,
                                              std::uint32_t timestampHigh);
}
