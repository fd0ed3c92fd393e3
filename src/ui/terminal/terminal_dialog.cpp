#include "ui/terminal/terminal_dialog.h"

#include <algorithm>

#include "model/cp1251.h"
#include "ui/dialog.h"

namespace duz::tui {

namespace {

constexpr std::uint8_t kHeadlineAttr = kBold | kBlue;
constexpr std::uint8_t kButtonAttr = kBold | kBlue;

// Width of the description grid's value column; the text column takes the rest.
constexpr int kValueColumn = 8;

const TerminalControl* findControl(std::string_view name) {
  for (const TerminalControl& c : kTerminalLayout)
    if (c.name == name) return &c;
  return nullptr;
}

Rect moved(Rect r, int dx, int dy) {
  r.x += dx;
  r.y += dy;
  return r;
}

Rect interior(const Rect& r) {
  return {r.x + 1, r.y + 1, r.w - 2, r.h - 2};
}

bool blank(const std::string& s) {
  return s.find_first_not_of(' ') == std::string::npos;
}

ComboBox* comboOf(TForm2& d, Control c) {
  switch (c) {
    case Control::CBoxCOM:
      return &d.CBoxCOM;
    case Control::CBoxSpeed:
      return &d.CBoxSpeed;
    case Control::CBoxPar:
      return &d.CBoxPar;
    case Control::CBoxStop:
      return &d.CBoxStop;
    case Control::CBoxNum:
      return &d.CBoxNum;
    default:
      return nullptr;
  }
}

const ComboBox* comboOf(const TForm2& d, Control c) {
  return comboOf(const_cast<TForm2&>(d), c);
}

Control controlByName(std::string_view name) {
  for (Control c : {Control::StringGrid1, Control::Button2, Control::Button1, Control::CBoxCOM,
                    Control::CBoxSpeed, Control::CBoxPar, Control::CBoxStop, Control::CBoxNum})
    if (controlName(c) == name) return c;
  return Control::None;
}

// Rows of the device list that scroll (below its fixed rows) and fit in its frame.
int deviceListScrollRows(const StringGrid& grid) {
  return std::max(terminalRect("StringGrid1").h - 2 - grid.fixedRows, 1);
}

// The first scrolling row shown: the preferred one, moved so that the selection is in view and the list
// does not end in blank rows it could fill.
int deviceListTop(const StringGrid& grid, int preferred) {
  const int rows = deviceListScrollRows(grid);
  int top = std::max(preferred, grid.fixedRows);
  if (grid.selRow >= grid.fixedRows && grid.selRow < grid.rowCount) {
    if (grid.selRow < top) top = grid.selRow;
    if (grid.selRow >= top + rows) top = grid.selRow - rows + 1;
  }
  top = std::min(top, std::max(grid.rowCount - rows, grid.fixedRows));
  return std::max(top, grid.fixedRows);
}

// Columns of a grid in cells: the pixel widths at 8 pixels a character.
std::vector<int> columnCells(const StringGrid& grid) {
  std::vector<int> cells;
  for (int c = 0; c < grid.colCount; ++c) {
    const int px = c < static_cast<int>(grid.colWidths.size()) ? grid.colWidths[c] : 64;
    cells.push_back(std::max((px + 4) / 8, 1));
  }
  return cells;
}

void moveGridSelection(TForm2& d, DialogUi& ui, int col, int row) {
  StringGrid& grid = d.StringGrid1;
  if (grid.rowCount <= grid.fixedRows || grid.colCount <= grid.fixedCols) return;
  col = std::clamp(col, grid.fixedCols, grid.colCount - 1);
  row = std::clamp(row, grid.fixedRows, grid.rowCount - 1);
  if (col == grid.selCol && row == grid.selRow) return;
  if (!d.StringGrid1SelectCell(col, row)) return;
  grid.selCol = col;
  grid.selRow = row;
  ui.gridTop = deviceListTop(grid, ui.gridTop);
}

void gridKey(TForm2& d, DialogUi& ui, Key key) {
  const StringGrid& grid = d.StringGrid1;
  const int col = std::clamp(grid.selCol, grid.fixedCols, std::max(grid.colCount - 1, grid.fixedCols));
  const int row = std::clamp(grid.selRow, grid.fixedRows, std::max(grid.rowCount - 1, grid.fixedRows));
  const int page = deviceListScrollRows(grid);
  switch (key) {
    case Key::Up:
      return moveGridSelection(d, ui, col, row - 1);
    case Key::Down:
      return moveGridSelection(d, ui, col, row + 1);
    case Key::PageUp:
      return moveGridSelection(d, ui, col, row - page);
    case Key::PageDown:
      return moveGridSelection(d, ui, col, row + page);
    case Key::Home:
      return moveGridSelection(d, ui, col, grid.fixedRows);
    case Key::End:
      return moveGridSelection(d, ui, col, grid.rowCount - 1);
    case Key::Left:
      return moveGridSelection(d, ui, col - 1, row);
    case Key::Right:
      return moveGridSelection(d, ui, col + 1, row);
    default:
      return;
  }
}

void keepHighlightInView(DialogUi& ui, int items) {
  const int shown = std::min(items, kDropDownCount);
  if (ui.highlight < ui.listTop) ui.listTop = ui.highlight;
  if (ui.highlight >= ui.listTop + shown) ui.listTop = ui.highlight - shown + 1;
  ui.listTop = std::clamp(ui.listTop, 0, std::max(items - shown, 0));
}

void openList(const ComboBox& list, DialogUi& ui) {
  if (list.items.empty()) return;
  ui.listOpen = true;
  ui.highlight = std::clamp(list.itemIndex, 0, static_cast<int>(list.items.size()) - 1);
  ui.listTop = 0;
  keepHighlightInView(ui, static_cast<int>(list.items.size()));
}

// A step through a list's items from `from` (-1: none selected), kept within the items.
int stepItem(int from, int count, Key key) {
  switch (key) {
    case Key::Up:
      return from < 0 ? 0 : from - 1;
    case Key::Down:
      return from + 1;
    case Key::PageUp:
      return from - kDropDownCount;
    case Key::PageDown:
      return from < 0 ? kDropDownCount - 1 : from + kDropDownCount;
    case Key::Home:
      return 0;
    case Key::End:
      return count - 1;
    default:
      return from;
  }
}

bool isMove(Key key) {
  return key == Key::Up || key == Key::Down || key == Key::PageUp || key == Key::PageDown ||
         key == Key::Home || key == Key::End;
}

void moveFocus(const TForm2& d, DialogUi& ui, bool forward) {
  const auto& order = tabOrder();
  const int n = static_cast<int>(order.size());
  int at = static_cast<int>(std::find(order.begin(), order.end(), ui.focus) - order.begin());
  if (at >= n) at = forward ? -1 : n;
  for (int step = 1; step <= n; ++step) {
    const Control c = order[((at + (forward ? step : -step)) % n + n) % n];
    if (canFocus(d, c)) {
      ui.focus = c;
      return;
    }
  }
  ui.focus = Control::None;
}

// The focus stays where it is while its control can take it; otherwise it moves on in tab order.
void settleFocus(const TForm2& d, DialogUi& ui) {
  if (ui.focus != Control::None && canFocus(d, ui.focus)) return;
  ui.listOpen = false;
  moveFocus(d, ui, true);
}

std::uint8_t stateAttr(bool enabled, bool focused) {
  if (!enabled) return kDim;
  return focused ? kReverse : kPlain;
}

void drawLabel(Screen& s, const Label& label, const Rect& r, std::uint8_t attr = kPlain) {
  if (!label.visible) return;
  const auto lines = wrapText(label.text, r.w);
  for (int i = 0; i < static_cast<int>(lines.size()) && i < r.h; ++i)
    s.text(r.x, r.y + i, lines[i], attr, r.w);
}

void drawCombo(Screen& s, const ComboBox& list, const Rect& r, bool focused) {
  if (!list.visible) return;
  const std::uint8_t attr = static_cast<std::uint8_t>(stateAttr(list.enabled, focused) | kUnderline);
  s.fill({r.x, r.y, r.w, 1}, U' ', attr);
  const std::string text = list.text();
  const int room = std::max(r.w - 2, 0);
  if (static_cast<int>(text.size()) <= room) {
    s.text(r.x, r.y, text, attr);
  } else {
    s.text(r.x, r.y, text, attr, room - 1);
    s.put(r.x + room - 1, r.y, U'…', attr);
  }
  s.put(r.x + r.w - 1, r.y, U'▼', attr);
}

void drawButton(Screen& s, const Button& button, const Rect& r, bool focused) {
  if (!button.visible) return;
  const std::uint8_t attr = button.enabled ? kButtonAttr : std::uint8_t{kDim};
  s.fill(r);
  s.frame(r, attr);
  const Rect in = interior(r);
  const int mid = in.y + (in.h - 1) / 2;
  const int len = std::min(static_cast<int>(button.caption.size()), in.w);
  const std::uint8_t captionAttr =
      focused && button.enabled ? static_cast<std::uint8_t>(attr | kReverse) : attr;
  if (focused && button.enabled) s.fill({in.x, mid, in.w, 1}, U' ', captionAttr);
  s.text(in.x + (in.w - len) / 2, mid, button.caption, captionAttr, in.w);
}

void drawProgress(Screen& s, const ProgressBar& bar, const Rect& r) {
  if (!bar.visible) return;
  const int span = bar.max - bar.min;
  const int pos = std::clamp(bar.position, bar.min, std::max(bar.max, bar.min));
  const int filled = span > 0 ? (pos - bar.min) * r.w / span : 0;
  for (int x = 0; x < r.w; ++x) s.put(r.x + x, r.y, x < filled ? U'█' : U'░', kPlain);
}

void drawDeviceList(Screen& s, const StringGrid& grid, const Rect& r, const DialogUi& ui, bool focused) {
  s.fill(r);
  s.frame(r, focused ? kBold : kPlain);
  if (!grid.defaultDrawing) return;  // background only, not even the header row
  const Rect in = interior(r);
  const std::vector<int> widths = columnCells(grid);
  const int top = deviceListTop(grid, ui.gridTop);
  const int scrollRows = deviceListScrollRows(grid);
  std::vector<int> rows;
  for (int row = 0; row < grid.fixedRows && row < grid.rowCount; ++row) rows.push_back(row);
  for (int row = top; row < grid.rowCount && row < top + scrollRows; ++row) rows.push_back(row);
  for (int i = 0; i < static_cast<int>(rows.size()) && i < in.h; ++i) {
    const int row = rows[i];
    int x = in.x;
    for (int col = 0; col < grid.colCount && x < in.x + in.w; ++col) {
      const int w = std::min(widths[col], in.x + in.w - x);
      const bool fixed = row < grid.fixedRows || col < grid.fixedCols;
      const bool selected = !fixed && col == grid.selCol && row == grid.selRow;
      const std::uint8_t attr = selected ? kReverse : (row < grid.fixedRows ? kUnderline : kPlain);
      s.fill({x, in.y + i, w, 1}, U' ', attr);
      s.text(x, in.y + i, grid.cell(col, row), attr, w);
      x += w;
    }
  }
  if (top > grid.fixedRows) s.put(r.x + r.w - 1, in.y + grid.fixedRows, U'▲');
  if (top + scrollRows < grid.rowCount) s.put(r.x + r.w - 1, in.y + in.h - 1, U'▼');
}

// The description: text on the left, value in a column on the right. A text too long for its column
// takes the whole line and its value goes on the next line, in the value column.
void drawDescription(Screen& s, const StringGrid& grid, const Rect& r) {
  s.fill(r);
  s.frame(r);
  if (!grid.defaultDrawing) return;
  const Rect in = interior(r);
  const int valueX = in.x + in.w - kValueColumn;
  const int textWidth = in.w - kValueColumn - 1;
  int y = in.y;
  for (int row = 0; row < grid.rowCount; ++row) {
    const std::string& left = grid.cell(0, row);
    const std::string& right = grid.cell(1, row);
    const bool hasValue = !blank(right);
    const int lines = hasValue && static_cast<int>(left.size()) > textWidth ? 2 : 1;
    if (y + lines > in.y + in.h) {
      s.put(r.x + r.w - 1, in.y + in.h - 1, U'▼');
      break;
    }
    const bool selLeft = grid.selRow == row && grid.selCol == 0;
    const bool selRight = grid.selRow == row && grid.selCol == 1;
    s.text(in.x, y, left, selLeft ? kReverse : kPlain, hasValue && lines == 1 ? textWidth : in.w);
    if (hasValue) s.text(valueX, y + lines - 1, right, selRight ? kReverse : kPlain, kValueColumn);
    y += lines;
  }
}

void drawDropDown(Screen& s, const ComboBox& list, const Rect& combo, const DialogUi& ui, int left, int top) {
  const int items = static_cast<int>(list.items.size());
  if (items == 0) return;
  const int shown = std::min(items, kDropDownCount);
  int widest = 0;
  for (const std::string& item : list.items) widest = std::max(widest, static_cast<int>(item.size()));
  const int w = std::max(combo.w, widest + 2) + 2;
  const int h = shown + 2;
  int x = std::min(combo.x, kDialogColumns - w);
  x = std::max(x, 0);
  // Below the list when it fits in the dialog, otherwise above it.
  const int y = combo.y + 1 + h <= kDialogRows ? combo.y + 1 : std::max(combo.y - h, 1);
  const Rect r{left + x, top + y, w, h};
  s.fill(r);
  s.frame(r, kBold);
  for (int i = 0; i < shown; ++i) {
    const int item = ui.listTop + i;
    if (item >= items) break;
    const std::uint8_t attr = item == ui.highlight ? kReverse : kPlain;
    s.fill({r.x + 1, r.y + 1 + i, w - 2, 1}, U' ', attr);
    s.text(r.x + 2, r.y + 1 + i, list.items[item], attr, w - 3);
  }
  if (ui.listTop > 0) s.put(r.x + w - 1, r.y + 1, U'▲', kBold);
  if (ui.listTop + shown < items) s.put(r.x + w - 1, r.y + h - 2, U'▼', kBold);
}

}  // namespace

Rect terminalRect(std::string_view name) {
  const TerminalControl* c = findControl(name);
  if (!c) return {};
  Rect r = c->rect;
  if (!c->parent.empty()) {
    const Rect parent = terminalRect(c->parent);
    r = moved(r, parent.x, parent.y);
  }
  return r;
}

std::string_view controlName(Control c) {
  switch (c) {
    case Control::StringGrid1:
      return "StringGrid1";
    case Control::Button2:
      return "Button2";
    case Control::Button1:
      return "Button1";
    case Control::CBoxCOM:
      return "CBoxCOM";
    case Control::CBoxSpeed:
      return "CBoxSpeed";
    case Control::CBoxPar:
      return "CBoxPar";
    case Control::CBoxStop:
      return "CBoxStop";
    case Control::CBoxNum:
      return "CBoxNum";
    case Control::None:
      break;
  }
  return "";
}

const std::vector<Control>& tabOrder() {
  static const std::vector<Control> order = [] {
    // Top-level tab stops in order; a group box stands for its own tab stops, in their order.
    const auto byOrder = [](const TerminalControl* a, const TerminalControl* b) {
      return a->tabOrder < b->tabOrder;
    };
    std::vector<const TerminalControl*> top;
    for (const TerminalControl& c : kTerminalLayout)
      if (c.parent.empty() && c.tabOrder >= 0) top.push_back(&c);
    std::stable_sort(top.begin(), top.end(), byOrder);
    std::vector<Control> out;
    for (const TerminalControl* c : top) {
      std::vector<const TerminalControl*> inner;
      for (const TerminalControl& k : kTerminalLayout)
        if (k.parent == c->name && k.tabOrder >= 0) inner.push_back(&k);
      std::stable_sort(inner.begin(), inner.end(), byOrder);
      if (inner.empty()) inner.push_back(c);
      for (const TerminalControl* k : inner)
        if (const Control control = controlByName(k->name); control != Control::None) out.push_back(control);
    }
    return out;
  }();
  return order;
}

bool canFocus(const TForm2& d, Control c) {
  switch (c) {
    case Control::StringGrid1:
      return true;
    case Control::Button1:
      return d.Button1.visible && d.Button1.enabled;
    case Control::Button2:
      return d.Button2.visible && d.Button2.enabled;
    case Control::None:
      return false;
    default: {
      const ComboBox* list = comboOf(d, c);
      return list && list->visible && list->enabled;
    }
  }
}

void startModal(TForm2& d, DialogUi& ui) {
  ui = DialogUi{};
  StringGrid& grid = d.StringGrid1;
  if (grid.rowCount > grid.fixedRows && grid.selRow >= grid.rowCount) grid.selRow = grid.rowCount - 1;
  ui.gridTop = deviceListTop(grid, grid.fixedRows);
  moveFocus(d, ui, true);
}

void handleDialogKey(TForm2& d, DialogUi& ui, Key key) {
  settleFocus(d, ui);
  if (ui.focus == Control::None) return;

  if (ComboBox* list = comboOf(d, ui.focus); list && ui.listOpen) {
    const int items = static_cast<int>(list->items.size());
    if (isMove(key)) {
      ui.highlight = std::clamp(stepItem(ui.highlight, items, key), 0, std::max(items - 1, 0));
      keepHighlightInView(ui, items);
    } else if (key == Key::Enter || key == Key::Space || key == Key::OpenList) {
      if (ui.highlight >= 0 && ui.highlight < items) list->itemIndex = ui.highlight;
      ui.listOpen = false;
    } else if (key == Key::Escape) {
      ui.listOpen = false;
    } else if (key == Key::Tab || key == Key::BackTab) {
      // As the window's lists do: the highlighted item is taken, and the focus moves on.
      if (ui.highlight >= 0 && ui.highlight < items) list->itemIndex = ui.highlight;
      ui.listOpen = false;
      moveFocus(d, ui, key == Key::Tab);
    }
    return;
  }

  if (key == Key::Tab || key == Key::BackTab) {
    moveFocus(d, ui, key == Key::Tab);
    return;
  }
  switch (ui.focus) {
    case Control::StringGrid1:
      gridKey(d, ui, key);
      break;
    case Control::Button1:
      if (key == Key::Enter || key == Key::Space) d.Button1Click();
      break;
    case Control::Button2:
      if (key == Key::Enter || key == Key::Space) d.Button2Click();
      break;
    default: {
      ComboBox* list = comboOf(d, ui.focus);
      if (!list) break;
      const int items = static_cast<int>(list->items.size());
      if (key == Key::Enter || key == Key::Space || key == Key::OpenList) {
        openList(*list, ui);
      } else if (isMove(key) && items > 0) {
        // A closed list steps through its items, as the window's drop-down lists do.
        list->itemIndex = std::clamp(stepItem(list->itemIndex, items, key), 0, items - 1);
      }
      break;
    }
  }
  // A handler may have hidden or disabled the focused control.
  if (d.visible) settleFocus(d, ui);
}

void renderDialog(const TForm2& d, const DialogUi& ui, Screen& s, int left, int top) {
  const auto at = [&](std::string_view name) { return moved(terminalRect(name), left, top); };
  const auto focused = [&](Control c) { return ui.focus == c; };

  // Caption bar.
  const Rect bar{left, top, kDialogColumns, 1};
  s.fill(bar, U' ', kReverse);
  const int captionLength = std::min(static_cast<int>(d.caption.size()), kDialogColumns);
  s.text(left + (kDialogColumns - captionLength) / 2, top, d.caption, kReverse | kBold, kDialogColumns);
  s.fill({left, top + 1, kDialogColumns, kDialogRows - 1});

  drawLabel(s, d.Label2, at("Label2"), kHeadlineAttr);
  drawLabel(s, d.Label4, at("Label4"));
  drawProgress(s, d.ProgressBar1, at("ProgressBar1"));
  drawLabel(s, d.Label1, at("Label1"));
  drawDeviceList(s, d.StringGrid1, at("StringGrid1"), ui, focused(Control::StringGrid1));
  drawDescription(s, d.StringGrid2, at("StringGrid2"));

  s.frame(at("GroupBox1"), kPlain, d.GroupBox1.caption);
  drawCombo(s, d.CBoxCOM, at("CBoxCOM"), focused(Control::CBoxCOM));
  s.frame(at("GroupBox2"), kPlain, d.GroupBox2.caption);
  drawLabel(s, d.Label8, at("Label8"));
  drawCombo(s, d.CBoxSpeed, at("CBoxSpeed"), focused(Control::CBoxSpeed));
  drawLabel(s, d.Label9, at("Label9"));
  drawCombo(s, d.CBoxPar, at("CBoxPar"), focused(Control::CBoxPar));
  drawLabel(s, d.Label10, at("Label10"));
  drawCombo(s, d.CBoxStop, at("CBoxStop"), focused(Control::CBoxStop));
  s.frame(at("GroupBox3"), kPlain, d.GroupBox3.caption);
  drawLabel(s, d.Label11, at("Label11"));
  drawLabel(s, d.Label12, at("Label12"));
  drawCombo(s, d.CBoxNum, at("CBoxNum"), focused(Control::CBoxNum));
  drawButton(s, d.Button1, at("Button1"), focused(Control::Button1));
  drawButton(s, d.Button2, at("Button2"), focused(Control::Button2));

  if (ui.listOpen)
    if (const ComboBox* list = comboOf(d, ui.focus))
      drawDropDown(s, *list, terminalRect(controlName(ui.focus)), ui, left, top);
}

namespace {

// The frame around the dialog needs a column either side and a row above and below it; the key hints
// a row under everything.
bool framed(const Screen& s) {
  return s.width() >= kDialogColumns + 2 && s.height() >= kDialogRows + 3;
}

int utf8Length(std::string_view text) {
  return static_cast<int>(std::count_if(
      text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

Rect dialogPlacement(const Screen& s) {
  const int border = framed(s) ? 1 : 0;
  const int height = kDialogRows + 2 * border + 1;
  return {std::max((s.width() - kDialogColumns) / 2, 0), std::max((s.height() - height) / 2, 0) + border,
          kDialogColumns, kDialogRows};
}

std::string_view keyHints() {
  return "Tab: переход  ↑↓←→: выбор  Enter, Пробел: нажать, открыть список  Esc: отмена";
}

void renderDialogScreen(const TForm2& d, const DialogUi& ui, Screen& s) {
  s.clear();
  const Rect place = dialogPlacement(s);
  const int border = framed(s) ? 1 : 0;
  if (border) s.frame({place.x - 1, place.y - 1, kDialogColumns + 2, kDialogRows + 2});
  renderDialog(d, ui, s, place.x, place.y);
  // Only while the dialog takes keys, and only on a row of its own: they never cover the dialog.
  const int hintRow = place.y + kDialogRows + border;
  if (ui.focus != Control::None && hintRow < s.height()) {
    const int length = std::min(utf8Length(keyHints()), s.width());
    s.textUtf8(place.x + std::max((kDialogColumns - length) / 2, 0), hintRow, keyHints(), kPlain, s.width());
  }
  if (s.width() < kDialogColumns || s.height() < kDialogRows) {
    const std::string notice = std::string(cp1251("Окно терминала меньше 80x24: увеличьте его"));
    const int y = s.height() - 1;
    s.fill({0, y, s.width(), 1}, U' ', kReverse);
    s.text(0, y, notice, kReverse, s.width());
  }
}

MessageBoxUi makeMessageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                            BoxButtons buttons, BoxAnswer defaultButton) {
  MessageBoxUi box{text, caption, icon, {}, 0};
  switch (buttons) {
    case BoxButtons::Ok:
      box.buttons = {BoxAnswer::Ok};
      break;
    case BoxButtons::YesNo:
      box.buttons = {BoxAnswer::Yes, BoxAnswer::No};
      break;
    case BoxButtons::RetryCancel:
      box.buttons = {BoxAnswer::Retry, BoxAnswer::Cancel};
      break;
  }
  const auto it = std::find(box.buttons.begin(), box.buttons.end(), defaultButton);
  box.focused = it == box.buttons.end() ? 0 : static_cast<int>(it - box.buttons.begin());
  return box;
}

std::optional<BoxAnswer> handleBoxKey(MessageBoxUi& box, Key key) {
  const int n = static_cast<int>(box.buttons.size());
  if (n == 0) return BoxAnswer::Ok;
  switch (key) {
    case Key::Left:
    case Key::Up:
    case Key::BackTab:
      box.focused = (box.focused + n - 1) % n;
      return std::nullopt;
    case Key::Right:
    case Key::Down:
    case Key::Tab:
      box.focused = (box.focused + 1) % n;
      return std::nullopt;
    case Key::Enter:
    case Key::Space:
      return box.buttons[std::clamp(box.focused, 0, n - 1)];
    case Key::Escape:
      for (BoxAnswer a : {BoxAnswer::Cancel, BoxAnswer::No, BoxAnswer::Ok})
        if (std::find(box.buttons.begin(), box.buttons.end(), a) != box.buttons.end()) return a;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

std::string_view boxButtonCaption(BoxAnswer a) {
  switch (a) {
    case BoxAnswer::Ok:
      return "OK";
    case BoxAnswer::Yes:
      return "Да";
    case BoxAnswer::No:
      return "Нет";
    case BoxAnswer::Retry:
      return "Повтор";
    case BoxAnswer::Cancel:
      return "Отмена";
  }
  return "?";
}

void renderMessageBox(const MessageBoxUi& box, Screen& s) {
  constexpr int kIconWidth = 4;  // "(!) "
  // Lines wrap at 64 characters, narrower on a narrow screen.
  const int maxText = std::max(std::min(s.width() - 6 - kIconWidth, 64), 10);
  const std::vector<std::string> lines = wrapText(box.text, maxText);
  int textWidth = 0;
  for (const std::string& line : lines) textWidth = std::max(textWidth, static_cast<int>(line.size()));

  // "[ Caption ]" per button, two blanks between buttons.
  std::vector<std::string> labels;
  int buttonsWidth = 0;
  for (BoxAnswer a : box.buttons) {
    std::string label = "[ ";
    label += boxButtonCaption(a);
    label += " ]";
    labels.push_back(label);
  }
  for (std::size_t i = 0; i < labels.size(); ++i) {
    int n = 0;
    for (std::size_t k = 0; k < labels[i].size(); ++k)
      if ((static_cast<unsigned char>(labels[i][k]) & 0xC0) != 0x80) ++n;
    buttonsWidth += n + (i ? 2 : 0);
  }

  const int inner =
      std::max({kIconWidth + textWidth, buttonsWidth, static_cast<int>(box.caption.size()) + 2});
  const int w = std::min(inner + 6, s.width());
  const int h = std::min(static_cast<int>(lines.size()) + 5, s.height());
  const Rect r{std::max((s.width() - w) / 2, 0), std::max((s.height() - h) / 2, 0), w, h};
  s.fill(r);
  s.frame(r, kBold, box.caption, kBold);

  const char* icon = box.icon == BoxIcon::Warning ? "(!)" : box.icon == BoxIcon::Stop ? "(x)" : "(i)";
  s.textUtf8(r.x + 3, r.y + 2, icon, kBold);
  for (int i = 0; i < static_cast<int>(lines.size()) && r.y + 2 + i < r.y + h - 3; ++i)
    s.text(r.x + 3 + kIconWidth, r.y + 2 + i, lines[i], kPlain, w - 6 - kIconWidth);

  int x = r.x + (w - buttonsWidth) / 2;
  const int y = r.y + h - 2;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (i) x += 2;
    x += s.textUtf8(x, y, labels[i], static_cast<int>(i) == box.focused ? (kReverse | kBold) : kPlain);
  }
}

}  // namespace duz::tui
