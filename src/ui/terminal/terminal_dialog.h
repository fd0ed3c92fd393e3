// The initialisation dialog and the message boxes as text screens: where each control sits in character
// cells, how the keyboard moves through the dialog and works its controls, and how it all is drawn into a
// Screen. No curses here (src/ui/terminal/terminal_operator.cpp puts the screens on the terminal and
// reads the keys), so all of it is unit-tested.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/operator.h"
#include "ui/terminal/terminal_screen.h"

namespace duz {
class TForm2;
struct ComboBox;
}  // namespace duz

namespace duz::tui {

// The dialog's size in cells, its caption bar (row 0) included. With the line of key hints under it, it
// fits a classic 80×24 terminal.
inline constexpr int kDialogColumns = 80;
inline constexpr int kDialogRows = 23;

// Where a control sits, in cells, and its place in the tab order. Names, parents and tab orders are
// those of the window layout (ui/layout.h): a control inside a group box is placed relative to
// that box, whose frame is its row and column 0, and its tab order counts within the box; -1 is no tab
// stop.
struct TerminalControl {
  std::string_view name;
  std::string_view parent;
  Rect rect;
  int tabOrder;
};

inline constexpr std::array<TerminalControl, 21> kTerminalLayout{{
    {"Label2", "", {0, 1, 52, 3}, -1},
    {"Label4", "", {0, 4, 52, 1}, -1},
    {"ProgressBar1", "", {0, 5, 17, 1}, -1},
    {"Label1", "", {19, 5, 33, 1}, -1},
    {"StringGrid1", "", {0, 6, 12, 17}, 0},
    {"StringGrid2", "", {13, 6, 39, 17}, -1},
    {"GroupBox1", "", {53, 1, 19, 3}, 3},
    {"CBoxCOM", "GroupBox1", {1, 1, 17, 1}, 0},
    {"GroupBox2", "", {53, 5, 27, 7}, 4},
    {"Label8", "GroupBox2", {1, 1, 16, 1}, -1},
    {"CBoxSpeed", "GroupBox2", {18, 1, 8, 1}, 0},
    {"Label9", "GroupBox2", {1, 3, 16, 1}, -1},
    {"CBoxPar", "GroupBox2", {18, 3, 8, 1}, 1},
    {"Label10", "GroupBox2", {1, 5, 16, 1}, -1},
    {"CBoxStop", "GroupBox2", {18, 5, 8, 1}, 2},
    {"GroupBox3", "", {53, 13, 27, 4}, 5},
    {"Label11", "GroupBox3", {1, 1, 18, 1}, -1},
    {"Label12", "GroupBox3", {1, 2, 25, 1}, -1},
    {"CBoxNum", "GroupBox3", {21, 1, 5, 1}, 0},
    {"Button1", "", {73, 1, 7, 3}, 2},
    {"Button2", "", {53, 18, 27, 5}, 1},
}};

// A control's cells in dialog coordinates (its group box's position added); empty when unknown.
Rect terminalRect(std::string_view name);

// The controls that can take the keyboard focus.
enum class Control { None, StringGrid1, Button2, Button1, CBoxCOM, CBoxSpeed, CBoxPar, CBoxStop, CBoxNum };

std::string_view controlName(Control c);
// The window's tab order: StringGrid1, Button2, Button1, then the lists of the three group boxes in turn.
const std::vector<Control>& tabOrder();
// Whether a control can take the focus now: shown and enabled.
bool canFocus(const TForm2& dialog, Control c);

enum class Key {
  None,
  Tab,
  BackTab,
  Up,
  Down,
  Left,
  Right,
  Home,
  End,
  PageUp,
  PageDown,
  Enter,
  Space,
  Escape,
  OpenList,  // F4 or Alt+Down: opens a drop-down list
  Other,
};

// What the terminal presentation keeps of a showing beyond the dialog's own state.
struct DialogUi {
  Control focus = Control::None;  // None: no input is taken (a modeless showing)
  bool listOpen = false;          // the focused list's drop-down is open
  int highlight = 0;              // the open drop-down's highlighted item
  int listTop = 0;                // the first item the drop-down shows
  int gridTop = 1;                // the first scrolling row the device list shows
};

// Items a drop-down shows at once (the window toolkit's default).
inline constexpr int kDropDownCount = 8;

// Starts a modal showing: focus on the first control of the tab order that can take it, no list open,
// the device list's selection back inside the list when the list has shrunk (as the grid would keep it).
void startModal(TForm2& dialog, DialogUi& ui);
// One key of a modal showing. Buttons run Button1Click / Button2Click (which close the dialog); moving in
// the device list asks StringGrid1SelectCell and moves the selection when it allows.
void handleDialogKey(TForm2& dialog, DialogUi& ui, Key key);

// Draws the dialog with its caption bar at (left, top) of the screen.
void renderDialog(const TForm2& dialog, const DialogUi& ui, Screen& screen, int left, int top);
// Where the dialog goes on a screen: centred with the key hints under it, at the top left when the
// screen is too small.
Rect dialogPlacement(const Screen& screen);
// The line of key hints shown under the dialog while it takes input (UTF-8).
std::string_view keyHints();
// Draws the whole screen: the dialog centred (framed when there is room), the key hints under it while
// it takes input and the screen has a row for them, and a notice when the screen is smaller than the
// dialog.
void renderDialogScreen(const TForm2& dialog, const DialogUi& ui, Screen& screen);

// A message box: text and caption in CP1251, buttons in the order shown.
struct MessageBoxUi {
  std::string text;
  std::string caption;
  BoxIcon icon = BoxIcon::Information;
  std::vector<BoxAnswer> buttons;
  int focused = 0;
};

MessageBoxUi makeMessageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                            BoxButtons buttons, BoxAnswer defaultButton);
// Arrows and Tab move between the buttons, Enter or Space presses the focused one, Esc answers Cancel
// or No where the box has one (an OK box: OK). Returns the answer once there is one.
std::optional<BoxAnswer> handleBoxKey(MessageBoxUi& box, Key key);
// Draws the box centred over what the screen holds.
void renderMessageBox(const MessageBoxUi& box, Screen& screen);
// Button captions (UTF-8).
std::string_view boxButtonCaption(BoxAnswer a);

}  // namespace duz::tui
