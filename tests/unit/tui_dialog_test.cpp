// The initialisation dialog as a text screen: its layout in cells, what is drawn in each state, and how
// the keyboard works it (without curses).
#include <gmock/gmock.h>

#include <algorithm>

#include "ui/terminal/terminal_dialog.h"
#include "unit/dialog_fixture.h"

namespace duz::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using tui::Control;
using tui::Key;

// --- Layout -------------------------------------------------------------------------------------------

// The window's layout: name, parent, left, top, width, height in pixels, tab order. The same
// as ui/layout.h's kDialogLayout, which cannot be included here: its static_assert does not compile with
// GCC 12 under -fsanitize=undefined (the null test of a pointer into the table is not a constant there).
struct WindowControl {
  std::string_view name, parent;
  int left, top, width, height, tabOrder;
};
constexpr WindowControl kWindowLayout[] = {
    {"Label2", "", 4, 1, 294, 13, -1},
    {"Label4", "", 4, 44, 125, 13, -1},
    {"ProgressBar1", "", 4, 64, 137, 16, -1},
    {"Label1", "", 164, 66, 32, 13, -1},
    {"StringGrid1", "", 5, 96, 100, 217, 0},
    {"StringGrid2", "", 120, 96, 281, 217, -1},
    {"GroupBox1", "", 407, 8, 113, 49, 3},
    {"CBoxCOM", "GroupBox1", 8, 16, 65, 21, 0},
    {"GroupBox2", "", 407, 64, 217, 105, 4},
    {"Label8", "GroupBox2", 16, 28, 85, 13, -1},
    {"CBoxSpeed", "GroupBox2", 112, 24, 89, 21, 0},
    {"Label9", "GroupBox2", 16, 54, 48, 13, -1},
    {"CBoxPar", "GroupBox2", 112, 50, 89, 21, 1},
    {"Label10", "GroupBox2", 16, 80, 78, 13, -1},
    {"CBoxStop", "GroupBox2", 112, 76, 89, 21, 2},
    {"GroupBox3", "", 407, 174, 217, 59, 5},
    {"Label11", "GroupBox3", 8, 24, 114, 13, -1},
    {"Label12", "GroupBox3", 8, 37, 138, 13, -1},
    {"CBoxNum", "GroupBox3", 152, 29, 49, 21, 0},
    {"Button1", "", 530, 16, 91, 41, 2},
    {"Button2", "", 408, 245, 217, 65, 1},
};

TEST(TuiLayout, EveryWindowControlHasItsPlaceWithTheSameParentAndTabOrder) {
  ASSERT_EQ(tui::kTerminalLayout.size(), std::size(kWindowLayout));
  for (const WindowControl& window : kWindowLayout) {
    const auto it = std::find_if(tui::kTerminalLayout.begin(), tui::kTerminalLayout.end(),
                                 [&](const tui::TerminalControl& t) { return t.name == window.name; });
    ASSERT_NE(it, tui::kTerminalLayout.end()) << window.name;
    EXPECT_EQ(it->parent, window.parent) << window.name;
    EXPECT_EQ(it->tabOrder, window.tabOrder) << window.name;
  }
}

TEST(TuiLayout, ControlsFitTheDialogAndTheirGroupBoxes) {
  for (const tui::TerminalControl& c : tui::kTerminalLayout) {
    const tui::Rect r = tui::terminalRect(c.name);
    EXPECT_GE(r.x, 0) << c.name;
    EXPECT_GE(r.y, 1) << c.name << " is below the caption bar";
    EXPECT_LE(r.x + r.w, tui::kDialogColumns) << c.name;
    EXPECT_LE(r.y + r.h, tui::kDialogRows) << c.name;
    if (c.parent.empty()) continue;
    const tui::Rect box = tui::terminalRect(c.parent);
    EXPECT_GT(r.x, box.x) << c.name << " inside the frame of " << c.parent;
    EXPECT_GT(r.y, box.y) << c.name;
    EXPECT_LT(r.x + r.w, box.x + box.w) << c.name;
    EXPECT_LT(r.y + r.h, box.y + box.h) << c.name;
  }
}

bool overlap(const tui::Rect& a, const tui::Rect& b) {
  return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

TEST(TuiLayout, SiblingsDoNotOverlap) {
  for (const tui::TerminalControl& a : tui::kTerminalLayout)
    for (const tui::TerminalControl& b : tui::kTerminalLayout)
      if (a.name < b.name && a.parent == b.parent) {
        EXPECT_FALSE(overlap(a.rect, b.rect)) << a.name << " and " << b.name;
      }
}

// What lies wholly above or wholly left of another control in the window does so on the terminal too, or
// at least not the other way round.
TEST(TuiLayout, KeepsTheWindowsArrangement) {
  for (const WindowControl& a : kWindowLayout) {
    for (const WindowControl& b : kWindowLayout) {
      if (a.name == b.name || a.parent != b.parent) continue;
      const tui::Rect ta = tui::terminalRect(a.name);
      const tui::Rect tb = tui::terminalRect(b.name);
      if (a.top + a.height <= b.top) {
        EXPECT_FALSE(tb.y + tb.h <= ta.y) << a.name << " above " << b.name;
      }
      if (a.left + a.width <= b.left) {
        EXPECT_FALSE(tb.x + tb.w <= ta.x) << a.name << " left of " << b.name;
      }
    }
  }
}

TEST(TuiLayout, TabOrderIsTheWindows) {
  EXPECT_THAT(tui::tabOrder(),
              ElementsAre(Control::StringGrid1, Control::Button2, Control::Button1, Control::CBoxCOM,
                          Control::CBoxSpeed, Control::CBoxPar, Control::CBoxStop, Control::CBoxNum));
}

// --- Drawing ------------------------------------------------------------------------------------------

class TuiDialogTest : public DialogTest {
 protected:
  void SetUp() override { make({"COM1", "/dev/ttyV0"}); }

  tui::Screen draw(int width = tui::kDialogColumns, int height = tui::kDialogRows) {
    tui::Screen s(width, height);
    tui::renderDialogScreen(*form, ui, s);
    return s;
  }
  static std::string rowText(const tui::Screen& s, int y) { return s.row(y); }
  static std::string rect(const tui::Screen& s, const tui::Rect& r) {
    std::string out;
    for (int y = r.y; y < r.y + r.h; ++y) {
      tui::Screen line(r.w, 1);
      for (int x = 0; x < r.w; ++x) line.put(x, 0, s.at(r.x + x, y).ch, 0);
      out += line.row(0) + "\n";
    }
    return out;
  }
  std::string control(const tui::Screen& s, std::string_view name) {
    return rect(s, tui::terminalRect(name));
  }
  // As the start-up leaves the dialog after a search.
  void reviewing(const std::vector<DeviceConfig>& devices) {
    setDevices(devices);
    form->Label2.text = cp("Инициализация устройств завершена");
    form->Button1.visible = form->Button1.enabled = true;
    form->show();
    tui::startModal(*form, ui);
  }
  void press(std::initializer_list<Key> keys) {
    for (Key k : keys) tui::handleDialogKey(*form, ui, k);
  }

  tui::DialogUi ui;
};

TEST_F(TuiDialogTest, FirstRunShowsTheDesignTimeStateAndNoExitButton) {
  form->show();
  tui::startModal(*form, ui);
  const tui::Screen s = draw();
  EXPECT_EQ(s.row(0), "                      Инициализация подключенных устройств");
  EXPECT_EQ(s.at(30, 0).attr & tui::kReverse, tui::kReverse);
  EXPECT_EQ(control(s, "Label2"), "Необходимо провести инициализацию устройств\n\n\n");
  EXPECT_EQ(control(s, "Label4"), "Количество устройств: 0\n");
  EXPECT_EQ(control(s, "ProgressBar1"), "\n");
  EXPECT_EQ(control(s, "Label1"), "\n");
  EXPECT_EQ(control(s, "CBoxCOM"), "/dev/ttyV0      ▼\n");
  EXPECT_EQ(control(s, "CBoxSpeed"), "9600   ▼\n");
  EXPECT_EQ(control(s, "CBoxPar"), "Нет    ▼\n");
  EXPECT_EQ(control(s, "CBoxStop"), "2      ▼\n");
  EXPECT_EQ(control(s, "CBoxNum"), "1   ▼\n");
  EXPECT_EQ(control(s, "Label12"), "подключенного устройства\n");
  EXPECT_EQ(control(s, "Button1"), "\n\n\n");
  EXPECT_THAT(s.dump(), Not(HasSubstr("Выход")));
  EXPECT_EQ(control(s, "Button2"),
            "┌─────────────────────────┐\n│                         │\n│     Поиск устройств     │\n"
            "│                         │\n└─────────────────────────┘\n");
  // Device list and description: their background only, not even the header row.
  EXPECT_EQ(
      control(s, "StringGrid1"), "┌──────────┐\n" + [] {
        std::string r;
        for (int i = 0; i < 15; ++i) r += "│          │\n";
        return r;
      }() + "└──────────┘\n");
  EXPECT_THAT(s.dump(), Not(HasSubstr("Тип")));
  // Every group's title with a blank either side.
  EXPECT_EQ(s.row(1).substr(s.row(1).find("┌")), "┌ Выбор COM-порта ┐");
  EXPECT_THAT(s.row(5), HasSubstr("┌ Параметры COM-порта ────┐"));
  EXPECT_THAT(s.row(6), HasSubstr("│Скорость (бит/с) 9600   ▼│"));
}

TEST_F(TuiDialogTest, HeadlineAndButtonsAreBoldAndBlueAndTheFocusedButtonReversed) {
  reviewing({makeDevice(2, "ЛУМА-12")});
  press({Key::Tab});
  ASSERT_EQ(ui.focus, Control::Button2);
  const tui::Screen s = draw();
  const tui::Rect label2 = tui::terminalRect("Label2");
  EXPECT_EQ(s.at(label2.x, label2.y).attr, tui::kBold | tui::kBlue);
  const tui::Rect b1 = tui::terminalRect("Button1");
  EXPECT_EQ(s.at(b1.x, b1.y).attr, tui::kBold | tui::kBlue);
  EXPECT_EQ(control(s, "Button1"), "┌─────┐\n│Выход│\n└─────┘\n");
  EXPECT_EQ(s.at(b1.x + 2, b1.y + 1).attr, tui::kBold | tui::kBlue);
  const tui::Rect b2 = tui::terminalRect("Button2");
  EXPECT_EQ(s.at(b2.x + 8, b2.y + 2).attr, tui::kBold | tui::kBlue | tui::kReverse);
}

TEST_F(TuiDialogTest, DisabledControlsAreDimmed) {
  form->show();
  form->Button2Click();  // disables the lists and both buttons
  form->Button1.visible = true;
  const tui::Screen s = draw();
  for (const char* name : {"CBoxCOM", "CBoxSpeed", "CBoxPar", "CBoxStop", "CBoxNum", "Button1", "Button2"}) {
    const tui::Rect r = tui::terminalRect(name);
    EXPECT_TRUE(s.at(r.x, r.y).attr & tui::kDim) << name;
  }
  EXPECT_EQ(control(s, "Label2"), "Идёт инициализация устройств\n\n\n");
}

TEST_F(TuiDialogTest, SearchShowsProgressPercentageAndTheDevicesFound) {
  form->show();
  form->Button2Click();
  form->ProgressBar1.max = 5;
  form->ProgressBar1.position = 3;
  form->Label1.text = cp("Выполнено: 60 %");
  form->Label4.text = cp("Найдено устройств: 1");
  form->StringGrid1.cell(0, 1).assign(1, '2');
  form->StringGrid1.cell(1, 1) = cp("ЛУМА-12");
  form->StringGrid1.defaultDrawing = true;
  ui = tui::DialogUi{};
  const tui::Screen s = draw();
  EXPECT_EQ(control(s, "ProgressBar1"), "██████████░░░░░░░\n");
  EXPECT_EQ(control(s, "Label1"), "Выполнено: 60 %\n");
  EXPECT_EQ(control(s, "Label4"), "Найдено устройств: 1\n");
  const tui::Rect grid = tui::terminalRect("StringGrid1");
  EXPECT_EQ(s.row(grid.y + 1).substr(0, std::string("│ №   Тип  │").size()), "│ №   Тип  │");
  EXPECT_EQ(s.row(grid.y + 2).substr(0, std::string("│2  ЛУМА-12│").size()), "│2  ЛУМА-12│");
  // The selected model cell in the selection colours.
  EXPECT_EQ(s.at(grid.x + 4, grid.y + 2).attr, tui::kReverse);
}

TEST_F(TuiDialogTest, StoredConfigurationHeadlineTakesSeveralLines) {
  form->Label2.text =
      cp("Текущая конфигурация: \nот 7-го декабря (понедельник) 2026 года;\nсоздана в 0 чaс. 38 мин.");
  form->show();
  const tui::Screen s = draw();
  EXPECT_EQ(control(s, "Label2"),
            "Текущая конфигурация:\nот 7-го декабря (понедельник) 2026 года;\nсоздана в 0 чaс. 38 мин.\n");
}

TEST_F(TuiDialogTest, DescriptionPutsTheValueOfALongTextOnTheNextLine) {
  DeviceConfig d = makeDevice(5, "ВЕКС-1");
  setCellText(d, cell::kRangeLow, "-50");
  setCellText(d, cell::kRangeHigh, "600");
  d.cells[cell::kSensorType][0] = 2;
  reviewing({d});
  const tui::Screen s = draw();
  const std::string text = control(s, "StringGrid2");
  EXPECT_THAT(text, HasSubstr("│ИЗМЕРИТЕЛЬНЫЙ ПРЕОБРАЗОВАТЕЛЬ        │\n│ТЕМПЕРАТУРЫ"));
  EXPECT_THAT(
      text, HasSubstr("│   Тип первичного преобразователя:   │\n│                             ТХA (K) │\n"));
  EXPECT_THAT(
      text, HasSubstr("│      - MIN:                 -50     │\n│      - MAX:                 600     │\n"));
}

TEST_F(TuiDialogTest, LongestDescriptionFitsTheGrid) {
  // A ДЕК-04 whose variant fills every cell: 13 rows, two of them with a value on a second line.
  reviewing({makeDevice(3, "ДЕК-04")});
  for (int r = 0; r < 13; ++r) {
    form->StringGrid2.setRowCount(13);
    form->StringGrid2.cell(0, r) = r == 6 ? cp("      - общепромышленного исполнения:") : cp("   Модуль №1");
    // assign(count, char): GCC 12 at -O3 misreads assigning a literal here as an overlapping copy.
    form->StringGrid2.cell(1, r).assign(1, r % 2 ? '4' : ' ');
  }
  form->StringGrid2.defaultDrawing = true;
  const tui::Screen s = draw();
  const std::string text = control(s, "StringGrid2");
  EXPECT_THAT(text, HasSubstr("│      - общепромышленного исполнения:│\n"));
  EXPECT_THAT(text, Not(HasSubstr("▼")));
}

TEST_F(TuiDialogTest, DeviceListScrollsToTheSelection) {
  std::vector<DeviceConfig> devices;
  for (int a = 1; a <= 20; ++a) devices.push_back(makeDevice(a, "ОРТА"));
  reviewing(devices);
  press({Key::End});
  EXPECT_EQ(form->StringGrid1.selRow, 20);
  const tui::Screen s = draw();
  const std::string list = control(s, "StringGrid1");
  EXPECT_THAT(list, HasSubstr("│ №   Тип  │\n"));
  EXPECT_THAT(list, HasSubstr("│20 ОРТА   │\n"));
  EXPECT_THAT(list, Not(HasSubstr("│1  ОРТА")));
  EXPECT_THAT(list, HasSubstr("▲"));
  press({Key::Home});
  EXPECT_THAT(control(draw(), "StringGrid1"), HasSubstr("│1  ОРТА   │\n"));
}

TEST_F(TuiDialogTest, OpenListShowsItsItemsWithTheSelectionHighlighted) {
  reviewing({});
  ui.focus = Control::CBoxSpeed;
  press({Key::Enter});
  ASSERT_TRUE(ui.listOpen);
  const tui::Screen s = draw();
  const std::string all = s.dump();
  EXPECT_THAT(all, HasSubstr("│ 9600   │"));
  EXPECT_THAT(all, HasSubstr("│ 115200 │"));
  const tui::Rect combo = tui::terminalRect("CBoxSpeed");
  EXPECT_EQ(s.at(combo.x + 1, combo.y + 2).ch, U'9');
  EXPECT_EQ(s.at(combo.x + 1, combo.y + 2).attr, tui::kReverse);
}

TEST_F(TuiDialogTest, ASmallScreenSaysSo) {
  form->show();
  const tui::Screen s = draw(60, 20);
  EXPECT_EQ(s.row(19), "Окно терминала меньше 80x24: увеличьте его");
}

TEST_F(TuiDialogTest, ALargeScreenCentresTheDialogInAFrameWithTheKeyHintsUnderIt) {
  form->show();
  tui::startModal(*form, ui);
  const tui::Screen s = draw(100, 30);
  EXPECT_EQ(s.at(9, 2).ch, U'┌');
  EXPECT_EQ(s.row(3).substr(0, 12), std::string(9, ' ') + "│");
  EXPECT_THAT(s.row(3), HasSubstr("Инициализация подключенных устройств"));
  EXPECT_EQ(s.at(9, 2 + tui::kDialogRows + 1).ch, U'└');
  EXPECT_THAT(s.row(2 + tui::kDialogRows + 2), HasSubstr(tui::keyHints()));
}

// The hints take a row of their own under the dialog, in the terminal's own colours, and only while the
// dialog takes keys.
TEST_F(TuiDialogTest, KeyHintsNeverCoverTheDialog) {
  form->show();
  tui::startModal(*form, ui);
  const tui::Screen classic = draw(80, 24);
  const std::string hints(tui::keyHints());
  EXPECT_EQ(classic.row(23).substr(classic.row(23).find_first_not_of(' ')), hints);
  for (int x = 0; x < 80; ++x) EXPECT_EQ(classic.at(x, 23).attr, tui::kPlain) << x;
  const tui::Screen noRoom = draw(80, 23);
  EXPECT_THAT(noRoom.dump(), Not(HasSubstr("Esc")));
  EXPECT_THAT(noRoom.row(22), StartsWith("└──────────┘ └"));  // the grids' bottom is still there

  ui = tui::DialogUi{};  // a search's showing takes no keys
  EXPECT_THAT(draw(80, 24).dump(), Not(HasSubstr("Esc")));
}

// --- Keys ---------------------------------------------------------------------------------------------

TEST_F(TuiDialogTest, TabFollowsTheWindowsOrderAndSkipsHiddenAndDisabledControls) {
  form->show();
  tui::startModal(*form, ui);
  EXPECT_EQ(ui.focus, Control::StringGrid1);
  std::vector<Control> seen;
  for (int i = 0; i < 7; ++i) {
    press({Key::Tab});
    seen.push_back(ui.focus);
  }
  EXPECT_THAT(seen, ElementsAre(Control::Button2, Control::CBoxCOM, Control::CBoxSpeed, Control::CBoxPar,
                                Control::CBoxStop, Control::CBoxNum, Control::StringGrid1));
  press({Key::BackTab});
  EXPECT_EQ(ui.focus, Control::CBoxNum);

  form->Button1.visible = form->Button1.enabled = true;
  form->CBoxSpeed.enabled = false;
  ui.focus = Control::Button2;
  press({Key::Tab, Key::Tab, Key::Tab});
  EXPECT_EQ(ui.focus, Control::CBoxPar);
}

TEST_F(TuiDialogTest, ListsOpenWithEnterAndTakeTheChosenItem) {
  form->show();
  tui::startModal(*form, ui);
  press({Key::Tab, Key::Tab, Key::Tab});  // speed
  ASSERT_EQ(ui.focus, Control::CBoxSpeed);
  press({Key::Enter});
  EXPECT_TRUE(ui.listOpen);
  EXPECT_EQ(ui.highlight, 0);
  press({Key::Down, Key::Down, Key::Down, Key::Down});  // stops at the last item
  EXPECT_EQ(ui.highlight, 3);
  EXPECT_EQ(form->CBoxSpeed.text(), "9600");  // not taken before Enter
  press({Key::Enter});
  EXPECT_FALSE(ui.listOpen);
  EXPECT_EQ(form->CBoxSpeed.text(), "115200");

  press({Key::Space, Key::Up, Key::Escape});  // Escape leaves the list as it was
  EXPECT_FALSE(ui.listOpen);
  EXPECT_EQ(form->CBoxSpeed.text(), "115200");

  press({Key::Up});  // a closed list steps through its items
  EXPECT_EQ(form->CBoxSpeed.text(), "57600");
}

TEST_F(TuiDialogTest, LongListScrollsAndTabTakesTheHighlightedItem) {
  form->show();
  tui::startModal(*form, ui);
  ui.focus = Control::CBoxNum;
  press({Key::OpenList, Key::PageDown, Key::PageDown});
  EXPECT_EQ(ui.highlight, 16);
  EXPECT_EQ(ui.listTop, 16 - tui::kDropDownCount + 1);
  press({Key::End});
  EXPECT_EQ(ui.highlight, 30);
  press({Key::Tab});
  EXPECT_FALSE(ui.listOpen);
  EXPECT_EQ(form->CBoxNum.text(), "31");
  EXPECT_EQ(ui.focus, Control::StringGrid1);
}

TEST_F(TuiDialogTest, SearchButtonWarnsThenClosesWithReplay) {
  form->show();
  tui::startModal(*form, ui);
  press({Key::Tab});
  ASSERT_EQ(ui.focus, Control::Button2);
  press({Key::Enter});
  ASSERT_EQ(op.boxes.size(), 1u);
  EXPECT_EQ(op.boxes[0].caption, cp("Инициализация устройств"));
  EXPECT_EQ(op.boxes[0].buttons, BoxButtons::Ok);
  EXPECT_FALSE(form->visible);
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].action, "Replay");
  EXPECT_EQ(handed[0].settings, "baud=9600 parity=N data=8 stop=2");
  EXPECT_EQ(handed[0].port, "/dev/ttyV0");
  EXPECT_EQ(handed[0].limit, "1");
}

TEST_F(TuiDialogTest, ExitButtonClosesWithAbortAndSpaceAlsoPresses) {
  reviewing({makeDevice(2, "ОРТА")});
  press({Key::Tab, Key::Tab});
  ASSERT_EQ(ui.focus, Control::Button1);
  press({Key::Space});
  EXPECT_FALSE(form->visible);
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].action, "Abort");
  EXPECT_TRUE(op.boxes.empty());
}

TEST_F(TuiDialogTest, ArrowsInTheDeviceListSelectAndDescribe) {
  DeviceConfig luma = makeDevice(2, "ЛУМА-12");
  reviewing({luma, makeDevice(5, "ОРТА")});
  ASSERT_EQ(ui.focus, Control::StringGrid1);
  EXPECT_THAT(description()[0], StartsWith("МНОГОМОДУЛЬНЫЙ"));
  press({Key::Down});
  EXPECT_EQ(form->StringGrid1.selRow, 2);
  EXPECT_EQ(form->StringGrid1.selCol, 1);
  EXPECT_EQ(description()[0], "МОДУЛЬ ВВОДА СИГНАЛА| ");
  press({Key::Down, Key::Left, Key::Right});  // no row below; column 0 is fixed
  EXPECT_EQ(form->StringGrid1.selRow, 2);
  EXPECT_EQ(form->StringGrid1.selCol, 1);
  press({Key::Up});
  EXPECT_EQ(form->StringGrid1.selRow, 1);
  EXPECT_THAT(description()[0], StartsWith("МНОГОМОДУЛЬНЫЙ"));
}

TEST_F(TuiDialogTest, ModalShowingBringsTheSelectionBackIntoAShrunkList) {
  setDevices({makeDevice(1, "ОРТА"), makeDevice(2, "ОРТА"), makeDevice(3, "ОРТА")});
  form->show();
  form->StringGrid1.selRow = 3;
  form->StringGrid1.setRowCount(2);
  tui::startModal(*form, ui);
  EXPECT_EQ(form->StringGrid1.selRow, 1);
}

TEST_F(TuiDialogTest, KeysWithoutAFocusableControlDoNothing) {
  form->show();
  ui = tui::DialogUi{};
  form->StringGrid1.setRowCount(1);  // header only: nothing to select
  press({Key::Down, Key::Enter});
  EXPECT_EQ(ui.focus, Control::StringGrid1);
  EXPECT_TRUE(form->visible);
  EXPECT_TRUE(handed.empty());
}

// --- Message boxes ------------------------------------------------------------------------------------

TEST(TuiBox, DefaultButtonIsFocusedAndArrowsMoveBetweenButtons) {
  tui::MessageBoxUi box = tui::makeMessageBox(cp("Вопрос"), cp("Предупреждение"), BoxIcon::Information,
                                              BoxButtons::YesNo, BoxAnswer::No);
  EXPECT_THAT(box.buttons, ElementsAre(BoxAnswer::Yes, BoxAnswer::No));
  EXPECT_EQ(box.focused, 1);
  EXPECT_FALSE(tui::handleBoxKey(box, Key::Left));
  EXPECT_EQ(box.focused, 0);
  EXPECT_FALSE(tui::handleBoxKey(box, Key::Tab));
  EXPECT_EQ(box.focused, 1);
  EXPECT_FALSE(tui::handleBoxKey(box, Key::Right));
  EXPECT_EQ(box.focused, 0);
  EXPECT_EQ(tui::handleBoxKey(box, Key::Enter), BoxAnswer::Yes);
  EXPECT_FALSE(tui::handleBoxKey(box, Key::Other));
}

TEST(TuiBox, EscapeAnswersCancelOrNoWhereTheBoxHasThem) {
  auto answer = [](BoxButtons buttons, BoxAnswer def) {
    tui::MessageBoxUi box = tui::makeMessageBox("t", "c", BoxIcon::Stop, buttons, def);
    return tui::handleBoxKey(box, Key::Escape);
  };
  EXPECT_EQ(answer(BoxButtons::RetryCancel, BoxAnswer::Retry), BoxAnswer::Cancel);
  EXPECT_EQ(answer(BoxButtons::YesNo, BoxAnswer::Yes), BoxAnswer::No);
  EXPECT_EQ(answer(BoxButtons::Ok, BoxAnswer::Ok), BoxAnswer::Ok);
}

TEST(TuiBox, DrawnCentredWithCaptionTextAndRussianButtons) {
  tui::MessageBoxUi box =
      tui::makeMessageBox(cp("Невозможно открыть порт.\nПроверьте подключение."), cp("Ошибка"), BoxIcon::Stop,
                          BoxButtons::RetryCancel, BoxAnswer::Retry);
  tui::Screen s(80, 24);
  tui::renderMessageBox(box, s);
  EXPECT_EQ(s.row(8), "                       ┌ Ошибка ────────────────────────┐");
  EXPECT_EQ(s.row(9), "                       │                                │");
  EXPECT_EQ(s.row(10), "                       │  (x) Невозможно открыть порт.  │");
  EXPECT_EQ(s.row(11), "                       │      Проверьте подключение.    │");
  EXPECT_EQ(s.row(13), "                       │     [ Повтор ]  [ Отмена ]     │");
  EXPECT_EQ(s.row(14), "                       └────────────────────────────────┘");
  EXPECT_EQ(s.at(29, 13).attr, tui::kReverse | tui::kBold);  // Повтор, the default
  EXPECT_EQ(s.at(41, 13).attr, tui::kPlain);
  EXPECT_EQ(s.at(23, 8).attr, tui::kBold);
}

TEST(TuiBox, LongLinesWrapBetweenWords) {
  tui::MessageBoxUi box = tui::makeMessageBox(
      cp("Поэтому не рекомендуется выполнять какие-либо операции до завершения инициализации. \nДалее."),
      cp("Инициализация устройств"), BoxIcon::Warning, BoxButtons::Ok, BoxAnswer::Ok);
  tui::Screen s(80, 24);
  tui::renderMessageBox(box, s);
  const std::string all = s.dump();
  EXPECT_THAT(all, HasSubstr("│  (!) Поэтому не рекомендуется выполнять какие-либо операции до  │\n"));
  EXPECT_THAT(all, HasSubstr("│      завершения инициализации."));
  EXPECT_THAT(all, HasSubstr("[ OK ]"));
}

}  // namespace
}  // namespace duz::test
