// The description grid: a short data sheet of the device selected in the device list, built from the
// dialog's snapshot alone (nothing is read from the instruments).
#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "model/config_values.h"
#include "model/cp1251.h"
#include "ui/dialog.h"

namespace duz {

namespace {

std::string text(std::string_view cp1251Text) {
  return std::string(cp1251Text);
}

constexpr auto kSafeInputs = cp1251("      - искробезопасного исполнения:");
constexpr auto kGeneralInputs = cp1251("      - общепромышленного исполнения:");
constexpr auto kRelayOutputs = cp1251("   Выходы реле:");
constexpr auto kSignalOutputs = cp1251("   Выходы сигнализации:");
constexpr std::string_view kCountTitles[] = {kSafeInputs.view(), kGeneralInputs.view(), kRelayOutputs.view(),
                                             kSignalOutputs.view()};

// Writes the description line by line, growing the grid as it goes.
class Sheet {
 public:
  explicit Sheet(StringGrid& grid) : grid_(grid) {}
  void line(std::string_view left, std::string_view right = " ") {
    if (grid_.rowCount <= row_) grid_.setRowCount(row_ + 1);
    grid_.cell(0, row_) = std::string(left);
    grid_.cell(1, row_) = std::string(right);
    ++row_;
  }
  void blank() { line(" ", " "); }

 private:
  StringGrid& grid_;
  int row_ = 0;
};

std::string cellText(const DeviceConfig& device, int c) {
  return std::string(device.text(c), device.textLength(c));
}

void describeController(Sheet& sheet, const DeviceConfig& device) {
  sheet.line(text(cp1251("МНОГОМОДУЛЬНЫЙ КОНТРОЛЛЕР")));
  sheet.line(text(cp1251("СБОРА ДАННЫХ")));
  sheet.blank();
  sheet.line(text(cp1251("   Шифр исполнения:")), cellText(device, cell::kControllerVariant));
  for (int slot = 0; slot < 8; ++slot) {
    const int code = device.byte0(cell::kSlotModule0 + slot);
    if (code < 1 || code > 4) continue;
    sheet.line(text(cp1251("   Модуль №")) + std::to_string(slot + 1), moduleTypeName(code));
  }
}

void describeAlarmInstrument(Sheet& sheet, const DeviceConfig& device, const AlarmVariantTable& variants) {
  const std::string code = cellText(device, cell::kAlarmVariant);
  sheet.line(text(cp1251("ПРИБОР АВАРИЙНОЙ")));
  sheet.line(text(cp1251("СИГНАЛИЗАЦИИ И БЛОКИРОВКИ")));
  sheet.blank();
  sheet.line(text(cp1251("   Шифр исполнения")), " " + code);
  sheet.line(text(cp1251("   Дискретные входы:")));
  for (const AlarmVariant& variant : variants) {
    if (std::string_view(variant.code(), strnlen(variant.code(), sizeof variant.cells[0])) != code) continue;
    for (int c = 1; c <= 8; ++c) {
      const auto* bytes = variant.cells[c];
      if (bytes[0] == 0) continue;
      if (c <= 4) {
        sheet.line(kCountTitles[c - 1], std::to_string(bytes[0]));
      } else {
        const auto* name = reinterpret_cast<const char*>(bytes);
        sheet.line(text(cp1251("   Модуль №")) + std::to_string(c - 4),
                   std::string(name, strnlen(name, sizeof variant.cells[c])));
      }
    }
  }
}

void describeAlarmSettings(Sheet& sheet, const DeviceConfig& device, const std::string& unit,
                           std::string (*setpoint)(const DeviceConfig&, int, int)) {
  sheet.line(text(cp1251("   Тип сигнализации:")), alarmTypeName(device.byte0(cell::kAlarmType)));
  sheet.line(text(cp1251("      - Уставка 1,")) + unit,
             setpoint(device, cell::kSetpoint1High, cell::kSetpoint1Low));
  sheet.line(text(cp1251("      - Уставка 2,")) + unit,
             setpoint(device, cell::kSetpoint2High, cell::kSetpoint2Low));
}

void describeTransducer(Sheet& sheet, const DeviceConfig& device, DeviceKind kind) {
  sheet.line(text(cp1251("ИЗМЕРИТЕЛЬНЫЙ ПРЕОБРАЗОВАТЕЛЬ")));
  sheet.line(text(cp1251("ТЕМПЕРАТУРЫ")));
  if (kind == DeviceKind::Thermocouple) {
    sheet.line(text(cp1251("ВХОД ДЛЯ ПОДКЛЮЧЕНИЯ")));
    sheet.line(text(cp1251("ТЕРМОПАР")));
  } else {
    sheet.line(text(cp1251("ВХОД ДЛЯ ПОДКЛЮЧЕНИЯ")));
    sheet.line(text(cp1251("ТЕРМОМЕТРОВ СОПРОТИВЛЕНИЯ")));
  }
  sheet.blank();
  sheet.line(text(cp1251("   Тип первичного преобразователя:")),
             sensorTypeName(kind, device.byte0(cell::kSensorType)));
  sheet.line(text(cp1251("   Диапазон,  °C:")));
  sheet.line(text(cp1251("      - MIN:")), cellText(device, cell::kRangeLow));
  sheet.line(text(cp1251("      - MAX:")), cellText(device, cell::kRangeHigh));
  sheet.blank();
  describeAlarmSettings(sheet, device, text(cp1251("  °C:")), transducerSetpoint);
}

void describeCurrentLoop(Sheet& sheet, const DeviceConfig& device) {
  sheet.line(text(cp1251("МОДУЛЬ ВВОДА СИГНАЛА")));
  sheet.line(text(cp1251("ТОКОВОЙ ПЕТЛИ")));
  sheet.blank();
  sheet.line(text(cp1251("   Входной сигнал, мА:")), "4 - 20");
  const int conversion = device.byte0(cell::kSensorType);
  sheet.line(text(cp1251("   Тип преобразования:")), conversion == 0   ? text(cp1251("Корн."))
                                                     : conversion == 1 ? text(cp1251("Лин."))
                                                                       : std::string());
  sheet.blank();
  describeAlarmSettings(sheet, device, " %:", currentLoopSetpoint);
}

}  // namespace

void TForm2::View(int col, int row) {
  StringGrid2.setRowCount(1);
  StringGrid2.cell(0, 0).clear();
  StringGrid2.cell(1, 0).clear();

  const std::string& addressText = std::as_const(StringGrid1).cell(col - 1, row);
  const auto address =
      addressText.find_first_not_of(' ') == std::string::npos ? std::nullopt : leadingInteger(addressText);
  if (address) {
    StringGrid2.defaultDrawing = true;
    const int count = std::clamp<std::int32_t>(DeviceCount, 0, kSlots);
    for (int i = 0; i < count; ++i) {
      const DeviceConfig& device = Devices[i];
      if (device.busAddress() != *address) continue;
      const auto kind = modelKindOfCell(device.modelName());
      if (!kind) continue;
      Sheet sheet(StringGrid2);
      switch (*kind) {
        case DeviceKind::Controller:
          describeController(sheet, device);
          break;
        case DeviceKind::AlarmInstrument:
          describeAlarmInstrument(sheet, device, Variants);
          break;
        case DeviceKind::Thermocouple:
        case DeviceKind::ResistanceThermometer:
          describeTransducer(sheet, device, *kind);
          break;
        case DeviceKind::CurrentLoop:
          describeCurrentLoop(sheet, device);
          break;
      }
      break;
    }
  }
  StringGrid2Exit();
}

}  // namespace duz
