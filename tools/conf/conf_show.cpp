#include "conf_show.h"

#include <cstdio>

#include "model/catalogue.h"
#include "model/config_values.h"
#include "model/cp1251.h"

namespace duz::conf {

namespace {

// "  Label:              value\n"
void field(std::string& out, const std::string& label, const std::string& value) {
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "  %-20s", (label + ":").c_str());
  out += prefix;
  out += value;
  out += '\n';
}

std::string utf8(std::string_view cp1251) {
  return cp1251ToUtf8(cp1251);
}

std::string cellText(const DeviceConfig& d, int c) {
  return std::string(d.text(c), d.textLength(c));
}

std::string hexBytes(const std::uint8_t* bytes, int count) {
  std::string out;
  char hex[8];
  for (int i = 0; i < count; ++i) {
    std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", bytes[i]);
    out += hex;
  }
  return out;
}

unsigned raw(const DeviceConfig& d, int highCell, int lowCell) {
  return static_cast<unsigned>(d.byte0(highCell) << 8 | d.byte0(lowCell));
}

const char* kindWords(DeviceKind kind) {
  switch (kind) {
    case DeviceKind::Controller:
      return "multi-module data-collection controller";
    case DeviceKind::AlarmInstrument:
      return "alarm-signalling and interlock instrument";
    case DeviceKind::Thermocouple:
      return "measuring transducer for thermocouples";
    case DeviceKind::ResistanceThermometer:
      return "measuring transducer for resistance thermometers";
    case DeviceKind::CurrentLoop:
      return "4-20 mA current-loop module";
  }
  return "";
}

std::string orNone(std::string_view text, int code) {
  return text.empty() ? "code " + std::to_string(code) + ", not in the catalogue" : std::string(text);
}

void describeController(std::string& out, const DeviceConfig& d) {
  field(out, "Variant code", cellText(d, cell::kControllerVariant));
  bool any = false;
  for (int s = 0; s < 8; ++s) {
    const int code = d.byte0(cell::kSlotModule0 + s);
    if (code == 0) continue;
    any = true;
    const std::string_view name = moduleTypeName(code);
    field(out, "Module " + std::to_string(s + 1),
          name.empty() ? "code " + std::to_string(code) + ", not in the catalogue"
                       : utf8(name) + " (" + std::string(moduleTypeLatin(code)) + ")");
  }
  if (!any) field(out, "Modules", "none fitted");
}

void describeAlarmInstrument(std::string& out, const DeviceConfig& d) {
  const std::string code = cellText(d, cell::kAlarmVariant);
  const AlarmVariant* v = findAlarmVariant(d.text(cell::kAlarmVariant));
  if (!v) {
    field(out, "Variant code", code + " (not in the catalogue: only the three command bits)");
    return;
  }
  field(out, "Variant code", code);
  field(out, "Discrete inputs",
        std::to_string(v->safeInputCount()) + " intrinsically safe, " +
            std::to_string(v->generalInputCount()) + " general-purpose");
  field(out, "Outputs",
        std::to_string(v->relayCount()) + " relay, " + std::to_string(v->signalCount()) + " signalling");
  std::string modules;
  for (int m = 0; m < 4; ++m) {
    const std::string name(v->moduleName(m), strnlen(v->moduleName(m), 5));
    if (!name.empty()) modules += (modules.empty() ? "" : ", ") + utf8(name);
  }
  field(out, "Modules", modules);
}

void describeAlarmSettings(std::string& out, const DeviceConfig& d, const std::string& unit,
                           std::string (*setpoint)(const DeviceConfig&, int, int)) {
  const int type = d.byte0(cell::kAlarmType);
  field(out, "Alarm type", orNone(alarmTypeName(type), type));
  field(out, "Setpoint 1",
        setpoint(d, cell::kSetpoint1High, cell::kSetpoint1Low) + unit + " (raw " +
            std::to_string(raw(d, cell::kSetpoint1High, cell::kSetpoint1Low)) + ")");
  field(out, "Setpoint 2",
        setpoint(d, cell::kSetpoint2High, cell::kSetpoint2Low) + unit + " (raw " +
            std::to_string(raw(d, cell::kSetpoint2High, cell::kSetpoint2Low)) + ")");
}

void describeTransducer(std::string& out, const DeviceConfig& d, DeviceKind kind) {
  const int sensor = d.byte0(cell::kSensorType);
  const std::string_view name = sensorTypeName(kind, sensor);
  field(out, "Sensor type",
        name.empty() ? orNone(name, sensor) : utf8(name) + " (" + std::to_string(sensor) + ")");
  field(out, "Range", cellText(d, cell::kRangeLow) + " .. " + cellText(d, cell::kRangeHigh) + " °C");
  describeAlarmSettings(out, d, " °C", transducerSetpoint);
}

void describeCurrentLoop(std::string& out, const DeviceConfig& d) {
  const int conversion = d.byte0(cell::kSensorType);
  field(out, "Input signal", "4 - 20 mA");
  field(out, "Conversion",
        conversion == 0   ? "square-root (" + utf8(cp1251("Корн.")) + ")"
        : conversion == 1 ? "linear (" + utf8(cp1251("Лин.")) + ")"
                          : "code " + std::to_string(conversion) + ", unknown");
  describeAlarmSettings(out, d, " %", currentLoopSetpoint);
  field(out, "Range byte", std::to_string(d.byte0(cell::kRangeLow)));
}

}  // namespace

std::string describeConfig(const ConfigContents& c) {
  std::string out;
  out += "Port:         " + utf8(c.portName) + "\n";
  out += "Settings:     " + utf8(c.portSettings) + "\n";
  std::string description = utf8(c.description);
  for (std::size_t at = 0; (at = description.find('\n', at)) != std::string::npos; at += 15)
    description.replace(at, 1, "\n              ");
  out += "Description:  " + description + "\n";
  out += "Devices:      " + std::to_string(c.count) + "\n";
  for (int slot = 0; slot < c.count && slot < kSlots; ++slot) {
    const DeviceConfig& d = c.records[slot];
    const auto kind = modelKindOfCell(d.modelName());
    out += "\nSlot " + std::to_string(slot) + ": address " + std::to_string(d.busAddress()) + ", ";
    if (!kind) {
      out += "no model (model cell " + hexBytes(d.cells[cell::kModelName], kCellSize) +
             "): no tags, not polled\n";
      continue;
    }
    out += utf8(modelText(*kind)) + " (" + std::string(modelLatin(*kind)) + "), " + kindWords(*kind) + "\n";
    switch (*kind) {
      case DeviceKind::Controller:
        describeController(out, d);
        break;
      case DeviceKind::AlarmInstrument:
        describeAlarmInstrument(out, d);
        break;
      case DeviceKind::Thermocouple:
      case DeviceKind::ResistanceThermometer:
        describeTransducer(out, d, *kind);
        break;
      case DeviceKind::CurrentLoop:
        describeCurrentLoop(out, d);
        break;
    }
    if (*kind != DeviceKind::Controller)
      field(out, "Identification",
            std::to_string(d.byte0(cell::kIdentBytes1)) + " " +
                std::to_string(d.byte0(cell::kIdentBytes1 + 1)) + " " +
                std::to_string(d.byte0(cell::kIdentBytes1 + 2)));
  }
  return out;
}

}  // namespace duz::conf
