#include "ui/win32/win32_window_grid.h"

#include <windowsx.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "ui/win32/win32_window_util.h"

namespace duz::win32 {

namespace {

int brightness(COLORREF c) {
  return (299 * GetRValue(c) + 587 * GetGValue(c) + 114 * GetBValue(c)) / 1000;
}

// The device list's background is the caption-text colour, which is white on older Windows but black on
// newer ones: there the window-text colour would write black on black. Texts stay in the window-text colour
// wherever that can be read, and turn black or white where it cannot.
COLORREF readableInk(COLORREF ink, COLORREF background) {
  if (std::abs(brightness(ink) - brightness(background)) >= 96) return ink;
  return brightness(background) < 128 ? RGB(255, 255, 255) : RGB(0, 0, 0);
}

int columnWidth(const StringGrid& grid, int col) {
  return col < static_cast<int>(grid.colWidths.size()) ? grid.colWidths[col] : 64;
}

}  // namespace

// Made as the library loads rather than on first use: no guarded static (why: win32_entry.cpp).
const std::wstring gridWindowClass =
    classNameFor(L"DuzevodGrid", reinterpret_cast<const void*>(&ownedWindowProcedure<GridWindow>));

const std::wstring& GridWindow::className() {
  return gridWindowClass;
}

bool GridWindow::registerClass(HINSTANCE instance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = &ownedWindowProcedure<GridWindow>;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.lpszClassName = className().c_str();
  return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

void GridWindow::unregisterClass(HINSTANCE instance) {
  UnregisterClassW(className().c_str(), instance);
}

GridWindow::GridWindow(const StringGrid& initial, Options options, GridListener& listener)
    : grid_(initial), options_(options), listener_(listener), topRow_(initial.fixedRows) {}

HWND GridWindow::create(HINSTANCE instance, HWND parent, int id, const RECT& bounds, bool tabStop) {
  const DWORD style = WS_CHILD | WS_VISIBLE | WS_VSCROLL | (tabStop ? WS_TABSTOP : 0);
  CreateWindowExW(WS_EX_CLIENTEDGE, className().c_str(), L"", style, bounds.left, bounds.top,
                  bounds.right - bounds.left, bounds.bottom - bounds.top, parent,
                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, this);
  if (hwnd_) updateScrollBars();
  return hwnd_;
}

void GridWindow::update(const StringGrid& state) {
  const bool selectionMoved = state.selCol != grid_.selCol || state.selRow != grid_.selRow;
  grid_ = state;
  if (!hwnd_) return;
  topRow_ = std::clamp(topRow_, grid_.fixedRows, maxTopRow());
  if (selectionMoved && grid_.contains(grid_.selCol, grid_.selRow)) scrollIntoView(grid_.selRow);
  updateScrollBars();
  InvalidateRect(hwnd_, nullptr, FALSE);
}

LRESULT GridWindow::onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd_, &ps);
      RECT client;
      GetClientRect(hwnd_, &client);
      // Drawn off screen first: a search repaints every address, and the list must not flicker.
      HDC memory = CreateCompatibleDC(dc);
      HBITMAP bitmap =
          CreateCompatibleBitmap(dc, std::max<LONG>(client.right, 1), std::max<LONG>(client.bottom, 1));
      HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
      paint(memory, client);
      BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
      SelectObject(memory, oldBitmap);
      DeleteObject(bitmap);
      DeleteDC(memory);
      EndPaint(hwnd_, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_SETFONT:
      font_ = reinterpret_cast<HFONT>(wParam);
      if (LOWORD(lParam)) InvalidateRect(hwnd_, nullptr, FALSE);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(font_);
    case WM_SIZE:
      topRow_ = std::clamp(topRow_, grid_.fixedRows, maxTopRow());
      updateScrollBars();
      return 0;
    case WM_VSCROLL:
      onVScroll(LOWORD(wParam));
      return 0;
    case WM_MOUSEWHEEL: {
      wheelDelta_ += GET_WHEEL_DELTA_WPARAM(wParam);
      const int notches = wheelDelta_ / WHEEL_DELTA;
      wheelDelta_ -= notches * WHEEL_DELTA;
      scrollTo(topRow_ - 3 * notches);
      return 0;
    }
    case WM_LBUTTONDOWN: {
      SetFocus(hwnd_);
      int col = 0, row = 0;
      if (cellAt({GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}, col, row)) moveSelection(col, row);
      return 0;
    }
    case WM_GETDLGCODE:
      return DLGC_WANTARROWS;
    case WM_KEYDOWN:
      onKey(wParam);
      return 0;
    case WM_SETFOCUS:
      InvalidateRect(hwnd_, nullptr, FALSE);
      return 0;
    case WM_KILLFOCUS:
      InvalidateRect(hwnd_, nullptr, FALSE);
      listener_.gridLostFocus(hwnd_);
      return 0;
    default:
      return DefWindowProcW(hwnd_, message, wParam, lParam);
  }
}

void GridWindow::paint(HDC dc, const RECT& client) {
  SetDCBrushColor(dc, options_.background);
  FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
  // With cell drawing off the grid shows its background only: no texts, not even the header row.
  if (!grid_.defaultDrawing) return;

  HGDIOBJ oldFont = SelectObject(dc, font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT));
  const bool focused = GetFocus() == hwnd_;
  int y = 0;
  auto drawRow = [&](int row) {
    int x = 0;
    for (int col = 0; col < grid_.colCount; ++col) {
      RECT cell{x, y, x + columnWidth(grid_, col), y + grid_.rowHeight};
      const bool fixed = col < grid_.fixedCols || row < grid_.fixedRows;
      const bool selected = !fixed && col == grid_.selCol && row == grid_.selRow;
      SetBkColor(dc, fixed ? GetSysColor(COLOR_BTNFACE)
                           : (selected ? GetSysColor(COLOR_HIGHLIGHT) : options_.background));
      const COLORREF ink = GetSysColor(COLOR_WINDOWTEXT);
      SetTextColor(dc, selected ? GetSysColor(COLOR_HIGHLIGHTTEXT)
                                : (fixed ? ink : readableInk(ink, options_.background)));
      const std::wstring text = widen(grid_.cell(col, row));
      // Grid-line width 0: no lines between cells and no 3-D edges on the fixed ones, only their colour.
      ExtTextOutW(dc, cell.left + 2, cell.top + 2, ETO_CLIPPED | ETO_OPAQUE, &cell, text.c_str(),
                  static_cast<UINT>(text.size()), nullptr);
      if (selected && focused) DrawFocusRect(dc, &cell);
      x = cell.right;
    }
    y += grid_.rowHeight;
  };
  for (int row = 0; row < grid_.fixedRows && row < grid_.rowCount; ++row) drawRow(row);
  for (int row = topRow_; row < grid_.rowCount && y < client.bottom; ++row) drawRow(row);
  SelectObject(dc, oldFont);
}

int GridWindow::pageRows() const {
  RECT client{};
  if (hwnd_) GetClientRect(hwnd_, &client);
  const int height = grid_.rowHeight > 0 ? grid_.rowHeight : 16;
  return std::max(1, (static_cast<int>(client.bottom) - grid_.fixedRows * height) / height);
}

int GridWindow::maxTopRow() const {
  return std::max(grid_.fixedRows, grid_.rowCount - pageRows());
}

// The bar shows only when the rows do not all fit. Columns always fit their fixed widths, so there is no
// horizontal bar.
void GridWindow::updateScrollBars() {
  SCROLLINFO si{};
  si.cbSize = sizeof si;
  si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
  si.nMin = 0;
  si.nMax = std::max(0, grid_.rowCount - grid_.fixedRows - 1);
  si.nPage = static_cast<UINT>(pageRows());
  si.nPos = topRow_ - grid_.fixedRows;
  SetScrollInfo(hwnd_, SB_VERT, &si, TRUE);
}

void GridWindow::scrollTo(int topRow) {
  topRow = std::clamp(topRow, grid_.fixedRows, maxTopRow());
  if (topRow == topRow_) return;
  topRow_ = topRow;
  updateScrollBars();
  InvalidateRect(hwnd_, nullptr, FALSE);
}

void GridWindow::scrollIntoView(int row) {
  if (row < grid_.fixedRows) return;
  if (row < topRow_) {
    scrollTo(row);
  } else if (row >= topRow_ + pageRows()) {
    scrollTo(row - pageRows() + 1);
  }
}

bool GridWindow::cellAt(POINT p, int& col, int& row) const {
  const int height = grid_.rowHeight > 0 ? grid_.rowHeight : 16;
  if (p.x < 0 || p.y < 0) return false;
  const int fixedHeight = grid_.fixedRows * height;
  row = p.y < fixedHeight ? p.y / height : topRow_ + (p.y - fixedHeight) / height;
  int x = 0;
  for (col = 0; col < grid_.colCount; ++col) {
    x += columnWidth(grid_, col);
    if (p.x < x) break;
  }
  return grid_.contains(col, row);
}

void GridWindow::moveSelection(int col, int row) {
  if (col < grid_.fixedCols || row < grid_.fixedRows || !grid_.contains(col, row)) return;
  if (col == grid_.selCol && row == grid_.selRow) return;
  // The owner decides and, when it allows the move, hands the new state back through update().
  listener_.gridSelectCell(hwnd_, col, row);
}

void GridWindow::onKey(WPARAM key) {
  const int firstCol = grid_.fixedCols, lastCol = grid_.colCount - 1;
  const int firstRow = grid_.fixedRows, lastRow = grid_.rowCount - 1;
  if (firstCol > lastCol || firstRow > lastRow) return;
  // With no cell selected (the description grid once it has lost the focus), a step starts from the
  // first cell in view and selects it, not a cell a step away from one nobody saw.
  const bool noSelection = !grid_.contains(grid_.selCol, grid_.selRow);
  int col = noSelection ? firstCol : std::clamp(grid_.selCol, firstCol, lastCol);
  int row =
      noSelection ? std::clamp(topRow_, firstRow, lastRow) : std::clamp(grid_.selRow, firstRow, lastRow);
  const int step = noSelection ? 0 : 1;
  switch (key) {
    case VK_UP:
      row -= step;
      break;
    case VK_DOWN:
      row += step;
      break;
    case VK_LEFT:
      col -= step;
      break;
    case VK_RIGHT:
      col += step;
      break;
    case VK_PRIOR:
      row -= step * pageRows();
      break;
    case VK_NEXT:
      row += step * pageRows();
      break;
    case VK_HOME:
      row = firstRow;
      break;
    case VK_END:
      row = lastRow;
      break;
    default:
      return;
  }
  moveSelection(std::clamp(col, firstCol, lastCol), std::clamp(row, firstRow, lastRow));
}

void GridWindow::onVScroll(int request) {
  switch (request) {
    case SB_LINEUP:
      scrollTo(topRow_ - 1);
      break;
    case SB_LINEDOWN:
      scrollTo(topRow_ + 1);
      break;
    case SB_PAGEUP:
      scrollTo(topRow_ - pageRows());
      break;
    case SB_PAGEDOWN:
      scrollTo(topRow_ + pageRows());
      break;
    case SB_TOP:
      scrollTo(grid_.fixedRows);
      break;
    case SB_BOTTOM:
      scrollTo(maxTopRow());
      break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: {
      SCROLLINFO si{};
      si.cbSize = sizeof si;
      si.fMask = SIF_TRACKPOS;
      GetScrollInfo(hwnd_, SB_VERT, &si);
      scrollTo(grid_.fixedRows + si.nTrackPos);
      break;
    }
    default:
      break;
  }
}

}  // namespace duz::win32
