#include "platform/posix/posix_platform.h"

#include <sys/prctl.h>
#include <time.h>

#include <cerrno>
#include <thread>

namespace duz {

namespace {
thread_local bool exactTime = false;
}  // namespace

void posix::keepExactTime() {
  if (exactTime) return;
  exactTime = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
}

std::int64_t posix::monotonicNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

void posix::sleepPrecisely(std::int64_t ns) {
  const int slack = exactTime ? 1 : prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
  if (slack > 1) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  // An absolute deadline so that early wake-ups (signals) do not shorten the sleep.
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(ns / 1'000'000'000);
  deadline.tv_nsec += static_cast<long>(ns % 1'000'000'000);
  deadline.tv_sec += deadline.tv_nsec / 1'000'000'000;
  deadline.tv_nsec %= 1'000'000'000;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
  if (slack > 1) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0UL, 0UL, 0UL);
}

bool PosixClock::sleepMs(std::uint32_t ms, StopSignal* stop) {
  if (stop) return !stop->waitFor(std::chrono::milliseconds(ms));
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return true;
}

void PosixClock::pauseMicroseconds(std::uint32_t us) {
  posix::sleepPrecisely(std::int64_t{us} * 1000);
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
