#include "ui/dialog.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "model/cp1251.h"

namespace duz {

namespace {

constexpr const char* kSpeedPieces[] = {"9600 ", "19200 ", "57600 ", "115200 "};
constexpr const char* kParityPieces[] = {"parity=N ", "parity=E ", "parity=O "};
constexpr const char* kStopPieces[] = {"stop=1", "stop=2"};

// The piece for a list's selected item; nothing when no item (or an unknown one) is selected.
template <std::size_t N>
const char* piece(const char* const (&pieces)[N], const ComboBox& list) {
  return list.itemIndex >= 0 && list.itemIndex < static_cast<int>(N) ? pieces[list.itemIndex] : "";
}

std::string text(std::string_view cp1251Text) {
  return std::string(cp1251Text);
}

}  // namespace

TForm2::TForm2(Operator& op, SerialPorts& ports, GiveStringFunction giveString)
    : StringGrid1(2, 2, {22, 54}, 1, 1),
      StringGrid2(2, 1, {215, 46}, 0, 0),
      op_(op),
      ports_(ports),
      giveString_(std::move(giveString)) {
  caption = text(cp1251("Инициализация подключенных устройств"));
  Label1 = {"Label1", false};
  Label2 = {text(cp1251("Необходимо провести инициализацию устройств")), true};
  Label4 = {text(cp1251("Количество устройств: 0")), true};
  Label8 = {text(cp1251("Скорость (бит/с)")), true};
  Label9 = {text(cp1251("Чётность")), true};
  Label10 = {text(cp1251("Стоповые биты")), true};
  Label11 = {text(cp1251("Максимальный номер")), true};
  Label12 = {text(cp1251("подключенного устройства")), true};
  GroupBox1 = {text(cp1251("Выбор COM-порта"))};
  GroupBox2 = {text(cp1251("Параметры COM-порта"))};
  GroupBox3 = {text(cp1251("Параметры инициализации"))};

  CBoxCOM.sorted = true;
  CBoxCOM.hint = text(cp1251("Выбор COM-порта"));
  CBoxSpeed.items = {"9600", "19200", "57600", "115200"};
  CBoxSpeed.hint = text(cp1251("Скорость обмена (бит/с)"));
  CBoxPar.items = {text(cp1251("Нет")), text(cp1251("Чет")), text(cp1251("Нечет"))};
  CBoxPar.hint = text(cp1251("Контроль четности"));
  CBoxStop.items = {"1", "2"};
  CBoxStop.hint = text(cp1251("Стоповые биты"));
  for (int n = 1; n <= kSlots; ++n) CBoxNum.items.push_back(std::to_string(n));

  Button1 = {text(cp1251("Выход")), false, false};
  Button2 = {text(cp1251("Поиск устройств")), true, true};

  // The device list starts on its first model cell; column 0 and row 0 are fixed.
  StringGrid1.selCol = 1;
  StringGrid1.selRow = 1;
  StringGrid2.selCol = 2;
  StringGrid2.selRow = 2;

  Variants = alarmVariantTable();
  FormCreate();
}

void TForm2::show() {
  visible = true;
  FormShow();
}

void TForm2::close() {
  FormClose();
  visible = false;
}

void TForm2::hide() {
  visible = false;
}

void TForm2::FormCreate() {
  for (const std::string& name : ports_.list()) {
    // A name listed twice (e.g. found and also named in the environment) is offered once.
    if (!name.empty() && CBoxCOM.indexOf(name) < 0) CBoxCOM.add(name);
  }
  CBoxCOM.itemIndex = CBoxCOM.items.empty() ? -1 : 0;
  CBoxSpeed.select("9600");
  CBoxPar.select(text(cp1251("Нет")));
  CBoxStop.select("2");
  CBoxNum.select("1");
  StringGrid1.cell(0, 0) = text(cp1251(" №"));
  StringGrid1.cell(1, 0) = text(cp1251("  Тип"));
}

void TForm2::FormShow() {
  const int count = std::clamp<std::int32_t>(DeviceCount, 0, kSlots);
  if (count > 0) {
    StringGrid1.defaultDrawing = true;
    StringGrid1.setRowCount(count + 1);
    for (int i = 0; i < count; ++i) {
      const DeviceConfig& device = Devices[i];
      StringGrid1.cell(0, i + 1) = std::to_string(device.busAddress());
      StringGrid1.cell(1, i + 1) = std::string(device.modelName(), device.textLength(cell::kModelName));
    }
  }
  View(1, 1);
}

std::string TForm2::portSettingsText() const {
  return std::string("baud=") + piece(kSpeedPieces, CBoxSpeed) + piece(kParityPieces, CBoxPar) + "data=8 " +
         piece(kStopPieces, CBoxStop);
}

std::string TForm2::actionWord() const {
  return searchRequested == 1 ? "Replay" : "Abort";
}

void TForm2::FormClose() {
  const std::string settings = portSettingsText();
  const std::string port = CBoxCOM.text();
  const std::string limit = CBoxNum.text();
  const std::string action = actionWord();
  if (giveString_) giveString_(settings.c_str(), port.c_str(), limit.c_str(), action.c_str());
}

void TForm2::Button1Click() {
  searchRequested = 0;
  close();
}

void TForm2::Button2Click() {
  // The answer is not examined: the warning only prepares the operator, the search always proceeds.
  op_.messageBox(text(cp1251("Внимание ! \nСейчас будет произведена инициализация подключенных устройств. \n"
                             "Это займёт некоторое время и потребует значительных ресурсов компьютера. \n"
                             "Поэтому не рекомендуется выполнять какие-либо операции до завершения "
                             "инициализации. \nДля продолжения нажмите кнопку (OK).")),
                 text(cp1251("Инициализация устройств")), BoxIcon::Warning, BoxButtons::Ok, BoxAnswer::Ok);
  ProgressBar1.visible = true;
  const std::string limit = CBoxNum.text();
  int highest = 1;
  std::from_chars(limit.data(), limit.data() + limit.size(), highest);
  ProgressBar1.max = highest;
  ProgressBar1.position = 0;
  // Two blanks, not empty: showing the list again before any device is found must describe nothing.
  StringGrid1.setRowCount(2);
  StringGrid1.cell(0, 1) = "  ";
  StringGrid1.cell(1, 1) = "  ";
  Label1.visible = true;
  for (ComboBox* list : {&CBoxCOM, &CBoxSpeed, &CBoxPar, &CBoxStop, &CBoxNum}) list->enabled = false;
  Button1.enabled = false;
  Button2.enabled = false;
  Label2.text = text(cp1251("Идёт инициализация устройств"));
  searchRequested = 1;
  close();
}

bool TForm2::StringGrid1SelectCell(int col, int row) {
  View(col, row);
  return true;
}

void TForm2::StringGrid2Exit() {
  StringGrid2.selCol = 2;
  StringGrid2.selRow = 2;
}

}  // namespace duz
