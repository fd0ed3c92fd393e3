// The frame trace: when a sink is set, every attempt of an exchange leaves two lines, the request that
// went out and what came back, with the attempt's result and duration. Off (no sink) by default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace duz {

// Where trace lines go. Called from the polling thread, host threads and the start-up.
class TraceSink {
 public:
  virtual ~TraceSink() = default;
  // Appends one or more whole lines (each ending in '\n'); never mixed with another call's lines.
  virtual void append(std::string_view lines) = 0;
};

// A sink that appends to a file. Each call's lines are written under one lock, short writes continued,
// so this module's threads never split each other's lines; when the file takes no more, the rest of the
// call's lines is lost, never an exchange.
class AppendingTrace : public TraceSink {
 public:
  explicit AppendingTrace(std::unique_ptr<AppendOnlyFile> file) : file_(std::move(file)) {}
  void append(std::string_view lines) final;

 private:
  std::mutex mutex_;
  std::unique_ptr<AppendOnlyFile> file_;
};

// The trace into `file`; null without a file.
std::unique_ptr<TraceSink> makeFileTrace(std::unique_ptr<AppendOnlyFile> file);

// One attempt of an exchange as the trace shows it.
struct TracedAttempt {
  std::uint64_t sentAt = 0;  // FILETIME when the request went out
  std::uint64_t durationMs = 0;
  const std::uint8_t* request = nullptr;
  int requestLength = 0;
  const std::uint8_t* reply = nullptr;
  int replyLength = 0;  // bytes received, 0 when nothing came
  int result = 0;       // the attempt's result: 0, -1, 1 (address) or 2 (function)
  bool writeFailed = false;
  int expectedLength = 0;  // length the header announced; 0 when no header was accepted
  int capacity = 0;        // room for the reply
};

// "2026-12-07T00:00:00.010Z" (UTC, milliseconds) for a FILETIME.
std::string traceTime(std::uint64_t fileTime);

// The two lines of an attempt:
//   2026-12-07T00:00:00.010Z tx 03 47 00 01 B1 E8
//   2026-12-07T00:00:00.030Z rx 03 47 03 0F A0 00 C4 21  result 0 ok  20 ms
// A reply of no bytes is written "-"; the word after the result says what went wrong.
std::string traceLines(const TracedAttempt& attempt);

}  // namespace duz
