#include "platform/posix/posix_platform.h"
#include "platform/system.h"

namespace duz {

std::unique_ptr<Clock> makeSystemClock() {
  return std::make_unique<PosixClock>();
}

}  // namespace duz
