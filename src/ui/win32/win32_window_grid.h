// A two-column text grid as a window of its own: the device list and the description of the initialisation
// dialog. It draws a copy of a StringGrid taken at each update, never the dialog's live state, so a paint
// that arrives at any time reads only what the window owns.
#pragma once

#include <windows.h>

#include <string>

#include "ui/controls.h"
#include "ui/win32/win32_window_util.h"

namespace duz::win32 {

// What the grid reports back to the window that owns it.
class GridListener {
 public:
  virtual ~GridListener() = default;
  // The operator moves the selection to (col, row); true when the move is allowed.
  virtual bool gridSelectCell(HWND grid, int col, int row) = 0;
  virtual void gridLostFocus(HWND grid) = 0;
};

class GridWindow {
 public:
  // Both grids select one cell at a time, by mouse and by keyboard while they have the focus.
  struct Options {
    COLORREF background;
  };

  // Registers the window class once per instance; false when that failed.
  static bool registerClass(HINSTANCE instance);
  static void unregisterClass(HINSTANCE instance);

  GridWindow(const StringGrid& initial, Options options, GridListener& listener);
  GridWindow(const GridWindow&) = delete;
  GridWindow& operator=(const GridWindow&) = delete;

  // Creates the child window; null when that failed. The window's lifetime ends with its parent's.
  HWND create(HINSTANCE instance, HWND parent, int id, const RECT& bounds, bool tabStop);
  HWND handle() const { return hwnd_; }

  // Takes the grid's new state, keeping the selection in view, and invalidates what changed.
  void update(const StringGrid& state);
  const StringGrid& shown() const { return grid_; }
  int topRow() const { return topRow_; }

 private:
  friend LRESULT CALLBACK ownedWindowProcedure<GridWindow>(HWND, UINT, WPARAM, LPARAM);
  static const std::wstring& className();
  void attach(HWND hwnd) { hwnd_ = hwnd; }
  LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam);

  void paint(HDC dc, const RECT& client);
  void updateScrollBars();
  int pageRows() const;  // scrollable rows that fit below the fixed rows
  int maxTopRow() const;
  void scrollTo(int topRow);
  void scrollIntoView(int row);
  bool cellAt(POINT p, int& col, int& row) const;
  void moveSelection(int col, int row);
  void onKey(WPARAM key);
  void onVScroll(int request);

  StringGrid grid_;
  Options options_;
  GridListener& listener_;
  HWND hwnd_ = nullptr;
  HFONT font_ = nullptr;
  int topRow_ = 0;  // first scrollable row shown below the fixed rows
  int wheelDelta_ = 0;
};

}  // namespace duz::win32
