// The built-in instrument catalogue: models, controller module types, alarm-instrument variants,
// sensor types and measuring ranges. All texts are code page 1251 bytes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "model/cp1251.h"

namespace duz {

enum class DeviceKind { Controller, AlarmInstrument, Thermocouple, ResistanceThermometer, CurrentLoop };

inline constexpr auto kModelController = cp1251("ЛУМА-12");
inline constexpr auto kModelAlarm = cp1251("ДЕК-04");
inline constexpr auto kModelThermocouple = cp1251("ВЕКС-1");
inline constexpr auto kModelResistance = cp1251("ВЕКС-2");
inline constexpr auto kModelCurrentLoop = cp1251("ОРТА");

// Model text (exact, case-sensitive) -> kind; any other text is no model.
std::optional<DeviceKind> modelKind(std::string_view modelText);
// Reads a model-name cell (at most 8 bytes, NUL-terminated or not) and looks it up.
std::optional<DeviceKind> modelKindOfCell(const char* cell8);
// The model text (CP1251) and its Latin form used in tag names ("LUMA-12", "DEK-04", ...).
std::string_view modelText(DeviceKind kind);
std::string_view modelLatin(DeviceKind kind);

// Controller module types by slotModule code 1..4; empty view for 0 or unknown codes.
std::string_view moduleTypeName(int code);   // CP1251: БРУН, ГЕЛТ, ДОРФ, ЖАЛС
std::string_view moduleTypeLatin(int code);  // BRUN, GELT, DORF, ZALS

// One alarm-instrument variant row, 25 cells of 5 bytes, in its fixed layout.
struct AlarmVariant {
  std::uint8_t cells[25][5];

  const char* code() const { return reinterpret_cast<const char*>(cells[0]); }
  int safeInputCount() const { return cells[1][0]; }
  int generalInputCount() const { return cells[2][0]; }
  int relayCount() const { return cells[3][0]; }
  int signalCount() const { return cells[4][0]; }
  const char* moduleName(int i) const { return reinterpret_cast<const char*>(cells[5 + i]); }  // i 0..3
  int outputBit(int k) const { return cells[9 + k][0]; }                                       // k 0..15
  int inputCount() const { return safeInputCount() + generalInputCount(); }
  int outputCount() const { return relayCount() + signalCount(); }
};
static_assert(sizeof(AlarmVariant) == 125);

constexpr int kAlarmVariantCount = 14;
using AlarmVariantTable = std::array<AlarmVariant, kAlarmVariantCount>;
const AlarmVariantTable& alarmVariantTable();
// First row whose code equals the text exactly (reads at most 8 bytes of the cell); null when none.
const AlarmVariant* findAlarmVariant(const char* variantCodeCell);

// Sensor type names (CP1251) for the transducers; empty view when the type is beyond the catalogue.
constexpr int kThermocoupleTypes = 10;
constexpr int kResistanceTypes = 6;
std::string_view sensorTypeName(DeviceKind kind, int sensorType);

struct Range {
  std::int32_t low;
  std::int32_t high;
};
// Highest valid range index of a sensor type; -1 for a kind without ranges or a type beyond the catalogue.
int lastRange(DeviceKind kind, int sensorType);
// The range for (kind, sensorType, rangeIndex), only when rangeIndex <= lastRange of the type.
std::optional<Range> lookupRange(DeviceKind kind, int sensorType, int rangeIndex);

// Alarm type names of the transducers and the current loop: Min/Max, Min/Min, Max/Max; empty otherwise.
std::string_view alarmTypeName(int code);

}  // namespace duz
