// The soak's checks: what the simulator served (its record), what the module published (through the
// host), what the module wrote, and when the module held the line (its frame trace).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "soak_bus.h"
#include "soak_host.h"

namespace duz::soak {

// Microseconds since 1970 from a FILETIME.
std::int64_t unixUs(std::uint64_t fileTime);

class Checker {
 public:
  explicit Checker(std::vector<Instrument> instruments);

  // One line of the simulator's record.
  void record(const std::string& line);
  // One line of the module's frame trace.
  void trace(const std::string& line);
  // A publication or a finished write from the host.
  void publication(const Report& r);
  void write(const Report& r);

  void violation(const std::string& text);
  const std::vector<std::string>& violations() const { return violations_; }
  const Instrument& instrument(int slot) const { return instruments_[slot]; }

  // Figures.
  std::uint64_t requests = 0, garbled = 0, valuesChecked = 0, lostReports = 0, deviceNumbers = 0;
  std::uint64_t cycles = 0, recoveries = 0, writesDone = 0, writesFailed = 0, writesRefused = 0;
  std::uint64_t overlapsChecked = 0;
  // Per slot: the last time a value was checked good against a fresh reply, and whether the device
  // has been reported lost since.
  std::vector<std::int64_t> lastFreshUs;
  std::vector<bool> lost;

 private:
  struct Request {
    std::int64_t us = 0;
    Bytes frame;   // without its CRC
    Bytes served;  // everything sent after it, until the next request or the line's end
    std::set<std::pair<char, int>> used;  // tags already published from it
  };
  struct Held {
    std::int64_t fromMs, toMs;
    bool write;
  };
  Request* latest(int address, const Bytes& frame, std::int64_t beforeUs);

  std::vector<Instrument> instruments_;
  std::map<int, std::deque<Request>> requests_;  // by address, oldest first
  Request* current_ = nullptr;                   // the request the line's bytes now answer
  std::vector<std::string> violations_;
  std::string pendingTx_;  // a trace "tx" line waiting for its "rx"
  std::deque<Held> held_;
};

}  // namespace duz::soak
