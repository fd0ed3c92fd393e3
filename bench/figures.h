// The benchmark's arithmetic: summaries of samples, what the specified waits and the line speed give
// for an exchange, a cycle and a search, and reading the module's frame trace.
#pragma once

#include <cstdint>
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

// The cycle the specified waits give: 1000 ms, and per device 50 ms, and per transaction 10 ms and
// its exchange (`exchangeMs` by kind).
double cycleFormulaMs(int devices, const std::vector<double>& exchangeMs);

// The search's budget for addresses 1..limit with devices at 1..present: a silent address costs 10 ms
// and five attempts of read time-out (500 + 2 x 3 ms) and 500 ms pause; a present one 10 ms and its
// identification exchange, and a transducer 10 ms and its parameter exchange more. The inter-frame gap
// only once: every later request follows a line quiet for longer than that.
double searchBudgetMs(unsigned baud, int limit, int present);

// The time of a frame-trace line ("2026-12-08T10:05:01.204Z tx 02 05 …") in Unix milliseconds, and
// whether it is a request with that function code.
std::optional<double> tracedRequestMs(const std::string& line, int function);

}  // namespace duz::bench
