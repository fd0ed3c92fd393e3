#include "platform/system.h"
#include "platform/win32/win32_platform.h"

namespace duz {

std::unique_ptr<Clock> makeSystemClock() {
  return std::make_unique<Win32Clock>();
}

}  // namespace duz
