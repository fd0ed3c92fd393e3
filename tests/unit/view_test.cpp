#include <gmock/gmock.h>

#include <clocale>

#include "unit/dialog_fixture.h"

namespace duz::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using ::testing::Matcher;

// Devices are listed in the device list and described by selecting their row.
class ViewTest : public DialogTest {
 protected:
  void SetUp() override { make(); }
  std::vector<std::string> describe(const std::vector<DeviceConfig>& devices, int row = 1) {
    setDevices(devices);
    form->show();
    form->StringGrid1SelectCell(1, row);
    return description();
  }
  static void setSetpoint(DeviceConfig& d, int which, std::uint16_t raw) {
    d.cells[which == 1 ? cell::kSetpoint1High : cell::kSetpoint2High][0] =
        static_cast<std::uint8_t>(raw >> 8);
    d.cells[which == 1 ? cell::kSetpoint1Low : cell::kSetpoint2Low][0] =
        static_cast<std::uint8_t>(raw & 0xFF);
  }
  static DeviceConfig transducer(const char* model, const char* low, const char* high) {
    DeviceConfig d = makeDevice(4, model);
    setCellText(d, cell::kRangeLow, low);
    setCellText(d, cell::kRangeHigh, high);
    return d;
  }
};

TEST_F(ViewTest, ControllerListsFittedSlotsByTheirPosition) {
  DeviceConfig d = makeDevice(1, "ЛУМА-12");
  const int codes[8] = {1, 0, 4, 0, 0, 0, 0, 2};
  for (int s = 0; s < 8; ++s) d.cells[cell::kSlotModule0 + s][0] = static_cast<std::uint8_t>(codes[s]);
  setCellText(d, cell::kControllerVariant, "1011");
  const auto rows = describe({d});
  EXPECT_THAT(rows, ElementsAre(EndsWith("| "), EndsWith("| "), " | ", "   Шифр исполнения:|1011",
                                "   Модуль №1|БРУН", "   Модуль №3|ЖАЛС", "   Модуль №8|ГЕЛТ"));

  d.cells[cell::kSlotModule0][0] = 0;
  d.cells[cell::kSlotModule0 + 2][0] = 9;  // an unknown code gets no row
  d.cells[cell::kSlotModule0 + 7][0] = 0;
  EXPECT_EQ(describe({d}).size(), 4u);
}

TEST_F(ViewTest, AlarmInstrumentShowsItsVariantRow) {
  DeviceConfig d = makeDevice(6, "ДЕК-04");
  setCellText(d, cell::kAlarmVariant, "9852");  // first row of the variant table
  const auto rows = describe({d});
  EXPECT_THAT(rows, ElementsAre(EndsWith("| "), EndsWith("| "), " | ", "   Шифр исполнения| 9852",
                                "   Дискретные входы:| ", "      - искробезопасного исполнения:|6",
                                "      - общепромышленного исполнения:|4", "   Выходы реле:|4",
                                "   Модуль №1|ЛИРК", "   Модуль №2|ФО1"));

  setCellText(d, cell::kAlarmVariant, "9867");  // with signalling outputs and four modules
  const auto full = describe({d});
  ASSERT_EQ(full.size(), 13u);
  EXPECT_EQ(full[8], "   Выходы сигнализации:|3");
  EXPECT_EQ(full[12], "   Модуль №4|ЗУМ");

  setCellText(d, cell::kAlarmVariant, "0000");
  const auto unknown = describe({d});
  ASSERT_EQ(unknown.size(), 5u);
  EXPECT_EQ(unknown[4], "   Дискретные входы:| ");
}

TEST_F(ViewTest, ThermocoupleTransducerScalesSetpointsOverItsRange) {
  DeviceConfig d = transducer("ВЕКС-1", "-50", "600");
  d.cells[cell::kSensorType][0] = 2;
  d.cells[cell::kAlarmType][0] = 1;
  setSetpoint(d, 1, 0x1000);  // 4096: -50 + 650 * 4096 / 8192
  setSetpoint(d, 2, 0xF000);  // -4096, signed
  const auto rows = describe({d});
  const std::vector<Matcher<std::string>> expected{EndsWith("| "),
                                                   EndsWith("| "),
                                                   "ВХОД ДЛЯ ПОДКЛЮЧЕНИЯ| ",
                                                   "ТЕРМОПАР| ",
                                                   " | ",
                                                   "   Тип первичного преобразователя:|ТХA (K)",
                                                   "   Диапазон,  °C:| ",
                                                   "      - MIN:|-50",
                                                   "      - MAX:|600",
                                                   " | ",
                                                   "   Тип сигнализации:|Min/Min",
                                                   "      - Уставка 1,  °C:|275",
                                                   "      - Уставка 2,  °C:|-375"};
  EXPECT_THAT(rows, ElementsAreArray(expected));

  setSetpoint(d, 1, 8192);
  setSetpoint(d, 2, 0);
  const auto ends = describe({d});
  EXPECT_EQ(ends[11], "      - Уставка 1,  °C:|600");
  EXPECT_EQ(ends[12], "      - Уставка 2,  °C:|-50");
}

TEST_F(ViewTest, ResistanceTransducerNamesItsSensor) {
  DeviceConfig d = transducer("ВЕКС-2", "-200", "500");
  d.cells[cell::kSensorType][0] = 2;
  d.cells[cell::kAlarmType][0] = 7;
  const auto rows = describe({d});
  ASSERT_EQ(rows.size(), 13u);
  EXPECT_EQ(rows[3], "ТЕРМОМЕТРОВ СОПРОТИВЛЕНИЯ| ");
  EXPECT_EQ(rows[5], "   Тип первичного преобразователя:|Pt 100");
  EXPECT_EQ(rows[10], "   Тип сигнализации:|");  // a code without a name
  d.cells[cell::kSensorType][0] = 6;             // beyond the resistance thermometers
  EXPECT_EQ(describe({d})[5], "   Тип первичного преобразователя:|");
}

TEST_F(ViewTest, CurrentLoopShowsPercentSetpointsAndConversion) {
  DeviceConfig d = makeDevice(8, "ОРТА");
  d.cells[cell::kSensorType][0] = 1;
  d.cells[cell::kAlarmType][0] = 2;
  setSetpoint(d, 1, 8192);
  setSetpoint(d, 2, 16383);
  const auto rows = describe({d});
  EXPECT_THAT(rows, ElementsAre(EndsWith("| "), EndsWith("| "), " | ", "   Входной сигнал, мА:|4 - 20",
                                "   Тип преобразования:|Лин.", " | ", "   Тип сигнализации:|Max/Max",
                                "      - Уставка 1, %:|50.00", "      - Уставка 2, %:|100.00"));

  d.cells[cell::kSensorType][0] = 0;
  setSetpoint(d, 1, 0xFFFF);  // unsigned: above the span, not negative
  const auto more = describe({d});
  EXPECT_EQ(more[4], "   Тип преобразования:|Корн.");
  EXPECT_EQ(more[7], "      - Уставка 1, %:|400.02");
  d.cells[cell::kSensorType][0] = 3;
  EXPECT_EQ(describe({d})[4], "   Тип преобразования:|");
}

TEST_F(ViewTest, NumbersIgnoreADecimalCommaLocale) {
  if (!std::setlocale(LC_NUMERIC, "ru_RU.UTF-8") && !std::setlocale(LC_NUMERIC, "de_DE.UTF-8"))
    GTEST_SKIP() << "no decimal-comma locale installed";
  DeviceConfig d = makeDevice(8, "ОРТА");
  setSetpoint(d, 1, 8192);
  const auto rows = describe({d});
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(rows[7], "      - Уставка 1, %:|50.00");
}

TEST_F(ViewTest, NothingToDescribeLeavesOneEmptyRow) {
  // Unknown model, a model name filling its cell without a NUL, an address no device has.
  DeviceConfig unknown = makeDevice(3, "ПРИБОР");
  DeviceConfig unterminated = makeDevice(4, "ВЕКС-1");
  std::memset(unterminated.cells[cell::kModelName], 'X', kCellSize);
  EXPECT_THAT(describe({unknown, unterminated}, 1), ElementsAre("|"));
  EXPECT_THAT(describe({unknown, unterminated}, 2), ElementsAre("|"));
  form->StringGrid1.cell(0, 1) = "17";
  form->StringGrid1SelectCell(1, 1);
  EXPECT_THAT(description(), ElementsAre("|"));
  EXPECT_TRUE(form->StringGrid2.defaultDrawing);

  form->View(0, 1);  // the cell left of column 0 is outside the list
  EXPECT_THAT(description(), ElementsAre("|"));
}

TEST_F(ViewTest, UnknownModelDoesNotHideAKnownOneAtTheSameAddress) {
  EXPECT_EQ(describe({makeDevice(5, "ПРИБОР"), makeDevice(5, "ОРТА")}).size(), 9u);
}

TEST_F(ViewTest, DrawingStartsWithTheFirstAddressAndStaysOn) {
  form->StringGrid1.cell(0, 1) = "  ";
  form->StringGrid1SelectCell(1, 1);
  EXPECT_FALSE(form->StringGrid2.defaultDrawing);
  setDevices({makeDevice(2, "ОРТА")});
  form->show();
  EXPECT_TRUE(form->StringGrid2.defaultDrawing);
  form->StringGrid1.cell(0, 1) = "  ";
  form->StringGrid1SelectCell(1, 1);
  EXPECT_TRUE(form->StringGrid2.defaultDrawing);
  EXPECT_EQ(form->StringGrid2.selCol, 2);
  EXPECT_EQ(form->StringGrid2.selRow, 2);
}

}  // namespace
}  // namespace duz::test
