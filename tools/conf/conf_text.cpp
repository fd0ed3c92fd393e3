#include "conf_text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "bus_words.h"
#include "model/catalogue.h"
#include "model/cp1251.h"

namespace duz::conf {

const char* const kTextFormat = R"(Text description (duzevod-conf make)
  One setting a line; blanks separate words; "double quotes" keep blanks; # starts a comment. Texts
  are UTF-8. Numbers are decimal or 0x hexadecimal.

  port NAME                  the serial port (required): COM2, COM10, /dev/ttyUSB0 ...
  speed 9600|19200|57600|115200   line settings as the dialog offers them
  parity N|E|O               (defaults: 9600, N, 2 stop bits)
  stop 1|2
  settings "TEXT"            instead of speed, parity and stop: the settings text as it is stored,
                             e.g. "baud=38400 parity=N data=8 stop=1"
  description "TEXT"         the configuration's description, one line each; several lines are
                             joined by line feeds (default: the date and time now, as the module
                             writes it after a search)

  device ADDRESS MODEL       an instrument at bus address 1..31; MODEL is LUMA-12, DEK-04, VEKS-1,
                             VEKS-2 or ORTA (or the Cyrillic name). The lines after it set it up.
                             Devices take slots in the order of their addresses, as after a search.
    LUMA-12:
      modules M1 ... M8      module type of slots 1 to 8: 0 (empty), 1 BRUN, 2 GELT, 3 DORF,
                             4 ZALS (numbers or names; default all empty)
    DEK-04:
      variant CODE           the variant's four digits (required), e.g. 9852
    VEKS-1, VEKS-2:
      sensor TYPE            sensor type number (VEKS-1 0..9, VEKS-2 0..5) or name, e.g. "Pt 100"
                             (required)
      range INDEX            the measuring range by its index for the sensor type, or
      range LOW HIGH         by its ends in degrees Celsius, e.g. range -50 200 (required)
      alarm TYPE             Min/Max (0, the default), Min/Min (1) or Max/Max (2)
      setpoint1 VALUE        raw value (-32768..65535) or degrees with a unit: 150C, "150 °C"
      setpoint2 VALUE        (default raw 0)
      ident D0 D1            the first two identification bytes the device reports (default 0 0)
    ORTA:
      conversion root|linear square-root (0) or linear (1) (required)
      alarm TYPE             as above
      setpoint1 VALUE        raw value (0..65535) or percent: 75%, "62.5 %"
      setpoint2 VALUE
      range N                the seventh parameter byte (default 0)
      ident D0 D1            as above

  Example:
    port COM2
    speed 19200
    device 1 LUMA-12
      modules BRUN 0 GELT 0 0 ZALS 0 0
    device 2 DEK-04
      variant 9852
    device 3 VEKS-1
      sensor 2             # ТХA (K)
      range -50 200
      alarm Min/Max
      setpoint1 150C
      setpoint2 -20C
    device 5 ORTA
      conversion linear
      setpoint1 80%
      setpoint2 95%
)";

namespace {

using sim::parseNumber;

constexpr std::size_t kMaxSettings = sizeof(Settings::portSettings) - 1;
constexpr std::size_t kMaxPortName = sizeof(Settings::portName) - 1;
constexpr std::size_t kMaxDescription = 255;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A UTF-8 text as CP1251; nothing when it holds a character the code page does not have, or a NUL: the
// module reads every text of the file only up to its first NUL, so it would restore something else.
std::optional<std::string> toCp1251(const std::string& utf8) {
  if (utf8.find('\0') != std::string::npos) return std::nullopt;
  std::string out = utf8ToCp1251(utf8);
  if (cp1251ToUtf8(out) != utf8) return std::nullopt;
  return out;
}

std::optional<DeviceKind> modelFromWord(const std::string& word) {
  for (const DeviceKind k : {DeviceKind::Controller, DeviceKind::AlarmInstrument, DeviceKind::Thermocouple,
                             DeviceKind::ResistanceThermometer, DeviceKind::CurrentLoop}) {
    if (lower(word) == lower(std::string(modelLatin(k)))) return k;
  }
  if (const auto text = toCp1251(word)) return modelKind(*text);
  return std::nullopt;
}

std::optional<double> decimal(const std::string& text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || !std::isfinite(value))
    return std::nullopt;
  return value;
}

// A setpoint as written: a raw value, or degrees or percent to be scaled once the range is known.
struct Setpoint {
  enum class Unit { Raw, Degrees, Percent };
  Unit unit = Unit::Raw;
  double value = 0;
  int line = 0;
  std::string text;
};

struct PendingDevice {
  int line = 0;
  int address = 0;
  DeviceKind kind = DeviceKind::Controller;
  std::map<std::string, int> seen;  // setting -> line
  std::array<std::uint8_t, 8> modules{};
  std::string variant;
  std::optional<int> sensor;
  std::optional<int> rangeIndex;
  std::optional<std::pair<long long, long long>> rangeEnds;
  int alarm = 0;
  Setpoint setpoint1, setpoint2;
  std::uint8_t ident0 = 0, ident1 = 0;
  std::optional<int> conversion;
  std::uint8_t parameter7 = 0;
};

const char* settingsOf(DeviceKind kind) {
  switch (kind) {
    case DeviceKind::Controller:
      return "modules";
    case DeviceKind::AlarmInstrument:
      return "variant";
    case DeviceKind::Thermocouple:
    case DeviceKind::ResistanceThermometer:
      return "sensor, range, alarm, setpoint1, setpoint2, ident";
    case DeviceKind::CurrentLoop:
      return "conversion, alarm, setpoint1, setpoint2, range, ident";
  }
  return "";
}

bool isTransducer(DeviceKind kind) {
  return kind == DeviceKind::Thermocouple || kind == DeviceKind::ResistanceThermometer;
}

// Copies a text and its NUL into a cell, as the search writes it.
void putCellText(DeviceConfig& record, int c, std::string_view text) {
  const std::size_t n = std::min<std::size_t>(text.size(), kCellSize - 1);
  std::memcpy(record.cells[c], text.data(), n);
  record.cells[c][n] = 0;
}

class Parser {
 public:
  // Room for every device up front: `current_` points into the list.
  explicit Parser(const std::string& name) : name_(name) { devices_.reserve(kSlots); }

  bool line(int number, std::vector<std::string>& words) {
    const std::string key = words[0];
    if (key == "device") return device(number, words);
    if (key == "port" || key == "settings" || key == "speed" || key == "parity" || key == "stop" ||
        key == "description") {
      if (current_) return fail(number, "'" + key + "' belongs before the first device line");
      return port(number, words);
    }
    if (!current_) return fail(number, "'" + key + "' before the first device line");
    return setting(number, words);
  }

  bool finish(ConfigText& out) {
    if (!portName_) return fail(lastLine_, "no port line: the port the devices are on is required");
    if (devices_.empty()) return fail(lastLine_, "no device line: a configuration holds 1 to 31 devices");
    std::string settings = settings_.value_or("");
    if (!settings_) {
      settings = "baud=" + std::to_string(speed_.value_or(9600)) + " parity=" + parity_.value_or('N') +
                 " data=8 stop=" + std::to_string(stop_.value_or(2));
    }
    std::stable_sort(devices_.begin(), devices_.end(),
                     [](const PendingDevice& a, const PendingDevice& b) { return a.address < b.address; });
    ConfigContents& c = out.contents;
    c = ConfigContents{};
    c.count = static_cast<std::int32_t>(devices_.size());
    for (std::size_t i = 0; i < devices_.size(); ++i)
      if (!record(devices_[i], c.records[i])) return false;
    c.portSettings = settings;
    c.portName = *portName_;
    out.descriptionGiven = description_.has_value();
    c.description = description_.value_or("");
    return true;
  }

  void setLastLine(int line) { lastLine_ = line; }
  const std::string& error() const { return error_; }

 private:
  bool fail(int line, const std::string& message) {
    error_ = name_ + ":" + std::to_string(line) + ": " + message;
    return false;
  }

  bool port(int number, const std::vector<std::string>& words) {
    const std::string& key = words[0];
    if (words.size() != 2)
      return fail(number,
                  "usage: " + key + (key == "settings" || key == "description" ? " \"TEXT\"" : " VALUE"));
    const std::string& value = words[1];
    if (key == "port") {
      if (portName_) return fail(number, "the port is given twice");
      const auto text = toCp1251(value);
      if (!text || text->empty() || text->size() > kMaxPortName)
        return fail(number, "a port name is 1 to " + std::to_string(kMaxPortName) +
                                " characters of code page 1251, not '" + value + "'");
      portName_ = *text;
    } else if (key == "settings") {
      if (settings_ || speed_ || parity_ || stop_) return fail(number, settingsTwice());
      if (value.empty() || value.size() > kMaxSettings || !toCp1251(value) || *toCp1251(value) != value)
        return fail(number, "a settings text is 1 to " + std::to_string(kMaxSettings) + " plain characters");
      settings_ = value;
    } else if (key == "speed") {
      const auto speed = parseNumber(value, 0, 0xFFFFFFF);
      if (!speed || (*speed != 9600 && *speed != 19200 && *speed != 57600 && *speed != 115200))
        return fail(
            number,
            "the speed is 9600, 19200, 57600 or 115200 (other speeds: a settings line), not '" + value + "'");
      if (settings_ || speed_) return fail(number, settingsTwice());
      speed_ = static_cast<int>(*speed);
    } else if (key == "parity") {
      const std::string p = lower(value);
      const char letter = p == "n" || p == "none"   ? 'N'
                          : p == "e" || p == "even" ? 'E'
                          : p == "o" || p == "odd"  ? 'O'
                                                    : 0;
      if (!letter) return fail(number, "the parity is N, E or O, not '" + value + "'");
      if (settings_ || parity_) return fail(number, settingsTwice());
      parity_ = letter;
    } else if (key == "stop") {
      if (value != "1" && value != "2") return fail(number, "stop bits are 1 or 2, not '" + value + "'");
      if (settings_ || stop_) return fail(number, settingsTwice());
      stop_ = value[0] - '0';
    } else {
      const auto text = toCp1251(value);
      if (!text) return fail(number, "the description holds a character that code page 1251 does not have");
      std::string joined = description_ ? *description_ + "\n" + *text : *text;
      if (joined.size() > kMaxDescription)
        return fail(number, "the description is longer than " + std::to_string(kMaxDescription) + " bytes");
      description_ = joined;
    }
    return true;
  }

  static std::string settingsTwice() {
    return "the line settings are given twice (a settings line replaces speed, parity and stop)";
  }

  bool device(int number, const std::vector<std::string>& words) {
    if (words.size() != 3) return fail(number, "usage: device ADDRESS MODEL");
    const auto address = parseNumber(words[1], 1, kSlots);
    if (!address) return fail(number, "a bus address is a number from 1 to 31, not '" + words[1] + "'");
    const auto kind = modelFromWord(words[2]);
    if (!kind)
      return fail(number, "unknown model '" + words[2] + "' (LUMA-12, DEK-04, VEKS-1, VEKS-2, ORTA)");
    for (const PendingDevice& d : devices_)
      if (d.address == *address)
        return fail(number, "address " + words[1] + " is already taken by the device on line " +
                                std::to_string(d.line));
    if (devices_.size() == static_cast<std::size_t>(kSlots)) return fail(number, "more than 31 devices");
    PendingDevice d;
    d.line = number;
    d.address = static_cast<int>(*address);
    d.kind = *kind;
    devices_.push_back(d);
    current_ = &devices_.back();
    return true;
  }

  bool setting(int number, const std::vector<std::string>& words) {
    PendingDevice& d = *current_;
    const std::string& key = words[0];
    const std::string model(modelLatin(d.kind));
    const auto usage = [&](const std::string& text) { return fail(number, "usage: " + text); };
    if (const auto it = d.seen.find(key); it != d.seen.end())
      return fail(number,
                  key + " is given twice for this device (first on line " + std::to_string(it->second) + ")");
    d.seen[key] = number;

    if (d.kind == DeviceKind::Controller && key == "modules") {
      if (words.size() != 9) return usage("modules M1 M2 M3 M4 M5 M6 M7 M8");
      for (int s = 0; s < 8; ++s) {
        const std::string& w = words[s + 1];
        std::optional<long long> code = parseNumber(w, 0, 4);
        for (int k = 1; k <= 4 && !code; ++k)
          if (lower(w) == lower(std::string(moduleTypeLatin(k)))) code = k;
        if (!code && toCp1251(w))
          for (int k = 1; k <= 4 && !code; ++k)
            if (*toCp1251(w) == moduleTypeName(k)) code = k;
        if (!code)
          return fail(number, "module " + std::to_string(s + 1) + ": '" + w +
                                  "' is no module type (0 empty, 1 BRUN, 2 GELT, 3 DORF, 4 ZALS)");
        d.modules[s] = static_cast<std::uint8_t>(*code);
      }
      return true;
    }
    if (d.kind == DeviceKind::AlarmInstrument && key == "variant") {
      if (words.size() != 2) return usage("variant CODE");
      const std::string& code = words[1];
      const bool digits = code.size() == 4 && std::all_of(code.begin(), code.end(), [](char c) {
                            return std::isdigit(static_cast<unsigned char>(c));
                          });
      if (!digits || !findAlarmVariant(code.c_str())) {
        std::string known;
        for (const AlarmVariant& v : alarmVariantTable())
          known += std::string(known.empty() ? "" : ", ") + v.code();
        return fail(number, "'" + code + "' is no variant of the DEK-04 (" + known + ")");
      }
      d.variant = code;
      return true;
    }
    const bool measuring = isTransducer(d.kind) || d.kind == DeviceKind::CurrentLoop;
    if (measuring && key == "alarm") {
      if (words.size() != 2) return usage("alarm Min/Max|Min/Min|Max/Max");
      std::optional<long long> type = parseNumber(words[1], 0, 2);
      for (int k = 0; k <= 2 && !type; ++k)
        if (lower(words[1]) == lower(std::string(alarmTypeName(k)))) type = k;
      if (!type)
        return fail(number,
                    "the alarm type is Min/Max, Min/Min or Max/Max (0, 1, 2), not '" + words[1] + "'");
      d.alarm = static_cast<int>(*type);
      return true;
    }
    if (measuring && (key == "setpoint1" || key == "setpoint2")) {
      if (words.size() < 2 || words.size() > 3) return usage(key + " VALUE");
      return setpoint(number, d, key == "setpoint1" ? d.setpoint1 : d.setpoint2, words);
    }
    if (measuring && key == "ident") {
      if (words.size() != 3) return usage("ident D0 D1");
      const auto d0 = parseNumber(words[1], 0, 255), d1 = parseNumber(words[2], 0, 255);
      if (!d0 || !d1) return fail(number, "identification bytes are 0..255");
      d.ident0 = static_cast<std::uint8_t>(*d0);
      d.ident1 = static_cast<std::uint8_t>(*d1);
      return true;
    }
    if (isTransducer(d.kind) && key == "sensor") {
      if (words.size() != 2) return usage("sensor TYPE");
      const int types = d.kind == DeviceKind::Thermocouple ? kThermocoupleTypes : kResistanceTypes;
      std::optional<long long> type = parseNumber(words[1], 0, types - 1);
      if (const auto text = toCp1251(words[1]))
        for (int t = 0; t < types && !type; ++t)
          if (*text == sensorTypeName(d.kind, t)) type = t;
      if (!type) {
        std::string names;
        for (int t = 0; t < types; ++t)
          names += (t ? ", " : "") + std::to_string(t) + " " + cp1251ToUtf8(sensorTypeName(d.kind, t));
        return fail(number, "'" + words[1] + "' is no sensor type of the " + model + " (" + names + ")");
      }
      d.sensor = static_cast<int>(*type);
      return true;
    }
    if (isTransducer(d.kind) && key == "range") {
      if (words.size() == 2) {
        const auto index = parseNumber(words[1], 0, 255);
        if (!index) return fail(number, "a range index is a number, not '" + words[1] + "'");
        d.rangeIndex = static_cast<int>(*index);
      } else if (words.size() == 3) {
        const auto low = parseNumber(words[1], -1000000, 1000000),
                   high = parseNumber(words[2], -1000000, 1000000);
        if (!low || !high) return fail(number, "the range's ends are whole degrees, e.g. range -50 200");
        d.rangeEnds = std::make_pair(*low, *high);
      } else {
        return usage("range INDEX | range LOW HIGH");
      }
      return true;
    }
    if (d.kind == DeviceKind::CurrentLoop && key == "conversion") {
      if (words.size() != 2) return usage("conversion root|linear");
      const std::string w = lower(words[1]);
      if (w == "0" || w == "root" || w == "square-root" || w == "sqrt") {
        d.conversion = 0;
      } else if (w == "1" || w == "linear") {
        d.conversion = 1;
      } else {
        return fail(number, "the conversion is root (0) or linear (1), not '" + words[1] + "'");
      }
      return true;
    }
    if (d.kind == DeviceKind::CurrentLoop && key == "range") {
      if (words.size() != 2) return usage("range N");
      const auto value = parseNumber(words[1], 0, 255);
      if (!value) return fail(number, "the range byte is 0..255, not '" + words[1] + "'");
      d.parameter7 = static_cast<std::uint8_t>(*value);
      return true;
    }
    return fail(number, "'" + key + "' is no setting of a " + model + " (" + settingsOf(d.kind) + ")");
  }

  bool setpoint(int number, const PendingDevice& d, Setpoint& s, const std::vector<std::string>& words) {
    // "150 °C", 150 °C and 150°C alike.
    std::string text = words[1] + (words.size() == 3 ? words[2] : "");
    std::erase_if(text, [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
    s.line = number;
    s.text = words[1] + (words.size() == 3 ? " " + words[2] : "");
    const auto endsWith = [&](const std::string& suffix) {
      return text.size() > suffix.size() &&
             text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    std::string figure;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (!hex && (endsWith("°C") || endsWith("C") || endsWith("c"))) {
      if (!isTransducer(d.kind))
        return fail(number, "a setpoint of the ORTA is raw or in percent, not '" + s.text + "'");
      s.unit = Setpoint::Unit::Degrees;
      figure = text.substr(0, text.size() - (endsWith("°C") ? std::strlen("°C") : 1));
    } else if (endsWith("%")) {
      if (d.kind != DeviceKind::CurrentLoop)
        return fail(number, "a setpoint of the " + std::string(modelLatin(d.kind)) +
                                " is raw or in degrees, not '" + s.text + "'");
      s.unit = Setpoint::Unit::Percent;
      figure = text.substr(0, text.size() - 1);
    } else {
      const auto raw = parseNumber(text, d.kind == DeviceKind::CurrentLoop ? 0 : -32768, 65535);
      if (!raw)
        return fail(number, "'" + s.text + "' is no setpoint: a raw 16-bit value, or a value with its unit");
      s.value = static_cast<double>(*raw);
      return true;
    }
    const auto value = decimal(figure);
    if (!value) return fail(number, "'" + s.text + "' is no setpoint: the number before the unit is missing");
    s.value = *value;
    return true;
  }

  // The raw 16-bit setpoint; false (with the error set) when the value does not fit.
  bool rawSetpoint(const Setpoint& s, std::optional<Range> range, std::uint16_t& raw) {
    long long value = 0;
    switch (s.unit) {
      case Setpoint::Unit::Raw:
        value = static_cast<long long>(s.value);
        break;
      case Setpoint::Unit::Degrees:
        // The inverse of low + (high - low) x raw / 8192.
        value = std::llround((s.value - range->low) * 8192.0 / (range->high - range->low));
        if (value < -32768 || value > 32767)
          return fail(s.line, "'" + s.text + "' lies too far outside the range " +
                                  std::to_string(range->low) + " .. " + std::to_string(range->high) +
                                  " °C to be stored");
        break;
      case Setpoint::Unit::Percent:
        value = std::llround(s.value * 16383.0 / 100.0);
        if (value < 0 || value > 65535)
          return fail(s.line, "'" + s.text + "' is outside what the ORTA can store (0 .. 400 %)");
        break;
    }
    raw = static_cast<std::uint16_t>(value);
    return true;
  }

  bool record(const PendingDevice& d, DeviceConfig& r) {
    const std::string at = "the " + std::string(modelLatin(d.kind)) + " at address " +
                           std::to_string(d.address) + " (line " + std::to_string(d.line) + ")";
    r = DeviceConfig{};
    r.byte0(cell::kBusAddress) = static_cast<std::uint8_t>(d.address);
    putCellText(r, cell::kModelName, modelText(d.kind));
    switch (d.kind) {
      case DeviceKind::Controller: {
        // Digit k of the variant code counts the fitted modules of type k.
        char variant[5] = {'0', '0', '0', '0', 0};
        for (int s = 0; s < 8; ++s) {
          r.byte0(cell::kSlotModule0 + s) = d.modules[s];
          if (d.modules[s] >= 1) ++variant[d.modules[s] - 1];
        }
        std::memcpy(r.cells[cell::kControllerVariant], variant, sizeof variant);
        return true;
      }
      case DeviceKind::AlarmInstrument:
        if (d.variant.empty()) return fail(d.line, at + " needs its variant line");
        r.byte0(cell::kIdentBytes1) = static_cast<std::uint8_t>(std::stoi(d.variant.substr(0, 2)));
        r.byte0(cell::kIdentBytes1 + 1) = static_cast<std::uint8_t>(std::stoi(d.variant.substr(2, 2)));
        putCellText(r, cell::kAlarmVariant, d.variant);
        return true;
      default:
        break;
    }

    std::optional<Range> range;
    int rangeIndex = d.parameter7;
    std::uint8_t sensor = 0;
    if (isTransducer(d.kind)) {
      if (!d.sensor) return fail(d.line, at + " needs its sensor line");
      if (!d.rangeIndex && !d.rangeEnds) return fail(d.line, at + " needs its range line");
      sensor = static_cast<std::uint8_t>(*d.sensor);
      const int last = lastRange(d.kind, *d.sensor);
      if (d.rangeIndex) {
        rangeIndex = *d.rangeIndex;
        range = lookupRange(d.kind, *d.sensor, rangeIndex);
      } else {
        for (int i = 0; i <= last && !range; ++i) {
          const auto candidate = lookupRange(d.kind, *d.sensor, i);
          if (candidate && candidate->low == d.rangeEnds->first && candidate->high == d.rangeEnds->second) {
            range = candidate;
            rangeIndex = i;
          }
        }
      }
      if (!range) {
        std::string ranges;
        for (int i = 0; i <= last; ++i)
          if (const auto x = lookupRange(d.kind, *d.sensor, i))
            ranges += (i ? ", " : "") + std::to_string(i) + ": " + std::to_string(x->low) + " " +
                      std::to_string(x->high);
        return fail(d.seen.at("range"), "no such range for sensor type " + std::to_string(*d.sensor) +
                                            " of the " + std::string(modelLatin(d.kind)) + " (" + ranges +
                                            ")");
      }
    } else {
      if (!d.conversion) return fail(d.line, at + " needs its conversion line");
      sensor = static_cast<std::uint8_t>(*d.conversion);
    }

    std::uint16_t setpoint1 = 0, setpoint2 = 0;
    if (!rawSetpoint(d.setpoint1, range, setpoint1) || !rawSetpoint(d.setpoint2, range, setpoint2))
      return false;
    const std::uint8_t type = d.kind == DeviceKind::Thermocouple            ? 102
                              : d.kind == DeviceKind::ResistanceThermometer ? 101
                                                                            : 100;
    r.byte0(cell::kIdentBytes1) = d.ident0;
    r.byte0(cell::kIdentBytes1 + 1) = d.ident1;
    r.byte0(cell::kIdentBytes1 + 2) = type;
    // Parameter bytes 1..7 as the device reports them: alarm type, setpoint 2 and 1 (low, high), sensor
    // or conversion type, range index.
    const std::uint8_t params[7] = {
        static_cast<std::uint8_t>(d.alarm),        static_cast<std::uint8_t>(setpoint2 & 0xFF),
        static_cast<std::uint8_t>(setpoint2 >> 8), static_cast<std::uint8_t>(setpoint1 & 0xFF),
        static_cast<std::uint8_t>(setpoint1 >> 8), sensor,
        static_cast<std::uint8_t>(rangeIndex)};
    for (int i = 0; i < 7; ++i) r.byte0(cell::kParamBytes1 + i) = params[i];
    if (range) {
      putCellText(r, cell::kRangeLow, std::to_string(range->low));
      putCellText(r, cell::kRangeHigh, std::to_string(range->high));
    }
    return true;
  }

  std::string name_;
  std::string error_;
  int lastLine_ = 1;
  std::optional<std::string> portName_, settings_, description_;
  std::optional<int> speed_, stop_;
  std::optional<char> parity_;
  std::vector<PendingDevice> devices_;
  PendingDevice* current_ = nullptr;
};

}  // namespace

bool parseConfigText(std::istream& in, const std::string& name, ConfigText& out, std::string& error) {
  Parser parser(name);
  std::string line;
  std::vector<std::string> words;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();              // written on Windows
    if (number == 1 && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);  // and saved with a BOM
    std::string problem;
    if (!sim::splitWords(line, words, problem)) {
      error = name + ":" + std::to_string(number) + ": " + problem;
      return false;
    }
    if (words.empty()) continue;
    if (!parser.line(number, words)) {
      error = parser.error();
      return false;
    }
  }
  parser.setLastLine(number > 0 ? number : 1);
  if (!parser.finish(out)) {
    error = parser.error();
    return false;
  }
  return true;
}

}  // namespace duz::conf
