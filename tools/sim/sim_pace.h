// Paced mode: the timing of a real serial line on a line that has none. A pseudo-terminal hands over a
// whole frame at once; on a real line every character takes 11 bit times (start, 8 data, parity or a
// second stop bit, stop), so a benchmark needs the simulator to keep that time for both directions.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "sim_answer.h"

namespace duz::sim {

struct LineTiming {
  explicit LineTiming(unsigned baud);
  std::int64_t characterNs;  // one character of 11 bits
  std::int64_t gapNs;        // the silence that ends a frame: 3.5 characters, at least 1.75 ms
};

// When a request would have ended on a real line: its first byte came in at `firstNs` (the sender began
// then), so its last character ends `count` characters later, or when it really came, if that is later.
std::int64_t requestEndNs(const LineTiming& line, std::int64_t firstNs, std::int64_t lastNs,
                          std::size_t count);

// Writes `bytes` one at a time, each when it would have been received completely: byte i at
// startNs + (i + 1) characters. Returns early when `stop` is set.
void sendPaced(int fd, const Bytes& bytes, std::int64_t startNs, const LineTiming& line,
               const volatile std::sig_atomic_t& stop);

// Makes the process's timed waits precise to microseconds (the kernel otherwise may add 50 µs to each).
void preciseWakeups();

}  // namespace duz::sim
