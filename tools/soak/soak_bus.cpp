#include "soak_bus.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "bus_text.h"
#include "link/link.h"

namespace duz::soak {

namespace {

// Module slots of the controllers, by number of modules: gaps, blocks that straddle, and more modules
// than the five a device's tags can hold.
const std::vector<std::vector<int>> kControllerSlots = {{3},
                                                        {0, 5},
                                                        {1, 2, 7},
                                                        {0, 1, 2, 3},
                                                        {0, 2, 4, 6, 7},
                                                        {0, 1, 2, 3, 4, 6},
                                                        {0, 1, 2, 3, 4, 5, 7},
                                                        {0, 1, 2, 3, 4, 5, 6, 7}};
const char* const kVariants[] = {"9852", "9107", "7745", "9420", "9415", "6837", "8240", "9867"};

// The controller's first five fitted modules get tags and are read; each holds six channels.
std::vector<int> servedModules(const Instrument& d) {
  std::vector<int> served;
  for (int s = 0; s < 8 && served.size() < 5; ++s)
    if (d.modules[s]) served.push_back(s);
  return served;
}

// The request block (first module slot, slot count) that reads module slot `s`.
std::pair<int, int> blockOf(const Instrument& d, int s) {
  const auto served = servedModules(d);
  int m = 0;
  while (m < 8) {
    bool fitted = false;
    for (int x : served) fitted |= x == m;
    if (!fitted) {
      ++m;
      continue;
    }
    const int n = m <= 4 ? 4 : 8 - m;
    if (s >= m && s < m + n) return {m, n};
    m += 4;
  }
  return {-1, 0};
}

// A controller channel: the text read with spaces and NULs as zeros and the last position dropped.
Expected channel(const std::uint8_t* text, std::uint8_t status, bool valueTag, int limit) {
  Expected e;
  e.quality = QualityGood;
  char digits[8] = {};
  for (int p = 0; p < 8; ++p) {
    char c = static_cast<char>(text[p]);
    if (c == ' ') c = '0';
    if (c == '\0') {
      c = '0';
      status = 0;
      e.quality = QualityConfigError;
    }
    if (p < 7) digits[p] = c;
  }
  if (!valueTag) {
    const int state = status & 7;
    e.value =
        limit == 0 ? (state == 1 || state == 3 || state == 5) : (state == 2 || state == 4 || state == 6);
    return Expected{true, e.value, 0, QualityGood};
  }
  if (status & 0x20) e.quality = QualitySensorNotAccurate;
  if (status & 0x40) e.quality = QualitySensorFailure;
  if (status & 0x80) e.quality = QualityDeviceFailure;
  char* end = nullptr;
  const bool plain = std::strspn(digits, "+-0123456789.") == 7;
  const double v = std::strtod(digits, &end);
  if (!plain || end != digits + 7) {
    // No number: 0, under the fault the status byte names, or else a configuration error.
    if (e.quality == QualityGood) e.quality = QualityConfigError;
    e.value = 0;
  } else {
    e.value = static_cast<float>(v);
  }
  e.tolerance = 1e-6 * std::max(1.0, std::fabs(e.value));
  return e;
}

}  // namespace

int Instrument::analogCount() const {
  switch (kind) {
    case DeviceKind::Controller:
      return 6 * static_cast<int>(servedModules(*this).size());
    case DeviceKind::AlarmInstrument:
      return 0;
    default:
      return 1;
  }
}

int Instrument::bitCount() const {
  switch (kind) {
    case DeviceKind::Controller:
      return 12 * static_cast<int>(servedModules(*this).size());
    case DeviceKind::AlarmInstrument: {
      const AlarmVariant* v = findAlarmVariant(variant.c_str());
      return (v ? v->inputCount() + v->outputCount() : 0) + 3;
    }
    default:
      return 2;
  }
}

std::vector<Instrument> soakInstruments() {
  std::vector<Instrument> out;
  int address = 1;
  for (const auto& slots : kControllerSlots) {
    Instrument d;
    d.address = address++;
    for (std::size_t i = 0; i < slots.size(); ++i) d.modules[slots[i]] = 1 + static_cast<int>(i % 4);
    out.push_back(d);
  }
  for (const char* variant : kVariants) {
    Instrument d;
    d.address = address++;
    d.kind = DeviceKind::AlarmInstrument;
    d.variant = variant;
    out.push_back(d);
  }
  const DeviceKind transducers[] = {DeviceKind::Thermocouple, DeviceKind::ResistanceThermometer,
                                    DeviceKind::CurrentLoop};
  for (int i = 0; address <= 31; ++i) {
    Instrument d;
    d.address = address++;
    d.kind = transducers[i % 3];
    if (d.kind != DeviceKind::CurrentLoop) {
      const int types = d.kind == DeviceKind::Thermocouple ? kThermocoupleTypes : kResistanceTypes;
      d.sensor = (i * 3 + 1) % types;
      while (lastRange(d.kind, d.sensor) < 0) d.sensor = (d.sensor + 1) % types;
      d.range = i % (lastRange(d.kind, d.sensor) + 1);
      const Range r = *lookupRange(d.kind, d.sensor, d.range);
      d.low = r.low;
      d.high = r.high;
    }
    out.push_back(d);
  }
  return out;
}

std::string busText(const std::vector<Instrument>& instruments) {
  using tools::fixed;
  using tools::hex;
  using tools::quoted;
  tools::BusText bus;
  bus.comment("The soak test's bus: every model, values drifting at different speeds.");
  for (const Instrument& d : instruments) {
    const int a = d.address;
    switch (d.kind) {
      case DeviceKind::Controller: {
        bus.device(a, "LUMA-12");
        const auto& m = d.modules;
        bus.set("modules", m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7]);
        for (int s = 0; s < 8; ++s) {
          if (!m[s]) continue;
          for (int c = 0; c < 6; ++c) {
            // Limit states 0..7 and the three sensor conditions, but never a device failure: at the
            // end every healthy tag must read without one.
            static const unsigned kStatuses[] = {0, 1, 2, 3, 4, 5, 6, 7, 0x20, 0x40, 0x23, 0x44, 0};
            const std::string status = hex(kStatuses[(a * 5 + s * 7 + c) % 13], 2);
            if (a == 2 && s == 5 && c == 4) {
              bus.set("channel", s, c, quoted("  12\\0.5 "), status);  // a NUL: configuration error
            } else if (a == 3 && s == 2 && c == 5) {
              bus.set("channel", s, c, quoted("  -3.20 "), status);  // no number once the blanks are 0
            } else {
              bus.set("channel", s, c, quoted("   0.00 "), status);
              const double low = 10.0 * a + c + 0.25 * s;
              bus.set("drift channel", s, c, fixed(low, 2), fixed(low + 40 + 7 * s, 2),
                      5 + (a * 7 + s * 3 + c) % 23);
            }
          }
        }
        break;
      }
      case DeviceKind::AlarmInstrument:
        bus.device(a, "DEK-04");
        bus.set("ident", d.variant.substr(0, 2), d.variant.substr(2, 2));
        bus.set("coils", hex((0x5A3C ^ (a * 0x1111)) & 0xFFFF, 4));
        bus.set("coil 240 1");
        for (int n = 0; n < 32; ++n) bus.set("drift input", n, 1 + (n + a) % 7);
        break;
      default: {
        const bool loop = d.kind == DeviceKind::CurrentLoop;
        bus.device(a, loop ? "ORTA" : d.kind == DeviceKind::Thermocouple ? "VEKS-1" : "VEKS-2");
        bus.set("ident 1 0");
        if (loop)
          bus.set("conversion", 1);
        else
          bus.set("sensor", d.sensor);
        bus.set("range", d.range);
        bus.set("status", a % 4);
        const int low = loop ? 0 : (97 * a) % 3000;
        bus.set("drift raw", low, low + (loop ? 16383 : 5000), 9 + a % 13);
        break;
      }
    }
  }
  return bus.text();
}

std::optional<TagSource> sourceOf(const Instrument& d, char kind, int index) {
  const auto a = static_cast<std::uint8_t>(d.address);
  if (kind == 'i' || index < 0) return std::nullopt;
  switch (d.kind) {
    case DeviceKind::Controller: {
      const auto served = servedModules(d);
      const std::size_t j = kind == 'a' ? index / 6 : index / 12;
      if (j >= served.size()) return std::nullopt;
      const auto [m, n] = blockOf(d, served[j]);
      return TagSource{{a, 0x47, static_cast<std::uint8_t>(6 * m), static_cast<std::uint8_t>(6 * n)}, 54 * n};
    }
    case DeviceKind::AlarmInstrument: {
      const AlarmVariant* v = findAlarmVariant(d.variant.c_str());
      if (kind != 'b' || !v || index >= d.bitCount()) return std::nullopt;
      if (index < v->inputCount()) return TagSource{{a, 2, 0, 0, 0, 32}, 4};
      if (index < v->inputCount() + v->outputCount()) return TagSource{{a, 1, 0, 0, 0, 16}, 2};
      return TagSource{{a, 1, 0, 0xF0, 0, 1}, 1};
    }
    default:
      if ((kind == 'a' && index == 0) || (kind == 'b' && index < 2)) return TagSource{{a, 0x47, 0, 1}, 3};
      return std::nullopt;
  }
}

std::optional<Expected> expectedFrom(const Instrument& d, char kind, int index, const Bytes& frame) {
  const auto source = sourceOf(d, kind, index);
  if (!source || frame.size() < 5 || frame[2] < source->dataBytes) return std::nullopt;
  const std::uint8_t* data = frame.data() + 3;
  switch (d.kind) {
    case DeviceKind::Controller: {
      const auto served = servedModules(d);
      const int s = served[kind == 'a' ? index / 6 : index / 12];
      const int k = kind == 'a' ? index % 6 : (index % 12) / 2;
      const std::uint8_t* module = data + 54 * (s - blockOf(d, s).first);
      return channel(module + 8 * k, module[48 + k], kind == 'a', index % 2);
    }
    case DeviceKind::AlarmInstrument: {
      const AlarmVariant* v = findAlarmVariant(d.variant.c_str());
      const int inputs = v->inputCount(), outputs = v->outputCount();
      Expected e{true, 0, 0, QualityGood};
      if (index < inputs) {
        e.value = (data[index / 8] >> (index % 8)) & 1;
      } else if (index < inputs + outputs) {
        const unsigned word = data[0] * 256u + data[1];
        e.value = (word >> v->outputBit(index - inputs)) & 1;
      } else if (index == d.bitCount() - 1) {
        // Blocking mode is on while coil 240 is off; any other byte publishes nothing.
        e.publishes = data[0] <= 1;
        e.value = data[0] == 0;
      }
      return e;
    }
    default: {
      const int raw = static_cast<std::int16_t>(data[0] << 8 | data[1]);
      if (kind == 'b')
        return Expected{true, static_cast<double>((data[2] >> (index == 0 ? 1 : 0)) & 1), 0, QualityGood};
      // Rounded to one decimal (two for the current loop) as the host sees it, and held in a float.
      if (d.kind == DeviceKind::CurrentLoop) return Expected{true, raw * 100.0 / 16383, 0.0051, QualityGood};
      return Expected{true, d.low + (d.high - d.low) * raw / 8192.0, 0.051 + 1e-6 * std::fabs(d.high),
                      QualityGood};
    }
  }
}

std::optional<Bytes> writeRequest(const Instrument& d, int bit, std::uint32_t value) {
  const int n = d.bitCount();
  if (!d.alarm() || bit >= n || n - bit > 3 || bit < 0) return std::nullopt;
  const auto a = static_cast<std::uint8_t>(d.address);
  const bool on = value != 0;
  switch (n - bit) {
    case 1:  // "Mode of blocking" is the inverse of coil 240
      return Bytes{a, 5, 0, 0xF0, static_cast<std::uint8_t>(on ? 0 : 0xFF), 0};
    case 2:
      return Bytes{a, 5, 0, 0, static_cast<std::uint8_t>(on ? 0xFF : 0), 0};
    default:
      return Bytes{a, 5, 0, 1, static_cast<std::uint8_t>(on ? 0xFF : 0), 0};
  }
}

std::vector<Bytes> framesIn(const Bytes& bytes, const Bytes& request) {
  std::vector<Bytes> frames;
  for (std::size_t i = 0; i + 5 <= bytes.size(); ++i) {
    if (bytes[i] != request[0] || bytes[i + 1] != request[1]) continue;
    const std::size_t length = request[1] == 5 ? request.size() + 2 : bytes[i + 2] + 5u;
    if (i + length > bytes.size()) continue;
    const std::uint16_t crc = Crc16(static_cast<int>(length) - 2, bytes.data() + i);
    if (bytes[i + length - 2] == (crc & 0xFF) && bytes[i + length - 1] == (crc >> 8))
      frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(i),
                          bytes.begin() + static_cast<std::ptrdiff_t>(i + length));
  }
  return frames;
}

}  // namespace duz::soak
