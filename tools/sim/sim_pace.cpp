#include "sim_pace.h"

#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/posix_serial.h"

namespace duz::sim {

LineTiming::LineTiming(unsigned baud)
    : characterNs(11LL * 1'000'000'000 / std::max(baud, 1u)),
      gapNs(std::max<std::int64_t>(characterNs * 7 / 2, 1'750'000)) {}

std::int64_t requestEndNs(const LineTiming& line, std::int64_t firstNs, std::int64_t lastNs,
                          std::size_t count) {
  return std::max(lastNs, firstNs + static_cast<std::int64_t>(count) * line.characterNs);
}

void sendPaced(int fd, const Bytes& bytes, std::int64_t startNs, const LineTiming& line,
               const volatile std::sig_atomic_t& stop) {
  for (std::size_t i = 0; i < bytes.size() && !stop; ++i) {
    const std::int64_t due = startNs + static_cast<std::int64_t>(i + 1) * line.characterNs;
    const timespec t{static_cast<time_t>(due / 1'000'000'000), static_cast<long>(due % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR && !stop) {
    }
    duz::posix::writeAll(fd, &bytes[i], 1);
  }
}

void preciseWakeups() {
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

}  // namespace duz::sim
