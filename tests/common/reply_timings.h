// The reply timings every serial port of the module must read as the Win32 time-outs {100, 2, 500} read
// them: the rows, the Win32 rules as a model, and how a measured run of a row is judged. Shared by the
// POSIX port's test and the Windows port's test under Wine, so that both ports answer the same table.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/frames.h"

namespace duz::test {

// When each byte of a reply reaches the line, in ms after the far end begins to answer.
struct ReplyTiming {
  const char* name;
  std::vector<std::uint8_t> reply;
  std::vector<double> dueMs;
};

// 9600 bit/s, 8N2: one character is 11 bits.
constexpr double kCharMs = 11 * 1000.0 / 9600;
constexpr const char* kReplyTimingSettings = "baud=9600 parity=N data=8 stop=2";

inline std::vector<std::uint8_t> frame(std::vector<std::uint8_t> bytes) {
  putCrc(bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

// A reply with a byte count of `count` bytes, as long as a controller's block when count is 216.
inline std::vector<std::uint8_t> reply(std::uint8_t address, std::uint8_t function, int count) {
  std::vector<std::uint8_t> bytes{address, function, static_cast<std::uint8_t>(count)};
  for (int i = 0; i < count; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 7));
  bytes.resize(bytes.size() + 2);
  return frame(bytes);
}

// Sent as a UART sends: one character after the other, with a pause after byte `pauseAfter` (1-based).
inline ReplyTiming paced(const char* name, std::vector<std::uint8_t> bytes, int pauseAfter = 0,
                         double pauseMs = 0, int stopAfter = 0, double spacingMs = kCharMs) {
  if (stopAfter > 0) bytes.resize(static_cast<std::size_t>(stopAfter));
  ReplyTiming r{name, bytes, {}};
  double t = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    t += spacingMs;
    if (static_cast<int>(i) == pauseAfter && pauseAfter > 0) t += pauseMs;
    r.dueMs.push_back(t);
  }
  return r;
}

// Handed over at once, as a pseudo-terminal hands over what one write gave it.
inline ReplyTiming atOnce(const char* name, std::vector<std::uint8_t> bytes) {
  ReplyTiming r{name, bytes, std::vector<double>(bytes.size(), 5.0)};
  return r;
}

// Handed over in pieces, as a USB adapter does: every `everyMs` whatever the line has brought by then.
inline ReplyTiming inPieces(const char* name, std::vector<std::uint8_t> bytes, double everyMs) {
  ReplyTiming r = paced(name, std::move(bytes));
  for (double& due : r.dueMs) due = std::ceil(due / everyMs) * everyMs;
  return r;
}

// The table. The reader expects a controller's block from address 1 (221 bytes, 253 ms of line) and
// reads as a transaction does: the 3-byte header, then, when it names address 1 and function 0x47,
// the body its byte count announces.
inline std::vector<ReplyTiming> replyTimingRows() {
  const std::vector<std::uint8_t> block = reply(1, 0x47, 216);
  return {
      paced("whole block", block),
      paced("header pause 90", block, 2, 90),
      paced("header pause 110", block, 2, 110),
      paced("header pause 180", block, 2, 180),
      paced("pause 180 between header and body: a new read", block, 3, 180),
      paced("body pause 90 after byte 4", block, 4, 90),
      paced("body pause 110 after byte 4", block, 4, 110),
      paced("body pause 90 after byte 89", block, 89, 90),
      paced("body pause 110 after byte 89", block, 89, 110),
      paced("body pause 180 after byte 89", block, 89, 180),
      paced("stops after 3", block, 0, 0, 3),
      paced("stops after 4", block, 0, 0, 4),
      paced("stops after 89", block, 0, 0, 89),
      paced("exception", frame({1, 0xC7, 2, 0, 0})),
      paced("another address", reply(2, 0x47, 216)),
      paced("another byte count", reply(1, 0x47, 4)),
      paced("slow line, 20 ms a byte", reply(1, 0x47, 4), 0, 0, 0, 20),
      paced("slow line, 60 ms a byte", reply(1, 0x47, 4), 0, 0, 0, 60),
      inPieces("pieces every 16 ms", block, 16),
      atOnce("all at once", block),
  };
}

// The body read that follows a header, or 0 when a transaction would read no body.
inline int bodyCount(const std::uint8_t* header) {
  return header[0] == 1 && header[1] == 0x47 ? header[2] + 2 : 0;
}

struct ReadOutcome {
  int bytes;
  double endMs;
};

// The Win32 rules for a read of `count` bytes that starts at `startMs` with the time-outs {100, 2, 500}:
// bytes that came before it are there at once; it ends with its last byte, 100 ms after the latest
// byte's arrival once one has come, or 500 + 2 x count ms after its start. `next` is the first byte
// of `arrivals` no read has taken yet.
inline ReadOutcome win32Read(const std::vector<double>& arrivals, std::size_t& next, int count,
                             double startMs) {
  const double total = startMs + 500 + 2.0 * count;
  int got = 0;
  double last = 0;
  for (; next < arrivals.size(); ++next) {
    const double at = std::max(arrivals[next], startMs);
    if (got > 0 && at - last > 100) return {got, last + 100};
    if (at > total) return {got, total};
    ++got;
    last = at;
    if (got == count) {
      ++next;
      return {got, at};
    }
  }
  return {got, got > 0 ? std::min(last + 100, total) : total};
}

// One measured run of a row: when each byte really went, and the reads' starts and outcomes, all in
// ms on one clock; `got` holds what the reads returned, from offset 0.
struct RowRun {
  std::vector<double> sentMs;
  std::vector<double> startsMs;
  std::vector<ReadOutcome> reads;
  std::vector<std::uint8_t> got = std::vector<std::uint8_t>(260);
};

// Where a run differs from the Win32 rules by more than `allowedMs`, one text each; empty when none.
inline std::vector<std::string> judgeRow(const ReplyTiming& row, const RowRun& run, double allowedMs) {
  std::vector<std::string> faults;
  char text[200];
  std::size_t next = 0;
  int taken = 0;
  for (std::size_t i = 0; i < run.reads.size(); ++i) {
    const int count = i == 0 ? 3 : bodyCount(run.got.data());
    const ReadOutcome win32 = win32Read(run.sentMs, next, count, run.startsMs[i]);
    const ReadOutcome& seen = run.reads[i];
    if (seen.bytes != win32.bytes || std::fabs(seen.endMs - win32.endMs) > allowedMs) {
      std::snprintf(text, sizeof text, "read %zu of %d bytes: %d bytes at %.1f ms, Win32 gives %d at %.1f ms",
                    i, count, seen.bytes, seen.endMs, win32.bytes, win32.endMs);
      faults.emplace_back(text);
    }
    taken += std::max(seen.bytes, 0);
  }
  if (static_cast<std::size_t>(taken) > row.reply.size())
    faults.emplace_back("more bytes read than sent");
  else if (!std::equal(run.got.begin(), run.got.begin() + taken, row.reply.begin()))
    faults.emplace_back("the bytes read are not the bytes sent");
  return faults;
}

// A run is repeated when the machine kept the writer from its moments or the reader from a processor
// for more than half the tolerance: the line it meant to test did not happen, or the moments measure
// the machine. The least disturbed run is judged, allowing for its disturbance; a row whose every run
// was disturbed by more than the rows' 10 ms margins around the 100 ms limit is another row, not judged.
constexpr int kRowAttempts = 6;
constexpr double kUnjudgedMs = 10;

inline double timingToleranceMs() {
  const char* wider = std::getenv("DUZ_TIMING_TOLERANCE_MS");
  return wider ? std::atof(wider) : 5.0;
}
inline bool runRowAgain(double disturbedMs, double toleranceMs) {
  return disturbedMs >= toleranceMs / 2;
}
inline double allowedMs(double disturbedMs, double toleranceMs) {
  return toleranceMs + (runRowAgain(disturbedMs, toleranceMs) ? disturbedMs : 0);
}

// How late the writer was against the row's plan, at worst.
inline double writerLateMs(const ReplyTiming& row, const std::vector<double>& sentMs, double originMs) {
  double late = 0;
  for (std::size_t i = 0; i < sentMs.size(); ++i) late = std::max(late, sentMs[i] - originMs - row.dueMs[i]);
  return late;
}

}  // namespace duz::test
