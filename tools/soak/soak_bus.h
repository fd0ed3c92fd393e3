// The soak's bus: 31 instruments of every model, and what the checker needs to know of each to tell
// which request carries which tag and what a reply means.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/catalogue.h"
#include "model/tables.h"

namespace duz::soak {

using Bytes = std::vector<std::uint8_t>;

struct Instrument {
  int address = 0;
  DeviceKind kind = DeviceKind::Controller;
  std::array<int, 8> modules{};  // controller: module code per slot, 0 empty
  std::string variant;           // alarm instrument: the variant code
  int sensor = 0;                // transducers: sensor type and range index
  int range = 0;
  double low = 0, high = 0;  // transducers: the range in degrees

  int analogCount() const;
  int bitCount() const;
  bool alarm() const { return kind == DeviceKind::AlarmInstrument; }
};

// Addresses 1..31: controllers with 1 to 8 modules, alarm instruments of several variants, both
// transducers and the current loop; values that drift so that no two replies look alike.
std::vector<Instrument> soakInstruments();
std::string busText(const std::vector<Instrument>& instruments);

// Where a tag's value comes from: the request that reads it, and what the reply must say for it.
struct TagSource {
  Bytes request;  // the request without its CRC
  int dataBytes = 0;
};
// Empty for the device-number tag and for indexes that are no tag.
std::optional<TagSource> sourceOf(const Instrument& d, char kind, int index);

// A published value as the reply `frame` (a whole checked frame) gives it.
struct Expected {
  bool publishes = true;  // false: the reply publishes nothing for this tag
  double value = 0;
  double tolerance = 0;
  std::uint32_t quality = 0;
};
std::optional<Expected> expectedFrom(const Instrument& d, char kind, int index, const Bytes& frame);

// The write-coil request (without CRC) a command bit write must send; empty when it must be refused.
std::optional<Bytes> writeRequest(const Instrument& d, int bit, std::uint32_t value);

// Whole frames with a good CRC for `request`'s address and function anywhere in `bytes`.
std::vector<Bytes> framesIn(const Bytes& bytes, const Bytes& request);

}  // namespace duz::soak
