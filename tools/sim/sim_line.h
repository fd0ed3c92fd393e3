// The line's own troubles, for soak tests: random noise on the line, a record of everything served,
// and a link that follows the line when it is dropped and created anew (an adapter unplugged and
// plugged back in).
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace duz::sim {

using Bytes = std::vector<std::uint8_t>;

// One line per event, written before the bytes go out, so that whoever reads the record after the
// master has seen a reply finds that reply in it. Times are microseconds since 1970 (UTC).
//   T rx HEX      a request frame received
//   T tx HEX      bytes sent as a reply (noise inside it included)
//   T noise HEX   unsolicited bytes sent between frames
//   T drop        the line is gone
//   T line PATH   a new line is up
class Recorder {
 public:
  // False with `error` set when the file cannot be opened for appending.
  bool open(const std::string& path, std::string& error);
  ~Recorder();
  void bytes(const char* what, const Bytes& bytes);
  void event(const std::string& text);

 private:
  std::FILE* file_ = nullptr;
};

// Random bytes on the line: bursts at random moments between frames, and bytes put inside replies.
class Noise {
 public:
  Noise();
  // "off", or the mean time between bursts in ms and the percentage of replies hit inside. Empty on
  // success, otherwise what is wrong.
  std::string set(const std::vector<std::string>& words);
  bool on() const { return meanMs_ > 0; }
  // When the next burst is due (monotonic ns); -1 when off.
  std::int64_t nextBurstNs() const { return on() ? nextNs_ : -1; }
  // The burst due now (1 to 16 bytes), and the time of the next one.
  Bytes burst(std::int64_t nowNs);
  // Puts 1 to 4 random bytes at a random place inside the reply, for the given share of replies. True
  // when the reply was hit.
  bool spoil(Bytes& reply);

 private:
  void schedule(std::int64_t fromNs);
  std::mt19937 random_;
  int meanMs_ = 0;
  int insidePercent_ = 0;
  std::int64_t nextNs_ = -1;
};

// Points `link` at `target` in one step (a new symbolic link renamed over the old one).
bool pointLink(const std::string& link, const std::string& target, std::string& error);

// Microseconds since 1970, UTC: the time base of the record, shared with the module's timestamps.
std::int64_t realtimeUs();

}  // namespace duz::sim
