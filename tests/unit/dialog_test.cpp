#include <gmock/gmock.h>

#include "unit/dialog_fixture.h"

namespace duz::test {
namespace {

using ::testing::ElementsAre;

TEST_F(DialogTest, FirstRunShowsTheDefaults) {
  TForm2& f = make({"COM4", "COM1"});
  EXPECT_THAT(f.CBoxCOM.items, ElementsAre("COM1", "COM4"));
  EXPECT_EQ(f.CBoxCOM.text(), "COM1");
  EXPECT_EQ(f.CBoxSpeed.text(), "9600");
  EXPECT_EQ(f.CBoxPar.text(), cp("Нет"));
  EXPECT_EQ(f.CBoxStop.text(), "2");
  EXPECT_EQ(f.CBoxNum.text(), "1");
  EXPECT_EQ(f.CBoxNum.items.size(), 31u);
  EXPECT_EQ(f.CBoxNum.items.back(), "31");
  EXPECT_FALSE(f.Button1.visible);
  EXPECT_FALSE(f.Button1.enabled);
  EXPECT_TRUE(f.Button2.visible && f.Button2.enabled);
  EXPECT_FALSE(f.Label1.visible);
  EXPECT_FALSE(f.ProgressBar1.visible);
  EXPECT_EQ(f.Label2.text, cp("Необходимо провести инициализацию устройств"));
  EXPECT_EQ(f.Label4.text, cp("Количество устройств: 0"));
  EXPECT_EQ(f.StringGrid1.cell(0, 0), cp(" №"));
  EXPECT_EQ(f.StringGrid1.cell(1, 0), cp("  Тип"));
  EXPECT_FALSE(f.StringGrid1.defaultDrawing);
  EXPECT_FALSE(f.StringGrid2.defaultDrawing);
  EXPECT_FALSE(f.visible);
  EXPECT_TRUE(handed.empty());
}

TEST_F(DialogTest, PortListIsSortedIgnoringCaseWithoutRepeats) {
  TForm2& f = make({"COM2", "com3", "COM10", "", "COM2", "/dev/ttyUSB0"});
  EXPECT_THAT(f.CBoxCOM.items, ElementsAre("/dev/ttyUSB0", "COM10", "COM2", "com3"));
  EXPECT_EQ(f.CBoxCOM.itemIndex, 0);
}

TEST_F(DialogTest, NoPortListedHandsOverAnEmptyPortName) {
  TForm2& f = make({});
  EXPECT_EQ(f.CBoxCOM.itemIndex, -1);
  f.close();
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].port, "");
}

TEST_F(DialogTest, CloseHandsOverSettingsPortLimitAndAction) {
  TForm2& f = make({"COM1", "COM4"});
  f.show();
  f.CBoxCOM.select("COM4");
  f.CBoxSpeed.select("115200");
  f.CBoxPar.select(cp("Нечет"));
  f.CBoxStop.select("1");
  f.CBoxNum.select("12");
  f.close();
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].settings, "baud=115200 parity=O data=8 stop=1");
  EXPECT_EQ(handed[0].port, "COM4");
  EXPECT_EQ(handed[0].limit, "12");
  EXPECT_EQ(handed[0].action, "Abort");
  EXPECT_FALSE(f.visible);

  f.CBoxSpeed.select("19200");
  f.CBoxPar.select(cp("Чет"));
  EXPECT_EQ(f.portSettingsText(), "baud=19200 parity=E data=8 stop=1");
  // The longest text still fits the 34 characters the settings string was sized for.
  f.CBoxSpeed.select("115200");
  f.CBoxStop.select("2");
  EXPECT_EQ(f.portSettingsText().size(), 34u);
}

TEST_F(DialogTest, ActionWordFollowsTheLastButtonPressed) {
  TForm2& f = make();
  f.close();  // closed otherwise, before either button
  f.Button2Click();
  f.close();  // closed otherwise after a search
  f.Button1.visible = f.Button1.enabled = true;
  f.Button1Click();
  f.close();
  std::vector<std::string> actions;
  for (const Handed& h : handed) actions.push_back(h.action);
  EXPECT_THAT(actions, ElementsAre("Abort", "Replay", "Replay", "Abort", "Abort"));
}

// Checks, while the warning is up, that nothing has changed yet; answers as if the box were closed
// otherwise than by OK.
class WarningWatcher : public FakeOperator {
 public:
  BoxAnswer messageBox(const std::string& text, const std::string& caption, BoxIcon icon, BoxButtons buttons,
                       BoxAnswer defaultButton) override {
    FakeOperator::messageBox(text, caption, icon, buttons, defaultButton);
    stateUnchanged = dialog && dialog->searchRequested == 0 && dialog->Button2.enabled &&
                     !dialog->ProgressBar1.visible && dialog->visible;
    return BoxAnswer::Cancel;
  }
  TForm2* dialog = nullptr;
  bool stateUnchanged = false;
};

TEST_F(DialogTest, SearchButtonWarnsThenPreparesTheSearchAndCloses) {
  WarningWatcher watcher;
  ports.listed = {"COM1"};
  TForm2 f(watcher, ports, [this](const char* s, const char* p, const char* l, const char* a) {
    handed.push_back({s, p, l, a});
  });
  watcher.dialog = &f;
  f.CBoxNum.select("7");
  f.show();
  f.Button2Click();

  ASSERT_EQ(watcher.boxes.size(), 1u);
  const ShownBox& box = watcher.boxes[0];
  EXPECT_EQ(box.caption, cp("Инициализация устройств"));
  EXPECT_EQ(box.text,
            cp("Внимание ! \nСейчас будет произведена инициализация подключенных устройств. \n"
               "Это займёт некоторое время и потребует значительных ресурсов компьютера. \n"
               "Поэтому не рекомендуется выполнять какие-либо операции до завершения инициализации. \n"
               "Для продолжения нажмите кнопку (OK)."));
  EXPECT_EQ(box.icon, BoxIcon::Warning);
  EXPECT_EQ(box.buttons, BoxButtons::Ok);
  EXPECT_TRUE(watcher.stateUnchanged);

  EXPECT_TRUE(f.ProgressBar1.visible);
  EXPECT_EQ(f.ProgressBar1.max, 7);
  EXPECT_EQ(f.ProgressBar1.position, 0);
  EXPECT_EQ(f.StringGrid1.rowCount, 2);
  EXPECT_EQ(f.StringGrid1.cell(0, 1), "  ");
  EXPECT_EQ(f.StringGrid1.cell(1, 1), "  ");
  EXPECT_TRUE(f.Label1.visible);
  for (const ComboBox* list : {&f.CBoxCOM, &f.CBoxSpeed, &f.CBoxPar, &f.CBoxStop, &f.CBoxNum})
    EXPECT_FALSE(list->enabled);
  EXPECT_FALSE(f.Button1.enabled);
  EXPECT_FALSE(f.Button2.enabled);
  EXPECT_EQ(f.Label2.text, cp("Идёт инициализация устройств"));
  EXPECT_EQ(f.searchRequested, 1);
  EXPECT_FALSE(f.visible);
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].action, "Replay");
  EXPECT_EQ(handed[0].limit, "7");
}

TEST_F(DialogTest, ShowingListsTheDevicesAndDescribesTheFirst) {
  make();
  setDevices({makeDevice(2, "ОРТА"), makeDevice(5, "ВЕКС-1"), makeDevice(9, "ЛУМА-12")});
  op.onModal = [](TForm2& d) { d.close(); };
  op.showModal(*form);
  const StringGrid& list = form->StringGrid1;
  EXPECT_TRUE(list.defaultDrawing);
  EXPECT_EQ(list.rowCount, 4);
  EXPECT_EQ(list.cell(0, 1), "2");
  EXPECT_EQ(list.cell(1, 1), cp("ОРТА"));
  EXPECT_EQ(list.cell(0, 3), "9");
  EXPECT_EQ(list.cell(1, 3), cp("ЛУМА-12"));
  EXPECT_EQ(form->StringGrid2.rowCount, 9);  // the current-loop module at address 2
  EXPECT_EQ(description()[3], "   Входной сигнал, мА:|4 - 20");

  EXPECT_TRUE(form->StringGrid1SelectCell(1, 3));
  EXPECT_EQ(form->StringGrid2.rowCount, 4);  // the controller at address 9, no module fitted
  EXPECT_EQ(form->StringGrid2.selCol, 2);
  EXPECT_EQ(form->StringGrid2.selRow, 2);
}

TEST_F(DialogTest, ShowingWithNoDeviceLeavesListBlankAndDescriptionEmpty) {
  make();
  form->show();
  EXPECT_FALSE(form->StringGrid1.defaultDrawing);
  EXPECT_EQ(form->StringGrid1.rowCount, 2);
  EXPECT_THAT(description(), ElementsAre("|"));

  // Shown again with no device after a search was asked for (the port failed, the operator retried):
  // the blanked first row describes nothing, although a device was listed before.
  setDevices({makeDevice(3, "ВЕКС-2")});
  form->show();
  EXPECT_EQ(form->StringGrid2.rowCount, 13);
  form->Button2Click();
  form->DeviceCount = 0;
  form->show();
  EXPECT_THAT(description(), ElementsAre("|"));
}

TEST_F(DialogTest, DeviceCountOutsideTheSlotsIsClamped) {
  make();
  setDevices({makeDevice(1, "ОРТА")});
  form->DeviceCount = 1000;
  form->show();
  EXPECT_EQ(form->StringGrid1.rowCount, kSlots + 1);
  form->DeviceCount = -5;
  form->StringGrid1SelectCell(1, 1);
  EXPECT_THAT(description(), ElementsAre("|"));
}

TEST_F(DialogTest, LeavingTheDescriptionParksItsSelectionOutside) {
  make();
  form->StringGrid2.selCol = 0;
  form->StringGrid2.selRow = 0;
  form->StringGrid2Exit();
  EXPECT_EQ(form->StringGrid2.selCol, 2);
  EXPECT_EQ(form->StringGrid2.selRow, 2);
}

TEST_F(DialogTest, FakeOperatorShowsAndHidesTheDialog) {
  make();
  op.showModeless(*form);
  EXPECT_TRUE(form->visible);
  op.hide(*form);
  EXPECT_FALSE(form->visible);
  EXPECT_TRUE(handed.empty());  // hiding is not closing
}

TEST(DialogControls, SortedListKeepsTheSelectedItem) {
  ComboBox list;
  list.sorted = true;
  EXPECT_EQ(list.add("COM5"), 0);
  list.itemIndex = 0;
  EXPECT_EQ(list.add("com1"), 0);
  EXPECT_EQ(list.add("COM1"), 1);  // equal ignoring case: after the one added first
  EXPECT_EQ(list.text(), "COM5");
  EXPECT_EQ(list.indexOf("Com1"), -1);
  EXPECT_FALSE(list.select("COM9"));
  EXPECT_EQ(list.text(), "COM5");
  list.itemIndex = 7;
  EXPECT_EQ(list.text(), "");
}

TEST(DialogControls, GridCellsFollowTheRowCountAndOutsideIsSafe) {
  StringGrid grid(2, 2, {10, 10}, 0, 0);
  grid.cell(1, 1) = "x";
  grid.cell(2, 0) = "dropped";
  grid.cell(-1, 0) = "dropped";
  EXPECT_EQ(grid.cell(2, 0), "");
  EXPECT_EQ(std::as_const(grid).cell(0, 5), "");
  grid.setRowCount(1);
  grid.setRowCount(3);
  EXPECT_EQ(grid.cell(1, 1), "");  // a removed row comes back empty
  grid.rowCount = 50;              // set behind the grid's back: still safe
  EXPECT_EQ(grid.cell(0, 40), "");
}

TEST(DialogControls, ProgressBarStopsFull) {
  ProgressBar bar;
  bar.max = 2;
  bar.stepIt();
  bar.stepIt();
  bar.stepIt();
  EXPECT_EQ(bar.position, 2);
}

}  // namespace
}  // namespace duz::test
