#include "soak_check.h"

#include <time.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "link/link.h"

namespace duz::soak {

namespace {

constexpr std::size_t kRequestsKept = 64;      // per address: several cycles' worth
constexpr std::int64_t kTraceToleranceMs = 2;  // the trace's millisecond rounding

Bytes hexBytes(const char* text) {
  Bytes out;
  for (char* end = nullptr;; text = end) {
    const unsigned long v = std::strtoul(text, &end, 16);
    if (end == text) break;
    out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
}

std::string hex(const Bytes& bytes, std::size_t max = 64) {
  std::string out;
  char b[4];
  for (std::size_t i = 0; i < bytes.size() && i < max; ++i) {
    std::snprintf(b, sizeof b, "%s%02X", out.empty() ? "" : " ", bytes[i]);
    out += b;
  }
  if (bytes.size() > max) out += " …";
  return out.empty() ? "-" : out;
}

bool checked(const Bytes& frame) {
  if (frame.size() < 4) return false;
  const std::uint16_t crc = Crc16(static_cast<int>(frame.size()) - 2, frame.data());
  return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

// "2026-12-08T10:05:01.204Z" as milliseconds since 1970.
std::int64_t traceMs(const std::string& line) {
  tm t{};
  int ms = 0;
  if (std::sscanf(line.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                  &t.tm_min, &t.tm_sec, &ms) != 7)
    return -1;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return std::int64_t{timegm(&t)} * 1000 + ms;
}

std::string tagText(const Instrument& d, int slot, char kind, int index) {
  return "slot " + std::to_string(slot) + " (address " + std::to_string(d.address) + ") " +
         (kind == 'a'   ? "analog"
          : kind == 'b' ? "bit"
                        : "int") +
         " tag " + std::to_string(index);
}

}  // namespace

std::int64_t unixUs(std::uint64_t fileTime) {
  return (static_cast<std::int64_t>(fileTime) - 116444736000000000LL) / 10;
}

Checker::Checker(std::vector<Instrument> instruments)
    : lastFreshUs(instruments.size(), 0),
      lost(instruments.size(), false),
      instruments_(std::move(instruments)) {}

void Checker::violation(const std::string& text) {
  // The first ones tell the story; a flood would bury it.
  if (violations_.size() < 200) std::fprintf(stderr, "VIOLATION: %s\n", text.c_str());
  violations_.push_back(text);
}

void Checker::record(const std::string& line) {
  char* rest = nullptr;
  const std::int64_t us = std::strtoll(line.c_str(), &rest, 10);
  const std::string what = rest && *rest == ' ' ? std::string(rest + 1) : std::string();
  if (what.starts_with("rx")) {
    ++requests;
    Bytes frame = hexBytes(what.c_str() + 2);
    // Nothing disturbs the line towards the instruments: a broken request means the module sent two
    // at once or sent a broken one.
    if (!checked(frame)) {
      ++garbled;
      violation("the simulator received a broken request (two exchanges at once?): " + hex(frame));
      current_ = nullptr;
      return;
    }
    frame.resize(frame.size() - 2);
    auto& list = requests_[frame[0]];
    list.push_back(Request{us, std::move(frame), {}, {}});
    if (list.size() > kRequestsKept) list.pop_front();
    current_ = &list.back();
  } else if (what.starts_with("tx") || what.starts_with("noise")) {
    if (current_) {
      const Bytes bytes = hexBytes(what.c_str() + (what[0] == 't' ? 2 : 5));
      current_->served.insert(current_->served.end(), bytes.begin(), bytes.end());
    }
  } else if (what.starts_with("drop") || what.starts_with("line")) {
    current_ = nullptr;
  }
}

Checker::Request* Checker::latest(int address, const Bytes& frame, std::int64_t beforeUs) {
  auto found = requests_.find(address);
  if (found == requests_.end()) return nullptr;
  for (auto r = found->second.rbegin(); r != found->second.rend(); ++r)
    if (r->us <= beforeUs && r->frame == frame) return &*r;
  return nullptr;
}

void Checker::publication(const Report& r) {
  if (r.slot >= instruments_.size()) {
    violation(std::string("a publication to a handle that is no counted tag of any slot (kind ") + r.kind +
              ")");
    return;
  }
  const Instrument& d = instruments_[r.slot];
  const std::string tag = tagText(d, r.slot, r.kind, r.index);
  const double value =
      r.kind == 'a' ? double{std::bit_cast<float>(r.value)} : static_cast<std::int32_t>(r.value);
  if (r.kind == 'i') {
    ++deviceNumbers;
    if (value != d.address || r.quality != QualityGood || r.index != 0)
      violation(tag + ": device number " + std::to_string(value) + " quality " + std::to_string(r.quality));
    if (r.slot == instruments_.size() - 1) ++cycles;
    return;
  }
  if (r.quality == QualityDeviceFailure && value == 0) {
    ++lostReports;
    lost[r.slot] = true;
    return;
  }
  const auto source = sourceOf(d, r.kind, r.index);
  if (!source) {
    violation(tag + ": published, but the device has no such tag");
    return;
  }
  const std::int64_t us = unixUs(r.timestamp);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  // Seen here after it was published: a later timestamp is no time of this clock.
  if (us > std::int64_t{now.tv_sec} * 1'000'000 + now.tv_nsec / 1000 + 1'000'000)
    violation(tag + ": timestamp " + std::to_string(us) + " lies in the future");
  Request* request = latest(d.address, source->request, us);
  char what[160];
  std::snprintf(what, sizeof what, "%s: value %.9g quality 0x%08X at %lld", tag.c_str(), value, r.quality,
                static_cast<long long>(us));
  if (!request) {
    violation(std::string(what) + " without any request for it on the line before");
    return;
  }
  if (!request->used.insert({r.kind, r.index}).second) {
    violation(std::string(what) + " published again from the reply of the request at " +
              std::to_string(request->us) + " (no fresh reply)");
    return;
  }
  const auto frames = framesIn(request->served, request->frame);
  for (const Bytes& f : frames) {
    const auto e = expectedFrom(d, r.kind, r.index, f);
    if (e && e->publishes && e->quality == r.quality && std::fabs(e->value - value) <= e->tolerance) {
      ++valuesChecked;
      if (lost[r.slot]) ++recoveries;
      lost[r.slot] = false;
      lastFreshUs[r.slot] = us;
      return;
    }
  }
  std::string expected;
  for (const Bytes& f : frames)
    if (const auto e = expectedFrom(d, r.kind, r.index, f)) {
      char b[64];
      std::snprintf(b, sizeof b, " %.9g/0x%08X", e->value, e->quality);
      expected += b;
    }
  violation(std::string(what) + " is not what was served: request " + hex(request->frame) + " at " +
            std::to_string(request->us) + ", served " + hex(request->served) + " (" +
            std::to_string(frames.size()) + " whole frames, giving" +
            (expected.empty() ? " nothing" : expected) + ")");
}

void Checker::write(const Report& r) {
  const Instrument& d = instruments_[r.slot];
  const auto expected = writeRequest(d, r.index, r.value);
  const auto from = static_cast<std::int64_t>(r.timestamp), to = static_cast<std::int64_t>(r.until);
  std::vector<const Request*> sent;
  if (auto found = requests_.find(d.address); found != requests_.end())
    for (const Request& q : found->second)
      if (q.us >= from && q.us <= to && q.frame[1] == 5) sent.push_back(&q);
  const std::string what = "write of " + tagText(d, r.slot, 'b', r.index) + " = " + std::to_string(r.value);
  // The other host thread may be writing to the same instrument meanwhile: only a frame that is this
  // write's counts for it.
  if (!expected) {
    ++writesRefused;
    if (r.quality != 0) violation(what + ": not writable, yet reported done");
    return;
  }
  if (r.quality == 0) {
    ++writesFailed;
    return;
  }
  for (const Request* q : sent) {
    if (q->frame != *expected) continue;
    Bytes echo = q->frame;
    echo.resize(echo.size() + 2);
    putCrc(echo.data(), static_cast<int>(echo.size()));
    for (const Bytes& f : framesIn(q->served, q->frame))
      if (f == echo) {
        ++writesDone;
        return;
      }
  }
  violation(what + ": reported done (1), but the instrument never echoed it");
}

void Checker::trace(const std::string& line) {
  const auto words = line.find(' ');
  if (words == std::string::npos) return;
  if (line.compare(words + 1, 3, "tx ") == 0) {
    pendingTx_ = line;
    return;
  }
  if (line.compare(words + 1, 3, "rx ") != 0 || pendingTx_.empty()) return;
  const std::int64_t start = traceMs(pendingTx_);
  const Bytes request = hexBytes(pendingTx_.c_str() + words + 4);
  pendingTx_.clear();
  const auto ms = line.rfind("  ");
  if (start < 0 || request.size() < 2 || ms == std::string::npos) return;
  const Held now{start, start + std::atoll(line.c_str() + ms + 2), request[1] == 5};
  for (const Held& h : held_) {
    if (!now.write && !h.write) continue;
    if (now.write) ++overlapsChecked;
    if (now.fromMs < h.toMs - kTraceToleranceMs && h.fromMs < now.toMs - kTraceToleranceMs) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "a write overlapped another exchange on the line: %lld..%lld and %lld..%lld ms",
                    static_cast<long long>(now.fromMs), static_cast<long long>(now.toMs),
                    static_cast<long long>(h.fromMs), static_cast<long long>(h.toMs));
      violation(text);
    }
  }
  held_.push_back(now);
  // Two threads trace, each when its exchange ends: keep a generous window of both.
  while (!held_.empty() && held_.front().toMs < now.fromMs - 30'000) held_.pop_front();
}

}  // namespace duz::soak
