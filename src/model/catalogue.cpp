#include "model/catalogue.h"

#include <cstring>
#include <initializer_list>

namespace duz {

namespace {

struct ModelEntry {
  DeviceKind kind;
  std::string_view text;
  std::string_view latin;
};

constexpr ModelEntry kModels[] = {
    {DeviceKind::Controller, kModelController.view(), "LUMA-12"},
    {DeviceKind::AlarmInstrument, kModelAlarm.view(), "DEK-04"},
    {DeviceKind::Thermocouple, kModelThermocouple.view(), "VEKS-1"},
    {DeviceKind::ResistanceThermometer, kModelResistance.view(), "VEKS-2"},
    {DeviceKind::CurrentLoop, kModelCurrentLoop.view(), "ORTA"},
};

constexpr auto kBrun = cp1251("БРУН");
constexpr auto kGelt = cp1251("ГЕЛТ");
constexpr auto kDorf = cp1251("ДОРФ");
constexpr auto kZhals = cp1251("ЖАЛС");
constexpr std::string_view kModuleNames[] = {kBrun.view(), kGelt.view(), kDorf.view(), kZhals.view()};
constexpr std::string_view kModuleLatin[] = {"BRUN", "GELT", "DORF", "ZALS"};

// Alarm-instrument modules.
constexpr auto kLirk = cp1251("ЛИРК");
constexpr auto kFo1 = cp1251("ФО1");
constexpr auto kFo2 = cp1251("ФО2");
constexpr auto kFo3 = cp1251("ФО3");
constexpr auto kFolk = cp1251("ФОЛК");
constexpr auto kZum = cp1251("ЗУМ");

struct VariantSource {
  const char* code;
  int safe, general, relays, signals;
  std::initializer_list<std::string_view> modules;
  std::initializer_list<int> outputBits;
};

constexpr void copyName(std::uint8_t* cell, std::string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) cell[i] = static_cast<std::uint8_t>(name[i]);
}

constexpr AlarmVariant makeVariant(const VariantSource& v) {
  AlarmVariant row{};
  copyName(row.cells[0], std::string_view(v.code, 4));
  row.cells[1][0] = static_cast<std::uint8_t>(v.safe);
  row.cells[2][0] = static_cast<std::uint8_t>(v.general);
  row.cells[3][0] = static_cast<std::uint8_t>(v.relays);
  row.cells[4][0] = static_cast<std::uint8_t>(v.signals);
  int m = 0;
  for (std::string_view name : v.modules) copyName(row.cells[5 + m++], name);
  int k = 0;
  for (int bit : v.outputBits) row.cells[9 + k++][0] = static_cast<std::uint8_t>(bit);
  return row;
}

constexpr AlarmVariantTable buildVariants() {
  const std::string_view lirk = kLirk.view(), fo1 = kFo1.view(), fo2 = kFo2.view(), fo3 = kFo3.view(),
                         folk = kFolk.view(), zum = kZum.view();
  const VariantSource rows[kAlarmVariantCount] = {
      {"9852", 6, 4, 4, 0, {lirk, fo1}, {12, 13, 14, 15}},
      {"9107", 6, 2, 6, 0, {lirk, fo2}, {12, 13, 14, 15, 10, 11}},
      {"7745", 12, 0, 0, 0, {lirk}, {}},
      {"6367", 12, 4, 4, 0, {lirk, fo1}, {12, 13, 14, 15}},
      {"8702", 12, 2, 6, 0, {lirk, fo2}, {12, 13, 14, 15, 10, 11}},
      {"9420", 12, 0, 8, 0, {lirk, fo3}, {12, 13, 14, 15, 8, 9, 10, 11}},
      {"9415", 12, 0, 2, 2, {lirk, folk}, {12, 13, 14, 15}},
      {"7213", 24, 0, 0, 0, {lirk, lirk}, {}},
      {"9746", 24, 4, 4, 0, {lirk, lirk, fo1}, {12, 13, 14, 15}},
      {"6837", 24, 8, 8, 0, {lirk, lirk, fo1, fo1}, {12, 13, 14, 15, 4, 5, 6, 7}},
      {"3817", 24, 4, 12, 0, {lirk, lirk, fo1, fo3}, {12, 13, 14, 15, 4, 5, 6, 7, 0, 1, 2, 3}},
      {"8240", 24, 0, 16, 0, {lirk, lirk, fo3, fo3}, {12, 13, 14, 15, 4, 5, 6, 7, 8, 9, 10, 11, 0, 1, 2, 3}},
      {"9867", 24, 4, 4, 3, {lirk, lirk, fo1, zum}, {12, 13, 14, 15, 4, 5, 6}},
      {"6412", 24, 4, 6, 2, {lirk, lirk, fo1, folk}, {12, 13, 14, 15, 4, 5, 6, 7}},
  };
  AlarmVariantTable table{};
  for (int i = 0; i < kAlarmVariantCount; ++i) table[i] = makeVariant(rows[i]);
  return table;
}

constexpr auto kTc0 = cp1251("ТХК (L)");
constexpr auto kTc1 = cp1251("ТХК (E)");
constexpr auto kTc2 = cp1251("ТХA (K)");  // the third letter is the Latin A
constexpr auto kTc3 = cp1251("ТЖК (J)");
constexpr auto kTc4 = cp1251("ТМК (Т)");  // Cyrillic Т in brackets
constexpr auto kTc5 = cp1251("ТПП (S)");
constexpr auto kTc6 = cp1251("ТПП (R)");
constexpr auto kTc7 = cp1251("ТВР (А1)");
constexpr auto kTc8 = cp1251("ТВР (А2)");
constexpr auto kTc9 = cp1251("ТВР (А3)");
constexpr std::string_view kThermocoupleNames[kThermocoupleTypes] = {
    kTc0.view(), kTc1.view(), kTc2.view(), kTc3.view(), kTc4.view(),
    kTc5.view(), kTc6.view(), kTc7.view(), kTc8.view(), kTc9.view()};
constexpr auto kRtd0 = cp1251("100 П");
constexpr auto kRtd1 = cp1251("50 П");
constexpr auto kRtd4 = cp1251("100 М");
constexpr auto kRtd5 = cp1251("50 М");
constexpr std::string_view kResistanceNames[kResistanceTypes] = {kRtd0.view(), kRtd1.view(), "Pt 100",
                                                                 "Ni 100",     kRtd4.view(), kRtd5.view()};

// Thermocouple ranges by column: L/E/J, K, T, S/R, A1..A3.
constexpr Range kTcLej[] = {{-120, 30}, {-50, 100}, {-50, 150}, {-50, 200}, {0, 100},  {0, 150},  {0, 200},
                            {0, 300},   {0, 400},   {0, 600},   {0, 800},   {50, 200}, {150, 400}};
constexpr Range kTcK[] = {{-50, 200}, {0, 200},   {0, 300},   {0, 400},   {0, 600},    {0, 800}, {0, 900},
                          {0, 1100},  {200, 600}, {200, 800}, {400, 900}, {600, 1100}, {0, 150}, {300, 450}};
constexpr Range kTcT[] = {{-120, 30}, {-50, 100}, {0, 100}, {0, 150}, {0, 200}, {0, 300}};
constexpr Range kTcSr[] = {{0, 1300}, {500, 1300}};
constexpr Range kTcA[] = {{100, 1800}, {1000, 1800}};
constexpr const Range* const kTcColumn[kThermocoupleTypes] = {kTcLej, kTcLej, kTcK, kTcLej, kTcT,
                                                              kTcSr,  kTcSr,  kTcA, kTcA,   kTcA};
constexpr int kTcLast[kThermocoupleTypes] = {12, 12, 13, 12, 5, 1, 1, 1, 1, 1};

// Resistance-thermometer ranges by column: 100П/50П/Pt100, Ni100, 100М/50М.
constexpr Range kRtdP[] = {
    {-200, -150}, {-200, -100}, {-200, -70}, {-200, 0},  {-200, 40},  {-200, 50}, {-200, 70}, {-200, 100},
    {-200, 150},  {-150, 0},    {-120, 30},  {-100, 50}, {-100, 200}, {-90, 50},  {-70, 180}, {-50, 0},
    {-50, 50},    {-50, 100},   {-50, 150},  {-50, 200}, {-50, 250},  {-50, 400}, {-50, 500}, {-30, 50},
    {-50, 600},   {-30, 20},    {-25, 25},   {-20, 50},  {-20, 30},   {0, 50},    {0, 100},   {0, 150},
    {0, 200},     {0, 300},     {0, 400},    {0, 500},   {0, 650},    {50, 200},  {100, 200}, {100, 300},
    {200, 300},   {200, 500},   {-200, 600}, {-50, 120}, {-10, 100},  {0, 120},   {0, 250}};
constexpr Range kRtdNi[] = {{-50, 0}, {-50, 50}, {-50, 100}, {-50, 150}, {-50, 180}, {-25, 25},
                            {0, 50},  {0, 100},  {0, 150},   {0, 180},   {50, 100}};
constexpr Range kRtdM[] = {{-200, -150}, {-200, -100}, {-200, -70}, {-200, 0}, {-200, 40}, {-200, 50},
                           {-200, 70},   {-200, 100},  {-200, 150}, {-150, 0}, {-120, 30}, {-100, 50},
                           {-100, 200},  {-90, 50},    {-70, 180},  {-50, 0},  {-50, 50},  {-50, 100},
                           {-50, 150},   {-50, 200},   {-30, 20},   {-25, 25}, {-20, 50},  {-20, 30},
                           {0, 50},      {0, 100},     {0, 150},    {0, 200}};
constexpr const Range* const kRtdColumn[kResistanceTypes] = {kRtdP, kRtdP, kRtdP, kRtdNi, kRtdM, kRtdM};
constexpr int kRtdLast[kResistanceTypes] = {46, 46, 46, 10, 27, 27};

static_assert(std::size(kTcLej) == 13 && std::size(kTcK) == 14 && std::size(kTcT) == 6);
static_assert(std::size(kRtdP) == 47 && std::size(kRtdNi) == 11 && std::size(kRtdM) == 28);

}  // namespace

std::optional<DeviceKind> modelKind(std::string_view text) {
  for (const auto& m : kModels)
    if (m.text == text) return m.kind;
  return std::nullopt;
}

std::optional<DeviceKind> modelKindOfCell(const char* cell8) {
  return modelKind(std::string_view(cell8, strnlen(cell8, 8)));
}

std::string_view modelText(DeviceKind kind) {
  return kModels[static_cast<int>(kind)].text;
}
std::string_view modelLatin(DeviceKind kind) {
  return kModels[static_cast<int>(kind)].latin;
}

std::string_view moduleTypeName(int code) {
  return code >= 1 && code <= 4 ? kModuleNames[code - 1] : std::string_view();
}
std::string_view moduleTypeLatin(int code) {
  return code >= 1 && code <= 4 ? kModuleLatin[code - 1] : std::string_view();
}

const AlarmVariantTable& alarmVariantTable() {
  // Built by the compiler rather than on first use: no guarded static in the module (why:
  // host/shell/win32_entry.cpp).
  static constexpr AlarmVariantTable table = buildVariants();
  return table;
}

const AlarmVariant* findAlarmVariant(const char* variantCodeCell) {
  const std::string_view code(variantCodeCell, strnlen(variantCodeCell, 8));
  for (const auto& row : alarmVariantTable())
    if (code == row.code()) return &row;
  return nullptr;
}

std::string_view sensorTypeName(DeviceKind kind, int sensorType) {
  if (kind == DeviceKind::Thermocouple && sensorType >= 0 && sensorType < kThermocoupleTypes)
    return kThermocoupleNames[sensorType];
  if (kind == DeviceKind::ResistanceThermometer && sensorType >= 0 && sensorType < kResistanceTypes)
    return kResistanceNames[sensorType];
  return {};
}

int lastRange(DeviceKind kind, int sensorType) {
  if (kind == DeviceKind::Thermocouple && sensorType >= 0 && sensorType < kThermocoupleTypes)
    return kTcLast[sensorType];
  if (kind == DeviceKind::ResistanceThermometer && sensorType >= 0 && sensorType < kResistanceTypes)
    return kRtdLast[sensorType];
  return -1;
}

std::optional<Range> lookupRange(DeviceKind kind, int sensorType, int rangeIndex) {
  if (rangeIndex < 0 || rangeIndex > lastRange(kind, sensorType)) return std::nullopt;
  const Range* column = kind == DeviceKind::Thermocouple ? kTcColumn[sensorType] : kRtdColumn[sensorType];
  return column[rangeIndex];
}

std::string_view alarmTypeName(int code) {
  static constexpr std::string_view names[] = {"Min/Max", "Min/Min", "Max/Max"};
  return code >= 0 && code <= 2 ? names[code] : std::string_view();
}

}  // namespace duz
