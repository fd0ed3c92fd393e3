#include "sim_bus.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace duz::sim {

namespace {

struct Named {
  const char* keyword;
  int value;
};

constexpr Named kModels[] = {
    {"LUMA-12", static_cast<int>(Model::Controller)},  {"DEK-04", static_cast<int>(Model::Alarm)},
    {"VEKS-1", static_cast<int>(Model::Thermocouple)}, {"VEKS-2", static_cast<int>(Model::Rtd)},
    {"ORTA", static_cast<int>(Model::CurrentLoop)},
};

constexpr Named kFaults[] = {
    {"normal", static_cast<int>(Fault::Normal)},       {"silent", static_cast<int>(Fault::Silent)},
    {"badcrc", static_cast<int>(Fault::BadCrc)},       {"wrongaddr", static_cast<int>(Fault::WrongAddress)},
    {"exception", static_cast<int>(Fault::Exception)}, {"short", static_cast<int>(Fault::Short)},
    {"slow", static_cast<int>(Fault::Slow)},
};

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string hex(unsigned long long value, int digits) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%0*llX", digits, value);
  return buf;
}

// A text for a quoted word, with the escapes splitWords understands.
std::string quoted(const char* bytes, std::size_t n) {
  std::string out = "\"";
  for (std::size_t i = 0; i < n; ++i) {
    const char c = bytes[i];
    if (c == '\0') {
      out += "\\0";
    } else {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
  }
  return out + "\"";
}

bool threeByteModel(Model m) {
  return m != Model::Controller;
}
bool measuringModel(Model m) {
  return m == Model::Thermocouple || m == Model::Rtd || m == Model::CurrentLoop;
}

// Reads the arguments of one setting: `count` numbers within ranges, with a message naming the keyword.
class Args {
 public:
  Args(const std::vector<std::string>& words, std::string& error) : words_(words), error_(error) {}
  bool count(std::size_t min, std::size_t max, const char* usage) {
    const std::size_t n = words_.size() - 1;
    if (n >= min && n <= max) return true;
    error_ = std::string("usage: ") + usage;
    return false;
  }
  std::optional<long long> at(std::size_t i, long long min, long long max, const char* what) {
    auto v = parseNumber(words_[i], min, max);
    if (!v)
      error_ = std::string(what) + " must be a number from " + std::to_string(min) + " to " +
               std::to_string(max) + ", not '" + words_[i] + "'";
    return v;
  }

 private:
  const std::vector<std::string>& words_;
  std::string& error_;
};

// A decimal number with an optional fraction, e.g. 20.5 or -3.
std::optional<double> decimalNumber(const std::string& text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || !std::isfinite(value))
    return std::nullopt;
  return value;
}

std::string applyDrift(Device& d, const std::vector<std::string>& words) {
  const Model m = d.model;
  const char* usage = m == Model::Controller ? "drift channel SLOT CHANNEL LOW HIGH SECONDS | drift off"
                      : m == Model::Alarm    ? "drift input N SECONDS | drift off"
                                             : "drift raw LOW HIGH SECONDS | drift off";
  if (words.size() == 2 && words[1] == "off") {
    d.drifts.clear();
    return {};
  }
  Drift drift;
  std::size_t at = 2;  // first of the numbers after the kind
  if (m == Model::Controller && words.size() == 7 && words[1] == "channel") {
    const auto slot = parseNumber(words[2], 0, 7), channel = parseNumber(words[3], 0, 5);
    if (!slot || !channel) return "the slot is 0..7 and the channel 0..5";
    drift.what = Drift::What::Channel;
    drift.slot = static_cast<int>(*slot);
    drift.channel = static_cast<int>(*channel);
    at = 4;
  } else if (m == Model::Alarm && words.size() == 4 && words[1] == "input") {
    const auto input = parseNumber(words[2], 0, 31);
    if (!input) return "the input number is 0..31";
    drift.what = Drift::What::Input;
    drift.channel = static_cast<int>(*input);
    at = 3;
  } else if (measuringModel(m) && words.size() == 5 && words[1] == "raw") {
    drift.what = Drift::What::Raw;
  } else {
    return std::string("usage: ") + usage;
  }
  if (drift.what != Drift::What::Input) {
    const auto low = decimalNumber(words[at]), high = decimalNumber(words[at + 1]);
    if (!low || !high) return "LOW and HIGH must be numbers, not '" + words[at] + "' '" + words[at + 1] + "'";
    const double limit = drift.what == Drift::What::Raw ? 32767 : 99999;
    if (std::fabs(*low) > limit || std::fabs(*high) > limit)
      return "LOW and HIGH must lie within -" + std::to_string(static_cast<int>(limit)) + ".." +
             std::to_string(static_cast<int>(limit));
    drift.low = *low;
    drift.high = *high;
    at += 2;
  }
  const auto period = decimalNumber(words[at]);
  if (!period || *period < 0.1 || *period > 86400) return "SECONDS must be from 0.1 to 86400";
  drift.periodS = *period;
  d.drifts.push_back(drift);
  return {};
}

std::string driftLine(const Drift& drift) {
  char line[128];
  switch (drift.what) {
    case Drift::What::Channel:
      std::snprintf(line, sizeof line, "  drift channel %d %d %g %g %g", drift.slot, drift.channel, drift.low,
                    drift.high, drift.periodS);
      break;
    case Drift::What::Input:
      std::snprintf(line, sizeof line, "  drift input %d %g", drift.channel, drift.periodS);
      break;
    case Drift::What::Raw:
      std::snprintf(line, sizeof line, "  drift raw %g %g %g", drift.low, drift.high, drift.periodS);
      break;
  }
  return line;
}

}  // namespace

void animate(Device& d, double seconds) {
  constexpr double kTwoPi = 6.283185307179586;
  for (const Drift& drift : d.drifts) {
    const double phase = std::fmod(seconds, drift.periodS) / drift.periodS;
    if (drift.what == Drift::What::Input) {
      const std::uint32_t bit = 1u << drift.channel;
      d.inputs = std::fmod(seconds / drift.periodS, 2.0) < 1.0 ? d.inputs | bit : d.inputs & ~bit;
      continue;
    }
    // From the middle up to HIGH, down to LOW and back within one period.
    const double value =
        (drift.low + drift.high) / 2 + (drift.high - drift.low) / 2 * std::sin(kTwoPi * phase);
    if (drift.what == Drift::What::Raw) {
      d.raw = static_cast<std::int16_t>(std::lround(value));
    } else {
      // Right-aligned in 8 characters with two decimals, as the controller sends its values.
      char text[32];
      std::snprintf(text, sizeof text, "%7.2f ", value);
      auto& cell = d.texts[drift.slot][drift.channel];
      const std::size_t n = std::strlen(text) < 8 ? std::strlen(text) : 8;
      cell.fill(' ');
      std::memcpy(cell.data() + 8 - n, text, n);
    }
  }
}

Device makeDevice(int address, Model model) {
  Device d;
  d.address = address;
  d.model = model;
  for (auto& slot : d.texts)
    for (auto& text : slot) std::memcpy(text.data(), "    0.0 ", 8);
  switch (model) {
    case Model::Controller:
      break;
    case Model::Alarm:
      d.ident = {98, 52, 0};
      break;  // variant 9852
    case Model::Thermocouple:
      d.ident = {1, 0, 102};
      break;
    case Model::Rtd:
      d.ident = {1, 0, 101};
      break;
    case Model::CurrentLoop:
      d.ident = {1, 0, 100};
      break;
  }
  return d;
}

std::optional<Model> modelFromKeyword(const std::string& word) {
  for (const Named& n : kModels)
    if (upper(word) == n.keyword) return static_cast<Model>(n.value);
  return std::nullopt;
}

const char* modelKeyword(Model model) {
  for (const Named& n : kModels)
    if (n.value == static_cast<int>(model)) return n.keyword;
  return "?";
}

std::optional<Fault> faultFromKeyword(const std::string& word) {
  for (const Named& n : kFaults)
    if (word == n.keyword) return static_cast<Fault>(n.value);
  return std::nullopt;
}

const char* faultKeyword(Fault fault) {
  for (const Named& n : kFaults)
    if (n.value == static_cast<int>(fault)) return n.keyword;
  return "?";
}

std::string applySetting(Device& d, const std::vector<std::string>& words) {
  std::string error;
  if (words.empty()) return "empty setting";
  const std::string& key = words[0];
  Args args(words, error);
  const Model m = d.model;

  if (key == "drift") return applyDrift(d, words);
  if (key == "fault") {
    if (!args.count(1, 2, "fault normal|silent|badcrc|wrongaddr|exception|short|slow [MS]")) return error;
    const auto f = faultFromKeyword(words[1]);
    if (!f) return "unknown fault '" + words[1] + "'";
    if (words.size() == 3) {
      if (*f != Fault::Slow) return "only a slow reply takes a delay";
      const auto ms = args.at(2, 1, 60000, "the delay in ms");
      if (!ms) return error;
      d.slowMs = static_cast<int>(*ms);
    }
    d.fault = *f;
    return {};
  }
  if (m == Model::Controller) {
    if (key == "modules") {
      if (!args.count(8, 8, "modules CODE0 … CODE7 (module type per slot, 0 = empty)")) return error;
      std::array<std::uint8_t, 8> codes{};
      for (std::size_t s = 0; s < 8; ++s) {
        const auto v = args.at(s + 1, 0, 255, "a module type");
        if (!v) return error;
        codes[s] = static_cast<std::uint8_t>(*v);
      }
      d.modules = codes;
      return {};
    }
    if (key == "channel") {
      if (!args.count(3, 4, "channel SLOT CHANNEL \"TEXT\" [STATUS]")) return error;
      const auto slot = args.at(1, 0, 7, "the slot");
      if (!slot) return error;
      const auto channel = args.at(2, 0, 5, "the channel");
      if (!channel) return error;
      const std::string& text = words[3];
      if (text.size() > 8) return "a channel text has at most 8 characters: \"" + text + "\"";
      std::optional<long long> status = d.statuses[*slot][*channel];
      if (words.size() == 5 && !(status = args.at(4, 0, 255, "the status byte"))) return error;
      auto& cell = d.texts[*slot][*channel];
      cell.fill(' ');  // right-aligned, as the controller sends its values
      std::memcpy(cell.data() + 8 - text.size(), text.data(), text.size());
      d.statuses[*slot][*channel] = static_cast<std::uint8_t>(*status);
      return {};
    }
  }
  if (threeByteModel(m) && key == "ident") {
    if (!args.count(2, 3, "ident D0 D1 [D2]")) return error;
    std::array<std::uint8_t, 3> ident = d.ident;
    for (std::size_t i = 1; i < words.size(); ++i) {
      const auto v = args.at(i, 0, 255, "an identification byte");
      if (!v) return error;
      ident[i - 1] = static_cast<std::uint8_t>(*v);
    }
    d.ident = ident;
    return {};
  }
  if (m == Model::Alarm) {
    if (key == "inputs" || key == "coils") {
      const bool in = key == "inputs";
      if (!args.count(1, 1, in ? "inputs BITS (bit i = input i)" : "coils BITS (bit i = coil i)"))
        return error;
      const auto v = args.at(1, 0, in ? 0xFFFFFFFFLL : 0xFFFF, in ? "the input bits" : "the coil bits");
      if (!v) return error;
      if (in) {
        d.inputs = static_cast<std::uint32_t>(*v);
      } else {
        d.coils = static_cast<std::uint16_t>(*v);
      }
      return {};
    }
    if (key == "input") {
      if (!args.count(2, 2, "input N 0|1")) return error;
      const auto n = args.at(1, 0, 31, "the input number");
      if (!n) return error;
      const auto v = args.at(2, 0, 1, "the input state");
      if (!v) return error;
      d.inputs = *v ? d.inputs | (1u << *n) : d.inputs & ~(1u << *n);
      return {};
    }
    if (key == "coil") {
      if (!args.count(2, 2, "coil N 0|1 (N 0..15 or 240)")) return error;
      const auto n = args.at(1, 0, 240, "the coil number");
      if (!n) return error;
      if (*n > 15 && *n != 240) return "the instrument has coils 0 to 15 and 240, not " + words[1];
      const auto v = args.at(2, 0, 1, "the coil state");
      if (!v) return error;
      if (*n == 240) {
        d.coil240 = *v != 0;
      } else {
        const auto bit = static_cast<std::uint16_t>(1u << *n);
        d.coils = static_cast<std::uint16_t>(*v ? d.coils | bit : d.coils & ~bit);
      }
      return {};
    }
  }
  if (measuringModel(m)) {
    struct Field {
      const char* key;
      long long min, max;
    };
    static constexpr Field kFields[] = {{"alarm", 0, 255},
                                        {"setpoint1", -32768, 65535},
                                        {"setpoint2", -32768, 65535},
                                        {"sensor", 0, 255},
                                        {"conversion", 0, 255},
                                        {"range", 0, 255},
                                        {"raw", -32768, 65535},
                                        {"status", 0, 255}};
    for (const Field& f : kFields) {
      if (key != f.key) continue;
      if (!args.count(1, 1, (key + " VALUE").c_str())) return error;
      const auto v = args.at(1, f.min, f.max, ("the " + key).c_str());
      if (!v) return error;
      const auto u8 = static_cast<std::uint8_t>(*v);
      const auto u16 = static_cast<std::uint16_t>(*v);
      if (key == "alarm") d.alarmType = u8;
      if (key == "setpoint1") d.setpoint1 = u16;
      if (key == "setpoint2") d.setpoint2 = u16;
      if (key == "sensor" || key == "conversion") d.sensor = u8;
      if (key == "range") d.range = u8;
      if (key == "raw") d.raw = static_cast<std::int16_t>(u16);
      if (key == "status") d.status = u8;
      return {};
    }
  }
  return "'" + key + "' is no setting of a " + modelKeyword(m);
}

std::vector<std::string> describe(const Device& d) {
  std::vector<std::string> lines;
  lines.push_back("device " + std::to_string(d.address) + " " + modelKeyword(d.model));
  std::string fault = std::string("  fault ") + faultKeyword(d.fault);
  if (d.fault == Fault::Slow) fault += " " + std::to_string(d.slowMs);
  lines.push_back(fault);
  for (const Drift& drift : d.drifts) lines.push_back(driftLine(drift));
  if (d.model == Model::Controller) {
    std::string modules = "  modules";
    for (auto code : d.modules) {
      // Appended piece by piece: GCC 12 at -O3 misreads " " + text here as an overlapping copy.
      modules += ' ';
      modules += std::to_string(code);
    }
    lines.push_back(modules);
    for (int s = 0; s < 8; ++s) {
      if (!d.modules[s]) continue;
      for (int c = 0; c < 6; ++c)
        lines.push_back("  channel " + std::to_string(s) + " " + std::to_string(c) + " " +
                        quoted(d.texts[s][c].data(), 8) + " " + hex(d.statuses[s][c], 2));
    }
    return lines;
  }
  lines.push_back("  ident " + std::to_string(d.ident[0]) + " " + std::to_string(d.ident[1]) + " " +
                  std::to_string(d.ident[2]));
  if (d.model == Model::Alarm) {
    lines.push_back("  inputs " + hex(d.inputs, 8));
    lines.push_back("  coils " + hex(d.coils, 4));
    lines.push_back(std::string("  coil 240 ") + (d.coil240 ? "1" : "0"));
    return lines;
  }
  lines.push_back("  alarm " + std::to_string(d.alarmType));
  lines.push_back("  setpoint1 " + std::to_string(d.setpoint1));
  lines.push_back("  setpoint2 " + std::to_string(d.setpoint2));
  lines.push_back(std::string(d.model == Model::CurrentLoop ? "  conversion " : "  sensor ") +
                  std::to_string(d.sensor));
  lines.push_back("  range " + std::to_string(d.range));
  lines.push_back("  raw " + std::to_string(d.raw));
  lines.push_back("  status " + hex(d.status, 2));
  return lines;
}

bool parseBus(std::istream& in, const std::string& name, Bus& bus, std::string& error) {
  std::string line;
  std::vector<std::string> words;
  Device* current = nullptr;
  for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
    std::string problem;
    const auto fail = [&](const std::string& message) {
      error = name + ":" + std::to_string(lineNumber) + ": " + message;
      return false;
    };
    if (!splitWords(line, words, problem)) return fail(problem);
    if (words.empty()) continue;
    if (words[0] == "device") {
      if (words.size() != 3) return fail("usage: device ADDRESS MODEL");
      const auto address = parseNumber(words[1], 1, 247);
      if (!address) return fail("a bus address is a number from 1 to 247, not '" + words[1] + "'");
      const auto model = modelFromKeyword(words[2]);
      if (!model) return fail("unknown model '" + words[2] + "' (LUMA-12, DEK-04, VEKS-1, VEKS-2, ORTA)");
      if (bus.count(static_cast<int>(*address)))
        return fail("address " + words[1] + " is already taken by another device");
      current = &(bus[static_cast<int>(*address)] = makeDevice(static_cast<int>(*address), *model));
      continue;
    }
    if (!current) return fail("'" + words[0] + "' before the first 'device' line");
    problem = applySetting(*current, words);
    if (!problem.empty()) return fail(problem);
  }
  return true;
}

}  // namespace duz::sim
