// The simulated bus: the instruments behind each address, what they report, and how they misbehave.
// Filled from a bus description file and changed at run time by commands of the same form.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bus_words.h"

namespace duz::sim {

enum class Model { Controller, Alarm, Thermocouple, Rtd, CurrentLoop };

// How a device answers: normally, or with one of the faults a real line shows.
enum class Fault { Normal, Silent, BadCrc, WrongAddress, Exception, Short, Slow };

// A value that changes by itself: a sine between `low` and `high` over `periodS` seconds, or an input
// that turns on and off every `periodS` seconds.
struct Drift {
  enum class What { Raw, Channel, Input };
  What what = What::Raw;
  int slot = 0;     // controller: module slot
  int channel = 0;  // controller: channel; alarm instrument: input number
  double low = 0;
  double high = 0;
  double periodS = 60;
};

struct Device {
  int address = 0;
  Model model = Model::Controller;
  Fault fault = Fault::Normal;
  int slowMs = 1000;  // delay of a slow reply

  // Controller: module type per slot, and per slot and channel the 8-byte value text and status byte.
  std::array<std::uint8_t, 8> modules{};
  std::array<std::array<std::array<char, 8>, 6>, 8> texts{};
  std::array<std::array<std::uint8_t, 6>, 8> statuses{};

  // Identification data bytes d0 d1 d2 of the other models (d2 tells the model).
  std::array<std::uint8_t, 3> ident{};

  // Alarm instrument: 32 discrete inputs (bit i = input i), coils 0..15 (bit i = coil i) and coil 240.
  std::uint32_t inputs = 0;
  std::uint16_t coils = 0;
  bool coil240 = false;

  // Transducers and current loop: parameter reply fields and the measurement.
  std::uint8_t alarmType = 0;
  std::uint16_t setpoint1 = 0;
  std::uint16_t setpoint2 = 0;
  std::uint8_t sensor = 0;  // sensor type; conversion type of the current loop
  std::uint8_t range = 0;
  std::int16_t raw = 0;
  std::uint8_t status = 0;  // bit 1 limit 1, bit 0 limit 2

  std::vector<Drift> drifts;
};

// A device of `model` at `address` with the defaults the help text describes.
Device makeDevice(int address, Model model);

std::optional<Model> modelFromKeyword(const std::string& word);
const char* modelKeyword(Model model);
std::optional<Fault> faultFromKeyword(const std::string& word);
const char* faultKeyword(Fault fault);

// Applies one setting (`keyword args…`, as in a bus file under `device`) to a device. Empty on success,
// otherwise what is wrong.
std::string applySetting(Device& device, const std::vector<std::string>& words);

// Moves the drifting values of a device to where they are `seconds` after the simulator started.
void animate(Device& device, double seconds);

// The device's state as bus-file lines (without comments), for `show`.
std::vector<std::string> describe(const Device& device);

using Bus = std::map<int, Device>;

// Reads a whole bus description. On failure returns false with "NAME:LINE: message" in `error`.
bool parseBus(std::istream& in, const std::string& name, Bus& bus, std::string& error);

}  // namespace duz::sim
