// The host's support library: the three publication calls through which tag values reach the host.
// The module's shell binds this to the imported cdecl functions; tests record the calls.
#pragma once

#include <cstdint>

#include "model/tables.h"

namespace duz {

class HostLibrary {
 public:
  virtual ~HostLibrary() = default;
  virtual void exposeAnTag(AnalogTagHandle* handle, float value, std::uint32_t quality,
                           std::uint64_t timestamp) = 0;
  virtual void exposeBitTag(BitTagHandle* handle, std::int32_t value, std::uint32_t quality,
                            std::uint64_t timestamp) = 0;
  virtual void exposeIntTag(IntTagHandle* handle, std::int32_t value, std::uint32_t quality,
                            std::uint64_t timestamp) = 0;
};

}  // namespace duz
