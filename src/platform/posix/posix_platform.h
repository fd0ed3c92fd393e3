// POSIX implementations of the platform interfaces.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace duz {

namespace posix {
// Sleeps `ns` nanoseconds on the monotonic clock, woken as close to the end as the kernel can: the
// calling thread's timer slack (by default 50 µs added to every wake-up) is cut for the sleep and
// restored after it, so that a host's thread keeps its own setting.
void sleepPrecisely(std::int64_t ns);
}  // namespace posix

class PosixClock : public Clock {
 public:
  bool sleepMs(std::uint32_t ms, StopSignal* stop = nullptr) override;
  void pauseMicroseconds(std::uint32_t us) override;
  std::uint64_t monotonicMs() override;
  std::uint64_t fileTimeNow() override;
};

}  // namespace duz
