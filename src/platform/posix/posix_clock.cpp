#include "platform/posix/posix_platform.h"

#include <time.h>

#include <cerrno>
#include <thread>

namespace duz {

bool PosixClock::sleepMs(std::uint32_t ms, StopSignal* stop) {
  if (stop) return !stop->waitFor(std::chrono::milliseconds(ms));
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return true;
}

void PosixClock::pauseMicroseconds(std::uint32_t us) {
  // An absolute deadline so that early wake-ups (signals) do not shorten the gap.
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_nsec += static_cast<long>(us % 1'000'000) * 1000;
  deadline.tv_sec += us / 1'000'000 + deadline.tv_nsec / 1'000'000'000;
  deadline.tv_nsec %= 1'000'000'000;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

std::uint64_t PosixClock::monotonicMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1000 + static_cast<std::uint64_t>(t.tv_nsec) / 1'000'000;
}

std::uint64_t PosixClock::fileTimeNow() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return 116444736000000000ull + static_cast<std::uint64_t>(t.tv_sec) * 10'000'000 +
         static_cast<std::uint64_t>(t.tv_nsec) / 100;
}

}  // namespace duz
