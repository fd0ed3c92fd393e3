#include "host/module.h"

namespace duz {

// Write commands to the alarm instrument are refused until they are built.
std::uint8_t Module::SetBitTagValue(std::uint32_t, std::uint32_t) {
  return 0;
}

}  // namespace duz
