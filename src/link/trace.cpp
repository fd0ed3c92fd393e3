#include "link/trace.h"

#include <chrono>
#include <cstdio>

#include "link/link.h"
#include "link/link_statistics.h"

namespace duz {

namespace {

constexpr std::uint64_t kUnixEpochFileTime = 116444736000000000ull;  // 1970-01-01 in 100 ns since 1601
constexpr std::uint64_t kFileTimePerMs = 10'000;

void appendHex(std::string& out, const std::uint8_t* bytes, int count) {
  if (count <= 0) {
    out += " -";
    return;
  }
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int i = 0; i < count; ++i) {
    out += ' ';
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0F];
  }
}

const char* outcome(const TracedAttempt& a) {
  // The statistics' kinds, told apart more finely where the frames show why.
  switch (classifyAttempt(a)) {
    case AttemptOutcome::Good:
      return "ok";
    case AttemptOutcome::WriteFailed:
      return "write failed";
    case AttemptOutcome::WrongAddress:
      return "wrong address";
    case AttemptOutcome::Exception:
      return "exception";
    case AttemptOutcome::WrongFunction:
      if (a.result == kWrongFunction) return "wrong function";
      return a.expectedLength < 5 ? "bad length" : "too long";
    case AttemptOutcome::NoAnswer:
      return a.replyLength == 0 ? "no reply" : "short reply";
    case AttemptOutcome::BadCrc:
      break;
  }
  return "bad CRC";
}

}  // namespace

void AppendingTrace::append(std::string_view lines) {
  std::lock_guard hold(mutex_);
  while (!lines.empty()) {
    const std::size_t written = file_->writeSome(lines.data(), lines.size());
    if (written == 0) return;
    lines.remove_prefix(written);
  }
}

std::unique_ptr<TraceSink> makeFileTrace(std::unique_ptr<AppendOnlyFile> file) {
  if (!file) return nullptr;
  return std::make_unique<AppendingTrace>(std::move(file));
}

std::string traceTime(std::uint64_t fileTime) {
  using namespace std::chrono;
  // Times before 1970 do not come from a running clock; they show as the epoch.
  const std::uint64_t ms =
      fileTime > kUnixEpochFileTime ? (fileTime - kUnixEpochFileTime) / kFileTimePerMs : 0;
  const sys_time<milliseconds> t{milliseconds{static_cast<std::int64_t>(ms)}};
  const sys_days day = floor<days>(t);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> time{t - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
  return text;
}

std::string traceLines(const TracedAttempt& a) {
  std::string out = traceTime(a.sentAt);
  out += " tx";
  appendHex(out, a.request, a.requestLength);
  out += '\n';
  out += traceTime(a.sentAt + a.durationMs * kFileTimePerMs);
  out += " rx";
  appendHex(out, a.reply, a.replyLength);
  char tail[64];
  std::snprintf(tail, sizeof tail, "  result %d %s  %llu ms\n", a.result, outcome(a),
                static_cast<unsigned long long>(a.durationMs));
  out += tail;
  return out;
}

}  // namespace duz
