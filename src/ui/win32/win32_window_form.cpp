#include "ui/win32/win32_window_form.h"

#include <commctrl.h>

#include <algorithm>
#include <cwchar>
#include <initializer_list>

#include "ui/win32/win32_window_util.h"

namespace duz::win32 {

namespace {

// Single fixed border with a caption, and no border icons at all: no system menu, so no close box either.
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_CLIPCHILDREN;
// Tab and arrow keys walk into the group boxes' lists.
constexpr DWORD kFormExStyle = WS_EX_CONTROLPARENT;
constexpr int kFirstControlId = 100;  // clear of IDOK and IDCANCEL, which the dialog keys send
constexpr int kDropDownRows = 8;
constexpr COLORREF kBlue = RGB(0, 0, 255);

template <typename T>
struct Member {
  std::string_view name;
  T TForm2::*member;
};

constexpr Member<Label> kLabels[] = {
    {"Label1", &TForm2::Label1},   {"Label2", &TForm2::Label2},   {"Label4", &TForm2::Label4},
    {"Label8", &TForm2::Label8},   {"Label9", &TForm2::Label9},   {"Label10", &TForm2::Label10},
    {"Label11", &TForm2::Label11}, {"Label12", &TForm2::Label12},
};
constexpr Member<GroupBox> kGroupBoxes[] = {
    {"GroupBox1", &TForm2::GroupBox1}, {"GroupBox2", &TForm2::GroupBox2}, {"GroupBox3", &TForm2::GroupBox3}};
constexpr Member<ComboBox> kComboBoxes[] = {{"CBoxCOM", &TForm2::CBoxCOM},
                                            {"CBoxSpeed", &TForm2::CBoxSpeed},
                                            {"CBoxPar", &TForm2::CBoxPar},
                                            {"CBoxStop", &TForm2::CBoxStop},
                                            {"CBoxNum", &TForm2::CBoxNum}};
constexpr Member<Button> kButtons[] = {{"Button1", &TForm2::Button1}, {"Button2", &TForm2::Button2}};
constexpr Member<StringGrid> kGrids[] = {{"StringGrid1", &TForm2::StringGrid1},
                                         {"StringGrid2", &TForm2::StringGrid2}};
constexpr Member<ProgressBar> kProgressBars[] = {{"ProgressBar1", &TForm2::ProgressBar1}};

template <typename T, std::size_t N>
constexpr bool listed(const Member<T> (&table)[N], std::string_view name) {
  for (const Member<T>& m : table)
    if (m.name == name) return true;
  return false;
}

template <typename T, std::size_t N>
T& member(TForm2& dialog, const Member<T> (&table)[N], std::string_view name) {
  for (const Member<T>& m : table)
    if (m.name == name) return dialog.*(m.member);
  return dialog.*(table[0].member);  // not reached: every control's kind comes from these tables
}

// Every control of the layout is one of the dialog's members, so the window can mirror all of them.
constexpr bool everyControlBound() {
  for (const ControlLayout& c : kDialogLayout)
    if (!listed(kLabels, c.name) && !listed(kGroupBoxes, c.name) && !listed(kComboBoxes, c.name) &&
        !listed(kButtons, c.name) && !listed(kGrids, c.name) && !listed(kProgressBars, c.name))
      return false;
  return true;
}
static_assert(everyControlBound());

COLORREF colourOf(Colour colour) {
  switch (colour) {
    case Colour::Blue:
      return kBlue;
    case Colour::ButtonFace:
      return GetSysColor(COLOR_BTNFACE);
    case Colour::CaptionText:
      return GetSysColor(COLOR_CAPTIONTEXT);
    case Colour::WindowText:
      break;
  }
  return GetSysColor(COLOR_WINDOWTEXT);
}

int CALLBACK noteFace(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool hasCyrillic(HDC dc, const wchar_t* face) {
  LOGFONTW query{};
  query.lfCharSet = RUSSIAN_CHARSET;
  std::wcsncpy(query.lfFaceName, face, LF_FACESIZE - 1);
  bool found = false;
  EnumFontFamiliesExW(dc, &query, reinterpret_cast<FONTENUMPROCW>(&noteFace),
                      reinterpret_cast<LPARAM>(&found), 0);
  return found;
}

// "MS Sans Serif" where it has Cyrillic letters (a Russian Windows); otherwise the nearest face that has
// them, so that the texts never fall to whatever the font mapper picks.
std::wstring dialogFontFace() {
  HDC dc = GetDC(nullptr);
  std::wstring chosen = L"MS Sans Serif";
  for (const wchar_t* face : {L"MS Sans Serif", L"Microsoft Sans Serif", L"Tahoma", L"Arial"}) {
    if (dc && hasCyrillic(dc, face)) {
      chosen = face;
      break;
    }
  }
  if (dc) ReleaseDC(nullptr, dc);
  return chosen;
}

// Creation order is tab order: the tab stops of the client area by their order, each group box followed by
// its own controls (tab stops first), then everything that is no tab stop.
std::vector<const ControlLayout*> creationOrder() {
  auto byTab = [](std::string_view parent, bool tabStops) {
    std::vector<const ControlLayout*> out;
    for (const ControlLayout& c : kDialogLayout)
      if (c.parent == parent && (c.tabOrder >= 0) == tabStops) out.push_back(&c);
    if (tabStops)
      std::stable_sort(out.begin(), out.end(), [](const ControlLayout* a, const ControlLayout* b) {
        return a->tabOrder < b->tabOrder;
      });
    return out;
  };
  std::vector<const ControlLayout*> order;
  for (bool tabStops : {true, false}) {
    for (const ControlLayout* c : byTab("", tabStops)) {
      order.push_back(c);
      for (bool childTabStops : {true, false})
        for (const ControlLayout* child : byTab(c->name, childTabStops)) order.push_back(child);
    }
  }
  return order;
}

}  // namespace

// Made as the library loads rather than on first use: no guarded static (why: win32_entry.cpp).
const std::wstring formWindowClass =
    classNameFor(L"DuzevodDialog", reinterpret_cast<const void*>(&ownedWindowProcedure<FormWindow>));

const std::wstring& FormWindow::className() {
  return formWindowClass;
}

bool FormWindow::registerClasses(HINSTANCE instance) {
  INITCOMMONCONTROLSEX common{sizeof common, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&common);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &ownedWindowProcedure<FormWindow>;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  wc.lpszClassName = className().c_str();
  const bool form = RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  return form && GridWindow::registerClass(instance);
}

void FormWindow::unregisterClasses(HINSTANCE instance) {
  UnregisterClassW(className().c_str(), instance);
  GridWindow::unregisterClass(instance);
}

FormWindow::FormWindow(HINSTANCE instance, TForm2& dialog, bool pointerHidden)
    : instance_(instance), dialog_(&dialog), pointerHidden_(pointerHidden) {}

std::unique_ptr<FormWindow> FormWindow::create(HINSTANCE instance, TForm2& dialog, bool pointerHidden) {
  std::unique_ptr<FormWindow> form(new FormWindow(instance, dialog, pointerHidden));
  if (!form->build()) return nullptr;
  form->sync();
  return form;
}

FormWindow::~FormWindow() {
  if (hwnd_) {
    if (GetWindowThreadProcessId(hwnd_, nullptr) == GetCurrentThreadId()) {
      DestroyWindow(hwnd_);
    } else {
      // Only the thread that made a window can destroy it. An unload on another thread must not leave
      // windows that call into code about to go away: cut them loose and let their own thread close them.
      detach();
      PostMessageW(hwnd_, WM_CLOSE, 0, 0);
      return;  // their fonts stay in use
    }
  }
  for (auto& [style, font] : fonts_) DeleteObject(font);
}

void FormWindow::detach() {
  for (Control& c : controls_) {
    if (!c.hwnd) continue;
    if (c.kind == Kind::GroupBox) {
      SetWindowLongPtrW(c.hwnd, GWLP_WNDPROC, GetWindowLongPtrW(c.hwnd, GWLP_USERDATA));
    } else if (c.kind == Kind::Grid) {
      SetWindowLongPtrW(c.hwnd, GWLP_USERDATA, 0);
      SetWindowLongPtrW(c.hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DefWindowProcW));
    }
  }
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
  SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DefWindowProcW));
}

bool FormWindow::build() {
  RECT frame{0, 0, kDialogClientWidth, kDialogClientHeight};
  AdjustWindowRectEx(&frame, kFormStyle, FALSE, kFormExStyle);
  CreateWindowExW(kFormExStyle, className().c_str(), L"", kFormStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                  frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance_, this);
  if (!hwnd_) return false;

  const std::vector<const ControlLayout*> order = creationOrder();
  if (order.size() != controls_.size()) return false;  // only group boxes hold controls
  std::size_t index = 0;
  for (const ControlLayout* layout : order) {
    Control& c = controls_[index++];
    c.layout = layout;
    if (listed(kLabels, layout->name)) c.kind = Kind::Label;
    if (listed(kGroupBoxes, layout->name)) c.kind = Kind::GroupBox;
    if (listed(kComboBoxes, layout->name)) c.kind = Kind::ComboBox;
    if (listed(kButtons, layout->name)) c.kind = Kind::Button;
    if (listed(kGrids, layout->name)) c.kind = Kind::Grid;
    if (listed(kProgressBars, layout->name)) c.kind = Kind::ProgressBar;
    HWND parent = layout->parent.empty() ? hwnd_ : control(layout->parent);
    if (!parent || !createControl(c, parent)) return false;
  }
  return true;
}

bool FormWindow::createControl(Control& c, HWND parent) {
  const ControlLayout& l = *c.layout;
  const int id = kFirstControlId + static_cast<int>(&c - controls_.data());
  const DWORD tabStop = l.tabOrder >= 0 && c.kind != Kind::GroupBox ? WS_TABSTOP : 0;
  auto make = [&](DWORD exStyle, const wchar_t* windowClass, DWORD style, int height) {
    return CreateWindowExW(exStyle, windowClass, L"", WS_CHILD | style | tabStop, l.left, l.top, l.width,
                           height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_,
                           nullptr);
  };
  c.font = fontFor(l.font);
  switch (c.kind) {
    case Kind::Label:
      // Line breaks in the text start new lines; nothing else wraps, as the label sizes itself to its text.
      c.hwnd = make(0, L"STATIC", SS_LEFTNOWORDWRAP | SS_NOPREFIX, l.height);
      break;
    case Kind::GroupBox:
      c.hwnd = make(WS_EX_CONTROLPARENT, L"BUTTON", WS_VISIBLE | WS_CLIPSIBLINGS | BS_GROUPBOX, l.height);
      if (c.hwnd) {
        // Its lists and labels talk to it as their parent; it passes that on to the dialog.
        SetWindowLongPtrW(c.hwnd, GWLP_USERDATA, GetWindowLongPtrW(c.hwnd, GWLP_WNDPROC));
        SetWindowLongPtrW(c.hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&FormWindow::groupBoxProcedure));
      }
      break;
    case Kind::ComboBox:
      // The items are given in the list's own order: the dialog keeps the port list sorted itself, and a
      // system-sorted box could order them differently from the item indexes the dialog uses.
      c.hwnd =
          make(0, L"COMBOBOX", WS_VISIBLE | WS_VSCROLL | CBS_DROPDOWNLIST, l.height + kDropDownRows * 16);
      break;
    case Kind::Button:
      // Drawn here: a push button cannot otherwise show its caption in blue.
      c.hwnd = make(0, L"BUTTON", BS_OWNERDRAW, l.height);
      break;
    case Kind::Grid: {
      const bool deviceList = l.name == "StringGrid1";
      StringGrid& model = member(*dialog_, kGrids, l.name);
      const COLORREF background = deviceList ? colourOf(kDeviceListBackground) : GetSysColor(COLOR_WINDOW);
      c.grid = std::make_unique<GridWindow>(model, GridWindow::Options{background},
                                            static_cast<GridListener&>(*this));
      c.hwnd = c.grid->create(instance_, parent, id, RECT{l.left, l.top, l.left + l.width, l.top + l.height},
                              tabStop != 0);
      break;
    }
    case Kind::ProgressBar:
      c.hwnd = make(0, PROGRESS_CLASSW, PBS_SMOOTH, l.height);
      break;
  }
  if (!c.hwnd) return false;
  SendMessageW(c.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(c.font), FALSE);
  if (c.kind == Kind::ComboBox) {
    // The closed list is exactly as high as laid out, whatever height the font would give it.
    RECT r;
    GetWindowRect(c.hwnd, &r);
    const int closed = r.bottom - r.top;
    if (closed != l.height) {
      const auto field = SendMessageW(c.hwnd, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
      SendMessageW(c.hwnd, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field + (l.height - closed));
    }
  }
  return true;
}

HFONT FormWindow::fontFor(const FontStyle& style) {
  for (const auto& [known, font] : fonts_)
    if (known.height == style.height && known.bold == style.bold) return font;
  if (face_.empty()) face_ = dialogFontFace();  // once per window: no guarded static (see className)
  LOGFONTW lf{};
  lf.lfHeight = -style.height;  // negative: the character height, without internal leading
  lf.lfWeight = style.bold ? FW_BOLD : FW_NORMAL;
  lf.lfCharSet = RUSSIAN_CHARSET;
  lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
  lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
  lf.lfQuality = DEFAULT_QUALITY;
  lf.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
  std::wcsncpy(lf.lfFaceName, face_.c_str(), LF_FACESIZE - 1);
  HFONT font = CreateFontIndirectW(&lf);
  fonts_.emplace_back(style, font);
  return font;
}

HWND FormWindow::control(std::string_view name) const {
  for (const Control& c : controls_)
    if (c.layout && c.layout->name == name) return c.hwnd;
  return nullptr;
}

FormWindow::Control* FormWindow::byHandle(HWND hwnd) {
  if (!hwnd) return nullptr;
  for (Control& c : controls_)
    if (c.hwnd == hwnd) return &c;
  return nullptr;
}

FormWindow::Control* FormWindow::byId(int id) {
  const int index = id - kFirstControlId;
  return index >= 0 && index < static_cast<int>(controls_.size()) ? &controls_[index] : nullptr;
}

// ---- mirroring the dialog

void FormWindow::sync() {
  if (!hwnd_ || !dialog_) return;
  TForm2& d = *dialog_;
  if (shownCaption_ != d.caption) {
    shownCaption_ = d.caption;
    SetWindowTextW(hwnd_, widen(d.caption).c_str());
  }
  for (Control& c : controls_) {
    const std::string_view name = c.layout->name;
    switch (c.kind) {
      case Kind::Label:
        syncLabel(c, member(d, kLabels, name));
        break;
      case Kind::GroupBox:
        setText(c, member(d, kGroupBoxes, name).caption);
        break;
      case Kind::ComboBox:
        syncComboBox(c, member(d, kComboBoxes, name));
        break;
      case Kind::Button: {
        const Button& b = member(d, kButtons, name);
        setText(c, b.caption);
        setEnabled(c, b.enabled);
        setVisible(c, b.visible);
        break;
      }
      case Kind::Grid:
        c.grid->update(member(d, kGrids, name));
        break;
      case Kind::ProgressBar:
        syncProgressBar(c, member(d, kProgressBars, name));
        break;
    }
  }
  if (interactive_) keepFocusUsable();
}

void FormWindow::setText(Control& c, const std::string& text) {
  if (c.textShown && c.shownText == text) return;
  c.shownText = text;
  c.textShown = true;
  SetWindowTextW(c.hwnd, widen(text).c_str());
}

void FormWindow::setVisible(const Control& c, bool visible) {
  const bool shown = (GetWindowLongW(c.hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
  if (shown != visible) ShowWindow(c.hwnd, visible ? SW_SHOWNA : SW_HIDE);
}

void FormWindow::setEnabled(const Control& c, bool enabled) {
  if ((IsWindowEnabled(c.hwnd) != FALSE) != enabled) EnableWindow(c.hwnd, enabled);
}

void FormWindow::syncLabel(Control& c, const Label& label) {
  const bool changed = !c.textShown || c.shownText != label.text;
  setText(c, label.text);
  if (changed) autosize(c);
  setVisible(c, label.visible);
}

// A label is exactly as large as its text: as wide as its longest line, one line high per line.
void FormWindow::autosize(const Control& c) {
  const std::wstring text = widen(c.shownText);
  HDC dc = GetDC(c.hwnd);
  HGDIOBJ old = SelectObject(dc, c.font);
  RECT r{0, 0, 0, 0};
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  if (!text.empty())
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS);
  SelectObject(dc, old);
  ReleaseDC(c.hwnd, dc);
  SetWindowPos(c.hwnd, nullptr, 0, 0, r.right, std::max<LONG>(r.bottom, tm.tmHeight),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void FormWindow::syncComboBox(Control& c, const ComboBox& list) {
  if (c.shownItems != list.items) {
    SendMessageW(c.hwnd, CB_RESETCONTENT, 0, 0);
    for (const std::string& item : list.items)
      SendMessageW(c.hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(widen(item).c_str()));
    c.shownItems = list.items;
  }
  const int index =
      list.itemIndex >= 0 && list.itemIndex < static_cast<int>(list.items.size()) ? list.itemIndex : -1;
  if (SendMessageW(c.hwnd, CB_GETCURSEL, 0, 0) != index)
    SendMessageW(c.hwnd, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  setEnabled(c, list.enabled);
  setVisible(c, list.visible);
}

void FormWindow::syncProgressBar(const Control& c, const ProgressBar& bar) {
  PBRANGE range{};
  SendMessageW(c.hwnd, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  if (range.iLow != bar.min || range.iHigh != bar.max) SendMessageW(c.hwnd, PBM_SETRANGE32, bar.min, bar.max);
  SendMessageW(c.hwnd, PBM_SETSTEP, static_cast<WPARAM>(bar.step), 0);
  if (SendMessageW(c.hwnd, PBM_GETPOS, 0, 0) != bar.position)
    SendMessageW(c.hwnd, PBM_SETPOS, static_cast<WPARAM>(bar.position), 0);
  setVisible(c, bar.visible);
}

void FormWindow::pullChoices() {
  if (!dialog_) return;
  for (Control& c : controls_) {
    if (c.kind != Kind::ComboBox) continue;
    ComboBox& list = member(*dialog_, kComboBoxes, c.layout->name);
    const auto index = SendMessageW(c.hwnd, CB_GETCURSEL, 0, 0);
    if (index >= 0 && index < static_cast<LRESULT>(list.items.size()))
      list.itemIndex = static_cast<int>(index);
  }
}

// ---- showing

void FormWindow::show() {
  RECT r;
  GetWindowRect(hwnd_, &r);
  const int x = (GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left)) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) / 2;
  SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(hwnd_, SW_SHOW);
  paintNow();
}

void FormWindow::hide() {
  ShowWindow(hwnd_, SW_HIDE);
}

void FormWindow::paintNow() {
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void FormWindow::focusFirst() {
  if (HWND first = GetNextDlgTabItem(hwnd_, nullptr, FALSE)) SetFocus(first);
}

// A control that loses the focus by being disabled or hidden hands it on, so the keyboard keeps working.
void FormWindow::keepFocusUsable() {
  if (GetActiveWindow() != hwnd_) return;
  HWND focus = GetFocus();
  if (focus && byHandle(focus) && IsWindowEnabled(focus) && IsWindowVisible(focus)) return;
  focusFirst();
}

void FormWindow::setPointerHidden(bool hidden) {
  pointerHidden_ = hidden;
  // No messages are taken from the queue while a search runs, so the pointer changes here and now.
  if (pointerOverWindow())
    SetCursor(hidden ? nullptr : LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW)));
}

bool FormWindow::pointerOverWindow() const {
  POINT p;
  if (!hwnd_ || !GetCursorPos(&p)) return false;
  for (HWND w = WindowFromPoint(p); w; w = GetParent(w))
    if (w == hwnd_) return true;
  return false;
}

// ---- the operator's actions

void FormWindow::click(const Control& button) {
  if (!interactive_ || !dialog_ || !IsWindowEnabled(button.hwnd)) return;
  pullChoices();
  if (button.layout->name == "Button1") {
    dialog_->Button1Click();
  } else {
    dialog_->Button2Click();
  }
  afterHandler();
}

void FormWindow::afterHandler() {
  if (dialog_ && dialog_->visible) {
    sync();
    paintNow();
  }
}

bool FormWindow::gridSelectCell(HWND grid, int col, int row) {
  Control* c = byHandle(grid);
  if (!interactive_ || !dialog_ || !c) return false;
  if (c->layout->name == "StringGrid2") {
    // The description has no handler of its own: every cell may be selected.
    dialog_->StringGrid2.selCol = col;
    dialog_->StringGrid2.selRow = row;
    afterHandler();
    return true;
  }
  if (c->layout->name != "StringGrid1") return false;
  pullChoices();
  if (!dialog_->StringGrid1SelectCell(col, row)) return false;
  dialog_->StringGrid1.selCol = col;
  dialog_->StringGrid1.selRow = row;
  afterHandler();
  return true;
}

void FormWindow::gridLostFocus(HWND grid) {
  Control* c = byHandle(grid);
  if (!interactive_ || !dialog_ || !c || c->layout->name != "StringGrid2") return;
  dialog_->StringGrid2Exit();
  afterHandler();
}

void FormWindow::onCommand(int id, int code, HWND child) {
  if (id == IDOK) {
    // Enter: a focused button is pressed, as the operator expects of a button with the focus.
    Control* focused = byHandle(GetFocus());
    if (focused && focused->kind == Kind::Button) click(*focused);
    return;
  }
  Control* c = byId(id);
  if (!c || c->hwnd != child) return;
  if (c->kind == Kind::Button && code == BN_CLICKED) {
    click(*c);
  } else if (c->kind == Kind::ComboBox && code == CBN_SELCHANGE) {
    if (!interactive_ || !dialog_) return;
    ComboBox& list = member(*dialog_, kComboBoxes, c->layout->name);
    const auto index = SendMessageW(c->hwnd, CB_GETCURSEL, 0, 0);
    if (index >= 0 && index < static_cast<LRESULT>(list.items.size()))
      list.itemIndex = static_cast<int>(index);
  } else if (c->kind == Kind::ComboBox && code == CBN_DROPDOWN) {
    sizeDropDown(*c);
  }
}

// The open list shows up to eight items and no empty space below fewer.
void FormWindow::sizeDropDown(const Control& c) {
  const int count = std::clamp(static_cast<int>(SendMessageW(c.hwnd, CB_GETCOUNT, 0, 0)), 1, kDropDownRows);
  const int itemHeight = static_cast<int>(SendMessageW(c.hwnd, CB_GETITEMHEIGHT, 0, 0));
  SetWindowPos(c.hwnd, nullptr, 0, 0, c.layout->width, c.layout->height + count * itemHeight + 2,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT FormWindow::onColour(HDC dc, HWND child) {
  const Control* c = byHandle(child);
  if (!c || (c->kind != Kind::Label && c->kind != Kind::GroupBox))
    return DefWindowProcW(hwnd_, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                          reinterpret_cast<LPARAM>(child));
  SetTextColor(dc, colourOf(c->layout->font.colour));
  SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
  return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

void FormWindow::drawButton(const DRAWITEMSTRUCT& item) {
  const Control* c = byHandle(item.hwndItem);
  if (!c) return;
  HDC dc = item.hDC;
  RECT r = item.rcItem;
  const bool pressed = item.itemState & ODS_SELECTED;
  const bool focused = item.itemState & ODS_FOCUS;
  const bool disabled = item.itemState & ODS_DISABLED;
  if (focused) {
    // The focused button carries the dark frame of the button that Enter presses.
    FrameRect(dc, &r, GetSysColorBrush(COLOR_WINDOWFRAME));
    InflateRect(&r, -1, -1);
  }
  DrawFrameControl(dc, &r, DFC_BUTTON, DFCS_BUTTONPUSH | (pressed ? DFCS_PUSHED : 0));
  const std::wstring text = widen(c->shownText);
  HGDIOBJ old = SelectObject(dc, c->font);
  SetBkMode(dc, TRANSPARENT);
  RECT t = r;
  if (pressed) OffsetRect(&t, 1, 1);
  const UINT format = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX;
  if (disabled) {
    // Etched, as the system draws a disabled caption.
    RECT light = t;
    OffsetRect(&light, 1, 1);
    SetTextColor(dc, GetSysColor(COLOR_BTNHIGHLIGHT));
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &light, format);
    SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
  } else {
    SetTextColor(dc, colourOf(c->layout->font.colour));
  }
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &t, format);
  SelectObject(dc, old);
  if (focused) {
    InflateRect(&r, -3, -3);
    DrawFocusRect(dc, &r);
  }
}

LRESULT FormWindow::onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      onCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_DRAWITEM:
      drawButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_CTLCOLORSTATIC:
      return onColour(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_CLOSE:
      // Whatever closes the window (it has no close box, but Alt+F4 or the task list can) closes the
      // dialog, which hands its texts over; outside a modal showing nothing is closed.
      if (interactive_ && dialog_ && dialog_->visible) {
        pullChoices();
        dialog_->close();
      }
      return 0;
    case WM_SETCURSOR:
      if (pointerHidden_) {
        SetCursor(nullptr);
        return TRUE;
      }
      break;
    case WM_ACTIVATE:
      // The focus comes back to where it was when a message box or another window gave it back.
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (byHandle(focus)) savedFocus_ = focus;
      } else if (savedFocus_ && byHandle(savedFocus_) && IsWindowEnabled(savedFocus_) &&
                 IsWindowVisible(savedFocus_)) {
        SetFocus(savedFocus_);
      } else {
        focusFirst();
      }
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd_, message, wParam, lParam);
}

LRESULT CALLBACK FormWindow::groupBoxProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const auto original = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (message) {
    case WM_COMMAND:
    case WM_DRAWITEM:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
      return SendMessageW(GetParent(hwnd), message, wParam, lParam);
    case WM_ERASEBKGND: {
      RECT r;
      GetClientRect(hwnd, &r);
      FillRect(reinterpret_cast<HDC>(wParam), &r, GetSysColorBrush(COLOR_BTNFACE));
      return TRUE;
    }
    default:
      return CallWindowProcW(original, hwnd, message, wParam, lParam);
  }
}

}  // namespace duz::win32
