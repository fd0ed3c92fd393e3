// The initialisation dialog as a Win32 window: a top-level window of 627 x 315 client pixels holding the
// controls of the dialog layout. It mirrors a TForm2 whenever asked (sync) and, while the operator may act
// (a modal showing), hands the operator's actions to the dialog's handlers.
#pragma once

#include <windows.h>

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ui/dialog.h"
#include "ui/layout.h"
#include "ui/win32/win32_window_grid.h"
#include "ui/win32/win32_window_util.h"

namespace duz::win32 {

class FormWindow : private GridListener {
 public:
  // Registers the window classes (and the common controls) once per instance; false when that failed.
  static bool registerClasses(HINSTANCE instance);
  static void unregisterClasses(HINSTANCE instance);

  // Builds the window, hidden, mirroring `dialog`, which must outlive it; null when no window can be made
  // here (no desktop).
  static std::unique_ptr<FormWindow> create(HINSTANCE instance, TForm2& dialog, bool pointerHidden);
  ~FormWindow() override;
  FormWindow(const FormWindow&) = delete;
  FormWindow& operator=(const FormWindow&) = delete;

  HWND handle() const { return hwnd_; }
  // A control's window by its member name in TForm2; null when there is none.
  HWND control(std::string_view name) const;

  // Copies the dialog's state into the controls: texts, items, selections, visibility, enabling.
  void sync();
  // Writes the operator's choices in the lists back into the dialog.
  void pullChoices();
  // Shows the window centred on the screen and paints it at once.
  void show();
  void hide();
  // Paints every part that changed now, without taking any message from the queue.
  void paintNow();
  // Puts the keyboard focus on the first control the Tab key reaches.
  void focusFirst();
  // While interactive (a modal showing) the operator's actions run the dialog's handlers; otherwise they
  // are ignored.
  void setInteractive(bool interactive) { interactive_ = interactive; }
  void setPointerHidden(bool hidden);

 private:
  enum class Kind { Label, GroupBox, ComboBox, Button, Grid, ProgressBar };
  struct Control {
    const ControlLayout* layout = nullptr;
    Kind kind = Kind::Label;
    HWND hwnd = nullptr;
    HFONT font = nullptr;
    std::string shownText;  // what the window shows, to leave unchanged texts alone
    bool textShown = false;
    std::vector<std::string> shownItems;  // a list's items as the window holds them
    std::unique_ptr<GridWindow> grid;
  };

  FormWindow(HINSTANCE instance, TForm2& dialog, bool pointerHidden);
  bool build();
  bool createControl(Control& control, HWND parent);
  HFONT fontFor(const FontStyle& style);

  friend LRESULT CALLBACK ownedWindowProcedure<FormWindow>(HWND, UINT, WPARAM, LPARAM);
  static LRESULT CALLBACK groupBoxProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static const std::wstring& className();
  void attach(HWND hwnd) { hwnd_ = hwnd; }
  LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT onColour(HDC dc, HWND child);
  void onCommand(int id, int code, HWND child);
  void drawButton(const DRAWITEMSTRUCT& item);
  void click(const Control& button);
  void afterHandler();
  void keepFocusUsable();
  bool pointerOverWindow() const;
  void detach();

  void setText(Control& control, const std::string& text);
  void setVisible(const Control& control, bool visible);
  void setEnabled(const Control& control, bool enabled);
  void syncLabel(Control& control, const Label& label);
  void syncComboBox(Control& control, const ComboBox& list);
  void syncProgressBar(const Control& control, const ProgressBar& bar);
  void sizeDropDown(const Control& control);
  void autosize(const Control& label);

  Control* byHandle(HWND hwnd);
  Control* byId(int id);

  bool gridSelectCell(HWND grid, int col, int row) override;
  void gridLostFocus(HWND grid) override;

  HINSTANCE instance_;
  TForm2* dialog_;
  HWND hwnd_ = nullptr;
  std::string shownCaption_;
  std::array<Control, kDialogLayout.size()> controls_;
  std::vector<std::pair<FontStyle, HFONT>> fonts_;
  std::wstring face_;  // the dialog font's face, chosen with the first font
  bool interactive_ = false;
  bool pointerHidden_ = false;
  HWND savedFocus_ = nullptr;
};

}  // namespace duz::win32
