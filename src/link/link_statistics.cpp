#include "link/link_statistics.h"

#include <algorithm>

#include "link/link.h"
#include "link/trace.h"

namespace duz {

AttemptOutcome classifyAttempt(const TracedAttempt& a) {
  if (a.writeFailed) return AttemptOutcome::WriteFailed;
  switch (a.result) {
    case 0:
      return AttemptOutcome::Good;
    case kWrongAddress:
      return AttemptOutcome::WrongAddress;
    case kWrongFunction:
      return a.replyLength >= 2 && a.requestLength >= 2 && a.reply[1] == (a.request[1] | 0x80)
                 ? AttemptOutcome::Exception
                 : AttemptOutcome::WrongFunction;
    default:
      break;
  }
  // The header was accepted but announced a length no reply can have here.
  if (a.expectedLength != 0 && (a.expectedLength < 5 || a.expectedLength > a.capacity))
    return AttemptOutcome::WrongFunction;
  if (a.replyLength == 0 || a.expectedLength == 0 || a.replyLength < a.expectedLength)
    return AttemptOutcome::NoAnswer;
  return AttemptOutcome::BadCrc;
}

LinkStatistics::LinkStatistics() : entries_(std::make_unique<std::array<Entry, 256>>()) {}

void LinkStatistics::fail(Entry& e, AttemptOutcome outcome, std::uint64_t fileTime) {
  AddressStatistics& f = e.figures;
  switch (outcome) {
    case AttemptOutcome::Good:
      return;
    case AttemptOutcome::NoAnswer:
      ++f.noAnswer;
      break;
    case AttemptOutcome::BadCrc:
      ++f.badCrc;
      break;
    case AttemptOutcome::Exception:
      ++f.exceptions;
      break;
    case AttemptOutcome::WrongAddress:
      ++f.wrongAddress;
      break;
    case AttemptOutcome::WrongFunction:
      ++f.wrongFunction;
      break;
    case AttemptOutcome::WriteFailed:
      ++f.writeFailed;
      break;
  }
  f.lastFailure = outcome;
  // A clock that says 0 must not read as "never failed".
  f.lastFailureTime = fileTime ? fileTime : 1;
}

void LinkStatistics::count(std::uint8_t address, AttemptOutcome outcome, std::uint64_t fileTime,
                           std::uint32_t exchangeUs) {
  std::lock_guard hold(mutex_);
  Entry& e = (*entries_)[address];
  ++e.figures.exchanges;
  if (outcome != AttemptOutcome::Good) {
    fail(e, outcome, fileTime);
    return;
  }
  e.samples[e.next] = exchangeUs;
  e.next = static_cast<std::uint8_t>((e.next + 1) % kSamples);
  if (e.filled < kSamples) ++e.filled;
}

void LinkStatistics::refuse(std::uint8_t address, AttemptOutcome outcome, std::uint64_t fileTime) {
  std::lock_guard hold(mutex_);
  fail((*entries_)[address], outcome, fileTime);
}

AddressStatistics LinkStatistics::read(std::uint8_t address) const {
  AddressStatistics figures;
  std::array<std::uint32_t, kSamples> samples;
  int filled;
  {
    std::lock_guard hold(mutex_);
    const Entry& e = (*entries_)[address];
    figures = e.figures;
    samples = e.samples;
    filled = e.filled;
  }
  if (filled > 0) {
    // The middle sample, or the mean of the two middle ones.
    const auto begin = samples.begin();
    const auto end = begin + filled;
    const auto upper = begin + filled / 2;
    std::nth_element(begin, upper, end);
    std::uint64_t median = *upper;
    if (filled % 2 == 0) median = (median + *std::max_element(begin, upper)) / 2;
    // 0 says "no exchange yet"; an exchange timed below the clock's resolution still took some time.
    figures.medianExchangeUs = static_cast<std::uint32_t>(std::max<std::uint64_t>(median, 1));
  }
  return figures;
}

}  // namespace duz
