#include "figures.h"

#include <time.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <sstream>

namespace duz::bench {

namespace {

double at(const std::vector<double>& sorted, double q) {
  const double rank = q * static_cast<double>(sorted.size() - 1);
  const std::size_t low = static_cast<std::size_t>(rank);
  const std::size_t high = std::min(low + 1, sorted.size() - 1);
  return sorted[low] + (sorted[high] - sorted[low]) * (rank - static_cast<double>(low));
}

// Reply bytes of an identification (3 + data + CRC) and of a parameter request.
constexpr int kIdentReplyController = 13;
constexpr int kIdentReplyOther = 8;
constexpr int kParameterReply = 16;

}  // namespace

Summary summarize(std::vector<double> samples) {
  Summary s;
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  s.count = samples.size();
  s.median = at(samples, 0.5);
  s.p25 = at(samples, 0.25);
  s.p75 = at(samples, 0.75);
  s.p99 = at(samples, 0.99);
  s.min = samples.front();
  s.max = samples.back();
  return s;
}

double characterMs(unsigned baud) {
  return 11.0 * 1000.0 / baud;
}

double gapMs(unsigned baud) {
  return std::max(3.5 * characterMs(baud), 1.75);
}

double wireMs(unsigned baud, int requestBytes, int replyBytes) {
  return (requestBytes + replyBytes) * characterMs(baud);
}

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::ControllerBlock:
      return "controller block (71, 24 channels)";
    case Kind::Transducer:
      return "transducer (71, 1 channel)";
    case Kind::AlarmInputs:
      return "alarm inputs (2, 32 inputs)";
    case Kind::AlarmCoils:
      return "alarm coils (1, 16 coils)";
    case Kind::BlockingCoil:
      return "blocking coil (1, coil 240)";
    case Kind::WriteCoil:
      return "write coil (5)";
  }
  return "?";
}

int requestBytes(Kind kind) {
  return kind == Kind::ControllerBlock || kind == Kind::Transducer ? 6 : 8;
}

int replyBytes(Kind kind) {
  switch (kind) {
    case Kind::ControllerBlock:
      return 5 + 24 * 9;  // 8 text bytes and a status byte a channel
    case Kind::Transducer:
      return 5 + 3;
    case Kind::AlarmInputs:
      return 5 + 4;
    case Kind::AlarmCoils:
      return 5 + 2;
    case Kind::BlockingCoil:
      return 5 + 1;
    case Kind::WriteCoil:
      return 8;
  }
  return 0;
}

Model modelAt(int address) {
  return static_cast<Model>((address - 1) % 5);
}

std::vector<Kind> pollOf(Model model) {
  switch (model) {
    case Model::Controller:
      return {Kind::ControllerBlock};
    case Model::Alarm:
      return {Kind::AlarmInputs, Kind::AlarmCoils, Kind::BlockingCoil};
    default:
      return {Kind::Transducer};
  }
}

double exchangeFormulaMs(unsigned baud, Kind kind) {
  return wireMs(baud, requestBytes(kind), replyBytes(kind)) + gapMs(baud);
}

double cycleFormulaMs(int devices, unsigned baud, const Faults& faults) {
  const auto has = [](const std::vector<int>& list, int a) {
    return std::find(list.begin(), list.end(), a) != list.end();
  };
  constexpr double kHeaderTimeoutMs = 500 + 2 * 3, kPauseMs = 500;
  double ms = 1000;
  for (int address = 1; address <= devices; ++address) {
    ms += 50;
    const std::vector<Kind> kinds = pollOf(modelAt(address));
    // A failed transaction ends the poll of every model but the controller, whose one block is all it reads.
    if (has(faults.silent, address))
      ms += 10 + kHeaderTimeoutMs + kPauseMs;
    else if (has(faults.badCrc, address))
      ms += 10 + exchangeFormulaMs(baud, kinds.front()) + kPauseMs;
    else
      for (Kind k : kinds) ms += 10 + exchangeFormulaMs(baud, k);
  }
  return ms;
}

int transactionsOf(int devices) {
  int n = 0;
  for (int address = 1; address <= devices; ++address) n += static_cast<int>(pollOf(modelAt(address)).size());
  return n;
}

int wakeUpFloor(int devices, const Faults& faults) {
  int floor = 1 + devices + 2 * transactionsOf(devices);
  for (const std::vector<int>* list : {&faults.silent, &faults.badCrc})
    for (int address : *list)
      if (address >= 1 && address <= devices)
        floor += 3 - 2 * static_cast<int>(pollOf(modelAt(address)).size());
  return floor;
}

int twoReadWakeUpFloor(int devices, unsigned baud) {
  int floor = 1 + devices;
  for (int address = 1; address <= devices; ++address)
    for (Kind k : pollOf(modelAt(address))) {
      const double bodyMs = (replyBytes(k) - 3) * characterMs(baud);
      floor += 3 + static_cast<int>(std::ceil(bodyMs / 95)) - 1;
    }
  return floor;
}

Paired pairedDifference(const std::vector<double>& a, const std::vector<double>& b) {
  Paired p;
  const std::size_t n = std::min(a.size(), b.size());
  p.count = n;
  if (n == 0) return p;
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += a[i] - b[i];
  p.mean = sum / static_cast<double>(n);
  if (n < 2) {
    p.low = p.high = p.mean;
    return p;
  }
  double squares = 0;
  for (std::size_t i = 0; i < n; ++i) squares += (a[i] - b[i] - p.mean) * (a[i] - b[i] - p.mean);
  const double sd = std::sqrt(squares / static_cast<double>(n - 1));
  // Two-sided 97.5 % quantiles of Student's t by degrees of freedom; the normal one beyond 30.
  static constexpr double kT[] = {12.706, 4.303, 3.182, 2.776, 2.571, 2.447, 2.365, 2.306, 2.262, 2.228,
                                  2.201,  2.179, 2.160, 2.145, 2.131, 2.120, 2.110, 2.101, 2.093, 2.086,
                                  2.080,  2.074, 2.069, 2.064, 2.060, 2.056, 2.052, 2.048, 2.045, 2.042};
  const std::size_t df = n - 1;
  const double t = df <= std::size(kT) ? kT[df - 1] : 1.96 + 2.4 / static_cast<double>(df);
  const double half = t * sd / std::sqrt(static_cast<double>(n));
  p.low = p.mean - half;
  p.high = p.mean + half;
  return p;
}

std::map<std::string, double> systemCallsIn(std::istream& log, int tid, double fromS, double toS) {
  std::map<std::string, double> calls;
  for (std::string line; std::getline(log, line);) {
    std::istringstream words(line);
    int pid = 0;
    double at = 0;
    std::string call;
    if (!(words >> pid >> at >> call) || (tid != 0 && pid != tid) || at < fromS || at > toS) continue;
    const auto paren = call.find('(');
    if (call.rfind("<...", 0) == 0 || paren == std::string::npos || paren == 0) continue;
    calls[call.substr(0, paren)] += 1;
  }
  return calls;
}

std::optional<Kind> kindOfRequest(const std::vector<std::uint8_t>& r) {
  if (r.size() < 6) return std::nullopt;
  switch (r[1]) {
    case 71:
      return r[3] > 1 ? Kind::ControllerBlock : Kind::Transducer;
    case 2:
      return Kind::AlarmInputs;
    case 1:
      return r[5] == 1 ? Kind::BlockingCoil : Kind::AlarmCoils;
    case 5:
      return Kind::WriteCoil;
    default:
      return std::nullopt;
  }
}

double recordedCycleFormulaMs(const std::vector<RecordLine>& record, unsigned baud, int devices,
                              const Faults& faults, double* spoiledPerCycle) {
  const auto has = [](const std::vector<int>& list, int a) {
    return std::find(list.begin(), list.end(), a) != list.end();
  };
  const double charUs = characterMs(baud) * 1000, gapUs = gapMs(baud) * 1000;
  int lastCycle = -1;  // the polls of address 1 less one: the span's cycles
  for (const RecordLine& r : record)
    if (r.what == "rx" && kindOfRequest(r.bytes) && r.bytes[0] == 1) ++lastCycle;
  int cycles = -1, spoiled = 0;  // counted at each poll's start: the last one only ends the span
  double ms = 0;
  for (std::size_t i = 0; i < record.size(); ++i) {
    const RecordLine& rx = record[i];
    const auto kind = rx.what == "rx" ? kindOfRequest(rx.bytes) : std::nullopt;
    if (!kind) continue;
    const int address = rx.bytes[0];
    if (address == 1) ++cycles;
    if (cycles < 0) continue;
    if (address == 1 && cycles == lastCycle) break;
    ms += 10;
    if (has(faults.silent, address)) {
      // The header's time-out, unless noise comes first: three bytes of it end the read at once, fewer
      // 100 ms after the last.
      const double startUs = rx.us - gapUs;
      double waitMs = 500 + 2 * 3;
      for (std::size_t j = i + 1; j < record.size() && record[j].us - startUs < waitMs * 1000; ++j)
        if (record[j].what == "noise" && !record[j].bytes.empty()) {
          const std::size_t n = std::min<std::size_t>(3, record[j].bytes.size());
          waitMs = std::min(
              waitMs, (record[j].us - startUs + static_cast<double>(n) * charUs) / 1000 + (n < 3 ? 100 : 0));
          break;
        }
      ms += waitMs + 500;
      continue;
    }
    ms += exchangeFormulaMs(baud, *kind);
    // The master pauses 500 ms after a failed transaction: its next request comes that much later than
    // the fixed waits bring it (half of it is the threshold).
    std::size_t reply = i + 1;
    while (reply < record.size() && record[reply].what == "noise") ++reply;
    const bool answered = reply < record.size() && record[reply].what == "tx";
    const double endUs =
        answered ? record[reply].us + static_cast<double>(record[reply].bytes.size()) * charUs : rx.us;
    bool failed = false;
    for (std::size_t j = i + 1; j < record.size(); ++j) {
      const auto next = record[j].what == "rx" ? kindOfRequest(record[j].bytes) : std::nullopt;
      if (!next) continue;
      const int to = record[j].bytes[0];
      const double waitsMs = 10 + (to != address ? 50 : 0) + (to == 1 && to != address ? 1000 : 0) +
                             (requestBytes(*next) * charUs + gapUs) / 1000;
      failed = (record[j].us - endUs) / 1000 > waitsMs + 250;
      break;
    }
    if (failed && !has(faults.badCrc, address)) ++spoiled;
    if (failed || has(faults.badCrc, address)) ms += 500;
  }
  if (cycles <= 0) return NAN;
  if (spoiledPerCycle) *spoiledPerCycle = spoiled / static_cast<double>(cycles);
  return ms / cycles + 1000 + 50.0 * devices;
}

double recordedCycleMs(const std::vector<RecordLine>& record) {
  double first = NAN, last = NAN;
  int polls = 0;
  for (const RecordLine& r : record)
    if (r.what == "rx" && kindOfRequest(r.bytes) && r.bytes[0] == 1) {
      if (polls++ == 0) first = r.us;
      last = r.us;
    }
  return polls < 2 ? NAN : (last - first) / 1000 / (polls - 1);
}

std::optional<RecordLine> parseRecordLine(const std::string& line) {
  std::istringstream words(line);
  RecordLine r;
  long long us = 0;
  if (!(words >> us >> r.what)) return std::nullopt;
  r.us = static_cast<double>(us);
  for (std::string hex; words >> hex;) {
    if (hex.size() != 2 || !std::isxdigit(static_cast<unsigned char>(hex[0])) ||
        !std::isxdigit(static_cast<unsigned char>(hex[1])))
      break;  // a note, or a path after "line"
    r.bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex, nullptr, 16)));
  }
  return r;
}

double searchBudgetMs(unsigned baud, int limit, int present) {
  const double slave = gapMs(baud);  // the instrument's own 3.5 characters before it answers
  // The module's own gap only before the first request: every later one follows 10 ms or 500 ms of a
  // quiet line, which is the gap already.
  double ms = gapMs(baud);
  for (int address = 1; address <= limit; ++address) {
    ms += 10;
    if (address > present) {
      ms += 5 * (500 + 2 * 3 + 500);
      continue;
    }
    const Model m = modelAt(address);
    ms += wireMs(baud, 4, m == Model::Controller ? kIdentReplyController : kIdentReplyOther) + slave;
    if (m != Model::Controller && m != Model::Alarm) ms += 10 + wireMs(baud, 4, kParameterReply) + slave;
  }
  return ms;
}

std::optional<double> tracedRequestMs(const std::string& line, int function) {
  int year, month, day, hour, minute, second, milli;
  unsigned address, code;
  if (std::sscanf(line.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ tx %2x %2x", &year, &month, &day, &hour,
                  &minute, &second, &milli, &address, &code) != 9 ||
      static_cast<int>(code) != function)
    return std::nullopt;
  tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return static_cast<double>(timegm(&t)) * 1000.0 + milli;
}

}  // namespace duz::bench
