#include "startup/discovery.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/module.h"
#include "link/link.h"
#include "model/catalogue.h"
#include "model/cp1251.h"
#include "ui/dialog.h"

namespace duz {

namespace {

constexpr int kControllerDataBytes = 8;
constexpr int kInstrumentDataBytes = 3;
constexpr int kParameterDataBytes = 11;  // data bytes 5..11 are kept
constexpr std::uint8_t kAlarmType = 0;
constexpr std::uint8_t kCurrentLoopType = 100;
constexpr std::uint8_t kResistanceType = 101;
constexpr std::uint8_t kThermocoupleType = 102;

// Copies a text and its NUL into a cell, leaving the cell's later bytes as they are.
void putCellText(DeviceConfig& record, int c, std::string_view text) {
  const std::size_t n = std::min<std::size_t>(text.size(), kCellSize - 1);
  std::memcpy(record.cells[c], text.data(), n);
  record.cells[c][n] = 0;
}

void putCellNumber(DeviceConfig& record, int c, int value) {
  char text[kCellSize + 4];
  std::snprintf(text, sizeof text, "%d", value);
  putCellText(record, c, text);
}

// One request of the search, after the 10 ms pause. True on a checked reply.
bool ask(Module& module, const RequestFrame& request) {
  Link& link = module.link;
  module.platform.clock.sleepMs(10);
  return link.Transaction(request.length, request.data(), link.responseBuffer, sizeof link.responseBuffer) ==
         0;
}

enum class Probe { NoAnswer, Unusable, Recognised };

// Identifies the device at `address` into `record` (a copy of the next free slot's record).
Probe identify(Module& module, int address, DeviceConfig& record) {
  if (!ask(module, reportSlaveIdRequest(static_cast<std::uint8_t>(address)))) return Probe::NoAnswer;
  const std::uint8_t* reply = module.link.responseBuffer;
  const int count = reply[2];
  const std::uint8_t* data = reply + 3;
  if (count != kControllerDataBytes && count != kInstrumentDataBytes) return Probe::Unusable;

  record.byte0(cell::kBusAddress) = reply[0];
  if (count == kControllerDataBytes) {
    putCellText(record, cell::kModelName, kModelController);
    // Digit k of the variant code counts the fitted modules of type k.
    char variant[5] = {'0', '0', '0', '0', 0};
    for (int s = 0; s < 8; ++s) {
      record.byte0(cell::kSlotModule0 + s) = data[s];
      if (data[s] >= 1 && data[s] <= 4) ++variant[data[s] - 1];
    }
    std::memcpy(record.cells[cell::kControllerVariant], variant, sizeof variant);
    record.byte0(cell::kRangeLow) = 0;
    record.byte0(cell::kRangeHigh) = 0;
    return Probe::Recognised;
  }

  const std::uint8_t d0 = data[0], d1 = data[1], d2 = data[2];
  for (int i = 0; i < 3; ++i) record.byte0(cell::kIdentBytes1 + i) = data[i];

  if (d2 == kAlarmType) {
    // The variant code is the two bytes as two-digit numbers; a byte above 99 cannot be part of any
    // variant's code, so such a reply is no usable identification.
    if (d0 > 99 || d1 > 99) return Probe::Unusable;
    char variant[kCellSize];
    std::snprintf(variant, sizeof variant, "%02u%02u", unsigned{d0}, unsigned{d1});
    putCellText(record, cell::kModelName, kModelAlarm);
    putCellText(record, cell::kAlarmVariant, variant);
    for (int c = 6; c <= 12; ++c) record.byte0(c) = 0;
    return Probe::Recognised;
  }

  if (d2 != kCurrentLoopType && d2 != kResistanceType && d2 != kThermocoupleType) {
    // Not one of ours: listed by its address, with no model, so it gets no tags of a model.
    std::memset(record.cells[cell::kModelName], 0, kCellSize);
    return Probe::Recognised;
  }

  if (!ask(module, readParametersRequest(static_cast<std::uint8_t>(address)))) return Probe::Unusable;
  const std::uint8_t* params = module.link.responseBuffer;
  // Frame bytes 7..13 are used: a shorter reply leaves the device without settings, so it is left out.
  if (params[2] < kParameterDataBytes) return Probe::Unusable;
  for (int i = 0; i < 7; ++i) record.byte0(cell::kParamBytes1 + i) = params[7 + i];
  const int sensorType = params[12];
  const int rangeIndex = params[13];

  if (d2 == kCurrentLoopType) {
    putCellText(record, cell::kModelName, kModelCurrentLoop);
    return Probe::Recognised;
  }
  const DeviceKind kind =
      d2 == kResistanceType ? DeviceKind::ResistanceThermometer : DeviceKind::Thermocouple;
  // A sensor type or range the catalogue does not know gives no range to scale by.
  const auto range = lookupRange(kind, sensorType, rangeIndex);
  if (!range) return Probe::Unusable;
  putCellText(record, cell::kModelName,
              kind == DeviceKind::Thermocouple ? kModelThermocouple : kModelResistance);
  putCellNumber(record, cell::kRangeLow, range->low);
  putCellNumber(record, cell::kRangeHigh, range->high);
  return Probe::Recognised;
}

}  // namespace

int searchLimit(const char* limitText) {
  const std::size_t length = strnlen(limitText, sizeof(Settings::searchLimitText));
  int value = 0;
  const auto [end, error] = std::from_chars(limitText, limitText + length, value);
  if (error != std::errc() || end == limitText) return 0;
  return std::clamp(value, 0, kSlots);
}

void DiscoverDevices(Module& module, TForm2& form) {
  Operator& op = module.platform.op;
  module.currentDevice = 0;
  form.StringGrid1.setRowCount(2);
  form.StringGrid1.cell(0, 1).clear();
  form.StringGrid1.cell(1, 1).clear();
  form.StringGrid2.setRowCount(1);
  // assign(count, char): GCC 12 at -O3 misreads assigning a literal here as an overlapping copy.
  form.StringGrid2.cell(0, 0).assign(1, ' ');
  form.StringGrid2.cell(1, 0).assign(1, ' ');
  op.showModeless(form);
  op.setPointerHidden(true);

  for (int scanAddress = 1;; ++scanAddress) {
    const int limit = searchLimit(module.settings.searchLimitText);
    if (scanAddress > limit) break;

    // Built on a copy: a device left out leaves its would-be record as it was.
    DeviceConfig record = module.deviceConfig[module.currentDevice];
    const Probe probe = identify(module, scanAddress, record);
    if (probe == Probe::Unusable) continue;  // no progress step for an address that answered unusably

    if (probe == Probe::Recognised) {
      module.deviceConfig[module.currentDevice] = record;
      const int row = module.currentDevice + 1;
      form.StringGrid1.setRowCount(row + 1);
      form.StringGrid1.cell(0, row) = std::to_string(record.busAddress());
      form.StringGrid1.cell(1, row) = std::string(record.modelName(), record.textLength(cell::kModelName));
      ++module.currentDevice;
      form.StringGrid1.defaultDrawing = true;
    }

    form.Label4.text =
        std::string(cp1251("Найдено устройств: ").view()) + std::to_string(module.currentDevice);
    form.ProgressBar1.stepIt();
    form.Label1.text = std::string(cp1251("Выполнено: ").view()) +
                       std::to_string(form.ProgressBar1.position * 100 / limit) + " %";
    op.repaint(form);
  }

  module.configuredCount = module.currentDevice;
  op.setPointerHidden(false);
  module.link.installPort(nullptr);
}

}  // namespace duz
