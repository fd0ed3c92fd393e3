// The benchmark's arithmetic: summaries of samples, what the fixed waits and the line speed give
// for an exchange, a cycle and a search, and reading the module's frame trace.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace duz::bench {

struct Summary {
  std::size_t count = 0;
  double median = 0;
  double p25 = 0, p75 = 0;  // the spread shown beside the median
  double p99 = 0;
  double min = 0, max = 0;
};
// Percentiles by linear interpolation between the nearest ranks.
Summary summarize(std::vector<double> samples);

// One character on the line: 11 bits (start, 8 data, parity or a second stop bit, stop), in ms.
double characterMs(unsigned baud);
// The silence before each request: 3.5 characters, at least 1.75 ms.
double gapMs(unsigned baud);
// Request and reply on the wire.
double wireMs(unsigned baud, int requestBytes, int replyBytes);

// The transactions a device of a model makes in one poll, by request kind.
enum class Kind { ControllerBlock, Transducer, AlarmInputs, AlarmCoils, BlockingCoil, WriteCoil };
constexpr int kKinds = 6;
const char* kindName(Kind kind);
int requestBytes(Kind kind);
int replyBytes(Kind kind);

// The models of a benchmark bus, address 1 first: controller, alarm instrument, thermocouple and
// resistance-thermometer transducers, current loop, and again.
enum class Model { Controller, Alarm, Thermocouple, Rtd, CurrentLoop };
Model modelAt(int address);
std::vector<Kind> pollOf(Model model);

// One exchange as the line and the instrument make it, nothing of the master's: request and reply at
// 11 bits a character and the instrument's 3.5 characters before it answers (the simulator's turnaround).
double exchangeFormulaMs(unsigned baud, Kind kind);

// What a bus does wrong, by address: silent devices answer nothing, bad-CRC devices answer a complete
// reply with a wrong checksum.
struct Faults {
  std::vector<int> silent{};
  std::vector<int> badCrc{};
};

// The cycle the fixed waits and the line give, at `baud` for devices at 1..devices: 1000 ms, and per
// device 50 ms, and per transaction 10 ms and its exchange. A silent device's first transaction costs
// the read time-out of a 3-byte header (500 + 2 x 3 ms) and the 500 ms pause, and ends its poll; a bad
// CRC costs the whole exchange and the pause.
double cycleFormulaMs(int devices, unsigned baud, const Faults& faults = {});

// The fewest times a polling thread must sleep and be woken in one cycle: the cycle's sleep, each
// device's sleep, per transaction the sleep before it and one wait for its reply, and per failed one
// its pause (a faulty device makes only its first transaction).
int wakeUpFloor(int devices, const Faults& faults = {});
int transactionsOf(int devices);
// The same floor for a transaction as `Transaction` reads it: the header and the body are two reads (the
// body's length is in the header), so a reply costs two waits; and a read that must end 100 ms after the last
// byte came looks at the line at least every 95 ms, so a body longer than that costs one wait more for each
// 95 ms.
int twoReadWakeUpFloor(int devices, unsigned baud);

// The mean of paired differences a[i] - b[i] and its 95 % confidence interval (Student's t).
struct Paired {
  std::size_t count = 0;
  double mean = 0, low = 0, high = 0;
};
Paired pairedDifference(const std::vector<double>& a, const std::vector<double>& b);

// System calls in an `strace -f -ttt` log ("1234 1796713551.749944 read(3, …"), by name: those of
// thread `tid` (0: any) that began within [fromS, toS] (Unix seconds). A call that strace splits
// ("<unfinished …>", "<... read resumed>") counts once; signals and exits not at all.
std::map<std::string, double> systemCallsIn(std::istream& log, int tid, double fromS, double toS);

// One line of the simulator's record ("1796713551749944 rx 03 47 06 18 C4 3E"): its time in Unix
// microseconds, what it was (rx, tx, noise, …) and its bytes.
struct RecordLine {
  double us = 0;
  std::string what;
  std::vector<std::uint8_t> bytes;
};
std::optional<RecordLine> parseRecordLine(const std::string& line);

// The kind of a request of the benchmark's buses, from its bytes.
std::optional<Kind> kindOfRequest(const std::vector<std::uint8_t>& request);

// The mean cycle a simulator's record shows: between its first and its last request to address 1 (one
// a poll, whether answered or not), over the polls between. NAN with fewer than two.
double recordedCycleMs(const std::vector<RecordLine>& record);

// The cycle formula over what a simulator's record shows was asked on the line, over the same span as
// `recordedCycleMs`: per cycle 1000 ms and 50 ms a device, per request received 10 ms and its exchange,
// or for a silent device the header's time-out (which noise ends sooner: at its third byte, or 100 ms
// after its last); the 500 ms pause after a reply with a bad CRC and
// after a transaction the line shows failed (the next request came the pause later than the fixed
// waits bring it: noise spoiled it). A failed attempt is taken as long as a clean exchange, though noise
// may end it sooner. The mean a cycle; `spoiledPerCycle` gets the failures a cycle beyond the bad CRCs.
double recordedCycleFormulaMs(const std::vector<RecordLine>& record, unsigned baud, int devices,
                              const Faults& faults, double* spoiledPerCycle = nullptr);

// The search's budget for addresses 1..limit with devices at 1..present: a silent address costs 10 ms
// and five attempts of read time-out (500 + 2 x 3 ms) and 500 ms pause; a present one 10 ms and its
// identification exchange, and a transducer 10 ms and its parameter exchange more. The inter-frame gap
// only once: every later request follows a line quiet for longer than that.
double searchBudgetMs(unsigned baud, int limit, int present);

// The time of a frame-trace line ("2026-12-08T10:05:01.204Z tx 02 05 …") in Unix milliseconds, and
// whether it is a request with that function code.
std::optional<double> tracedRequestMs(const std::string& line, int function);

}  // namespace duz::bench
