#include "sim_bus.h"

#include <cctype>
#include <charconv>
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

// Decimal (optionally negative) or 0x hexadecimal, within [min, max].
std::optional<long long> number(const std::string& text, long long min, long long max) {
  const char* first = text.data();
  const char* last = first + text.size();
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    first += 2;
    base = 16;
  }
  long long value = 0;
  const auto [end, ec] = std::from_chars(first, last, value, base);
  if (ec != std::errc() || end != last || first == last || value < min || value > max) return std::nullopt;
  return value;
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
    auto v = number(words_[i], min, max);
    if (!v)
      error_ = std::string(what) + " must be a number from " + std::to_string(min) + " to " +
               std::to_string(max) + ", not '" + words_[i] + "'";
    return v;
  }

 private:
  const std::vector<std::string>& words_;
  std::string& error_;
};

}  // namespace

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

bool splitWords(const std::string& line, std::vector<std::string>& words, std::string& error) {
  words.clear();
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '#') {
      break;
    } else if (c == '"') {
      std::string word;
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char d = line[i++];
        if (d == '"') {
          closed = true;
          break;
        }
        if (d == '\\' && i < line.size()) {
          d = line[i++];
          if (d == '0') d = '\0';
        }
        word += d;
      }
      if (!closed) {
        error = "a quoted text is not closed";
        return false;
      }
      words.push_back(word);
    } else {
      const std::size_t start = i;
      while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])) && line[i] != '#') ++i;
      words.push_back(line.substr(start, i - start));
    }
  }
  return true;
}

std::string applySetting(Device& d, const std::vector<std::string>& words) {
  std::string error;
  if (words.empty()) return "empty setting";
  const std::string& key = words[0];
  Args args(words, error);
  const Model m = d.model;

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
  if (d.model == Model::Controller) {
    std::string modules = "  modules";
    for (auto code : d.modules) modules += " " + std::to_string(code);
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
      const auto address = number(words[1], 1, 247);
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
