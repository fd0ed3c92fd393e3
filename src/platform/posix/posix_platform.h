// POSIX implementations of the platform interfaces.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace duz {

namespace posix {
// Sleeps `ns` nanoseconds on the monotonic clock, woken as close to the end as the kernel can: the
// calling thread's timer slack (by default 50 µs added to every wake-up) is cut for the sleep and
// restored after it, so that a host's thread keeps its own setting. A thread that keeps exact time
// (below) has it cut once for good, which spares two system calls a sleep.
void sleepPrecisely(std::int64_t ns);
// Cuts the calling thread's timer slack for the rest of its life.
void keepExactTime();
// Monotonic nanoseconds.
std::int64_t monotonicNs();
}  // namespace posix

class PosixClock : public Clock {
 public:
  bool sleepMs(std::uint32_t ms, StopSignal* stop = nullptr) override;
  void pauseMicroseconds(std::uint32_t us) override;
  std::uint64_t monotonicMs() override;
  std::uint64_t monotonicUs() override { return static_cast<std::uint64_t>(posix::monotonicNs() / 1000); }
  std::uint64_t fileTimeNow() override;
  void keepExactTimeOnThisThread() override { posix::keepExactTime(); }
};

}  // namespace duz
