// What the line has done for each bus address: attempts, failures by kind, the last failure and the
// recent exchange times. Written by whoever makes an exchange (start-up, polling thread, host writes),
// read at any moment by a host thread that watches the bus's health.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

namespace duz {

struct TracedAttempt;

// How one attempt of an exchange ended. The numbers are the ones the library's statistics export
// gives its hosts.
enum class AttemptOutcome : std::uint32_t {
  Good = 0,
  NoAnswer = 1,       // nothing in time, or the reply stopped short
  BadCrc = 2,         // a whole reply whose checksum is wrong
  Exception = 3,      // the device answered with its function | 0x80
  WrongAddress = 4,   // another address answered
  WrongFunction = 5,  // another function, or a length that cannot be (too short, or past the buffer)
  WriteFailed = 6,    // the request could not be sent
};

// What went wrong with an attempt, from what the exchange saw of it.
AttemptOutcome classifyAttempt(const TracedAttempt& attempt);

// One address's figures at one moment.
struct AddressStatistics {
  std::uint64_t exchanges = 0;  // attempts, good or not
  std::uint64_t noAnswer = 0;
  std::uint64_t badCrc = 0;
  std::uint64_t exceptions = 0;
  std::uint64_t wrongAddress = 0;
  std::uint64_t wrongFunction = 0;
  std::uint64_t writeFailed = 0;
  AttemptOutcome lastFailure = AttemptOutcome::Good;
  std::uint64_t lastFailureTime = 0;   // FILETIME; 0: never failed
  std::uint32_t medianExchangeUs = 0;  // of the last kSamples good exchanges; 0: none yet
};

class LinkStatistics {
 public:
  static constexpr int kSamples = 64;

  LinkStatistics();

  // One attempt to `address`: its outcome, when it ended (FILETIME) and, for a good one, how long the
  // request and its reply took.
  void count(std::uint8_t address, AttemptOutcome outcome, std::uint64_t fileTime, std::uint32_t exchangeUs);
  // The last good reply of `address` was refused by its reader after all (its length cannot carry the
  // data asked for): a failure of `outcome`, not a further attempt.
  void refuse(std::uint8_t address, AttemptOutcome outcome, std::uint64_t fileTime);
  // A consistent copy; the lock is held only while the figures are copied, the median is worked out
  // after.
  AddressStatistics read(std::uint8_t address) const;

 private:
  struct Entry {
    AddressStatistics figures;
    std::array<std::uint32_t, kSamples> samples{};
    std::uint8_t next = 0;    // where the next sample goes
    std::uint8_t filled = 0;  // samples held, up to kSamples
  };
  static void fail(Entry& entry, AttemptOutcome outcome, std::uint64_t fileTime);

  mutable std::mutex mutex_;
  // Every address a byte can carry: a configuration file may name any. On the heap (about 80 KB).
  std::unique_ptr<std::array<Entry, 256>> entries_;
};

}  // namespace duz
