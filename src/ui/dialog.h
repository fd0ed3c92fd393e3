// The initialisation dialog: the operator picks the serial port, its line parameters and the highest bus
// address to search, starts a search, follows it and reviews the devices found. This is the dialog's
// logic only; an Operator presentation shows it. The start-up sequence owns its life, fills its
// snapshot before each showing and drives it from outside while a search runs.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "model/catalogue.h"
#include "model/tables.h"
#include "platform/platform.h"
#include "ui/controls.h"
#include "ui/operator.h"

namespace duz {

class TForm2 {
 public:
  // Receives the four texts at every close: port settings, port name, search limit, action word.
  using GiveStringFunction =
      std::function<void(const char* settings, const char* port, const char* limit, const char* action)>;

  // Runs FormCreate, which lists the serial ports.
  TForm2(Operator& op, SerialPorts& ports, GiveStringFunction giveString);
  TForm2(const TForm2&) = delete;
  TForm2& operator=(const TForm2&) = delete;

  // Presentation entry points.
  void show();   // becomes visible and runs FormShow (modal or modeless showing)
  void close();  // runs FormClose, then hides: the end of a modal showing, whatever caused it
  void hide();   // hides without running any handler

  // Handlers.
  void FormCreate();
  void FormShow();
  void FormClose();
  void Button1Click();  // exit
  void Button2Click();  // search
  // The operator selects a cell of the device list. Always allows it; the presentation then moves the
  // grid's selection there.
  bool StringGrid1SelectCell(int col, int row);
  void StringGrid2Exit();
  // Fills the description grid for the device whose bus address stands one column left of (col, row)
  // in the device list.
  void View(int col, int row);

  // Texts built at close (also what FormClose hands to giveString).
  std::string portSettingsText() const;
  std::string actionWord() const;

  std::string caption;
  bool visible = false;

  // The controls keep the names they have on the dialog's form (the window is laid out by them).
  Label Label1;                                     // search percentage
  Label Label2;                                     // status headline
  Label Label4;                                     // device count
  Label Label8, Label9, Label10, Label11, Label12;  // captions of the speed, parity, stop and limit lists
  GroupBox GroupBox1, GroupBox2, GroupBox3;         // frames: port choice, port parameters, search
  ProgressBar ProgressBar1;
  StringGrid StringGrid1;  // device list: bus address, model
  StringGrid StringGrid2;  // description of the selected device
  ComboBox CBoxCOM;        // port name
  ComboBox CBoxSpeed;      // bit/s
  ComboBox CBoxPar;        // parity
  ComboBox CBoxStop;       // stop bits
  ComboBox CBoxNum;        // search limit: the highest bus address asked
  Button Button1;          // exit
  Button Button2;          // search

  // Snapshot filled by the start-up sequence before each showing; the dialog only reads it.
  std::int32_t DeviceCount = 0;
  std::array<DeviceConfig, kSlots> Devices{};
  AlarmVariantTable Variants{};

  // 1 after the search button, 0 after the exit button; kept across showings, decides the action word.
  std::int32_t searchRequested = 0;

 private:
  Operator& op_;
  SerialPorts& ports_;
  GiveStringFunction giveString_;
};

}  // namespace duz
