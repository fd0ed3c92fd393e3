// The initialisation dialog's window as the operator meets it, where a Windows (or Wine) desktop runs it:
// geometry, texts, styles, fonts and colours against the dialog layout; the dialog's state mirrored on show
// and repaint; mouse and keyboard reaching the dialog's handlers in a modal showing; message boxes with
// their exact flags. Writes a screenshot of the window to the PNG path given as the first argument.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "model/cp1251.h"
#include "ui/dialog.h"
#include "ui/layout.h"
#include "ui/scripted/scripted_operator.h"
#include "ui/win32/win32_window_operator.h"

namespace {

using duz::BoxAnswer;
using duz::BoxButtons;
using duz::BoxIcon;

int failures = 0;

void check(bool ok, const std::string& what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
  if (!ok) ++failures;
}

std::string narrow(const std::wstring& w) {
  std::string out(w.size() * 4 + 1, '\0');
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), out.data(),
                                    static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(n > 0 ? n : 0);
  return out;
}

// What the window must show for a CP1251 text of the dialog, as UTF-8.
std::string shown(const std::string& cp1251) {
  return duz::cp1251ToUtf8(cp1251);
}

std::string textOf(HWND hwnd) {
  wchar_t buffer[512] = {};
  GetWindowTextW(hwnd, buffer, 512);
  return narrow(buffer);
}

LONG styleOf(HWND hwnd) {
  return GetWindowLongW(hwnd, GWL_STYLE);
}

// A control's rectangle in its parent's client coordinates.
RECT placeIn(HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// Lets the window system deliver what was posted and draw it (Wine puts drawings on the X screen then).
void pump(int milliseconds) {
  const DWORD end = GetTickCount() + static_cast<DWORD>(milliseconds);
  do {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(10);
  } while (GetTickCount() < end);
}

void postClick(HWND hwnd, int x, int y) {
  PostMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
  PostMessageW(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
}

void postClickCentre(HWND hwnd) {
  RECT r;
  GetClientRect(hwnd, &r);
  postClick(hwnd, r.right / 2, r.bottom / 2);
}

class ListedPorts : public duz::SerialPorts {
 public:
  std::unique_ptr<duz::SerialPort> open(const std::string&) override { return nullptr; }
  std::vector<std::string> list() override { return {"COM4", "COM1", "COM10"}; }
};

struct Handed {
  std::string settings, port, limit, action;
};

duz::DeviceConfig device(int address, const char* modelUtf8) {
  duz::DeviceConfig d{};
  d.cells[duz::cell::kBusAddress][0] = static_cast<std::uint8_t>(address);
  const std::string model = duz::utf8ToCp1251(modelUtf8);
  std::memcpy(d.text(duz::cell::kModelName), model.data(), model.size());
  return d;
}

// ---- the screen

struct Capture {
  int width = 0, height = 0;
  std::vector<std::uint32_t> pixels;  // 0x00RRGGBB, top row first
  COLORREF at(int x, int y) const {
    const std::uint32_t p = pixels[static_cast<std::size_t>(y) * width + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
  }
};

Capture captureScreen(const RECT& area) {
  Capture c;
  c.width = area.right - area.left;
  c.height = area.bottom - area.top;
  c.pixels.assign(static_cast<std::size_t>(c.width) * c.height, 0);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = c.width;
  bi.bmiHeader.biHeight = -c.height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, c.width, c.height, screen, area.left, area.top, SRCCOPY);
  GdiFlush();
  std::memcpy(c.pixels.data(), bits, c.pixels.size() * 4);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return c;
}

Capture captureWindow(HWND hwnd) {
  pump(150);
  RECT r;
  GetWindowRect(hwnd, &r);
  return captureScreen(r);
}

// Pixels of one colour (or, with equal false, of any other) in a part of a control's client area, as the
// screen shows it; the whole client area when no part is given.
int countColour(const Capture& c, HWND window, HWND control, COLORREF colour, bool equal = true,
                const RECT* part = nullptr) {
  RECT w, r;
  GetWindowRect(window, &w);
  GetClientRect(control, &r);
  if (part) IntersectRect(&r, &r, part);
  MapWindowPoints(control, nullptr, reinterpret_cast<POINT*>(&r), 2);
  int n = 0;
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x)
      if ((c.at(x - w.left, y - w.top) == colour) == equal) ++n;
  return n;
}

std::uint32_t crc32(const std::string& data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : data) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void put32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}

// A PNG with stored (uncompressed) deflate blocks: no library needed, and a screenshot of this size stays
// well under a megabyte.
bool writePng(const char* path, const Capture& c) {
  std::string raw;
  for (int y = 0; y < c.height; ++y) {
    raw += '\0';
    for (int x = 0; x < c.width; ++x) {
      const COLORREF p = c.at(x, y);
      raw += static_cast<char>(GetRValue(p));
      raw += static_cast<char>(GetGValue(p));
      raw += static_cast<char>(GetBValue(p));
    }
  }
  std::string z = "\x78\x01";
  std::uint32_t a = 1, b = 0;
  for (unsigned char byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  for (std::size_t at = 0; at < raw.size() || at == 0; at += 65535) {
    const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
    z += static_cast<char>(at + n >= raw.size() ? 1 : 0);
    z += static_cast<char>(n & 0xFF);
    z += static_cast<char>(n >> 8);
    z += static_cast<char>(~n & 0xFF);
    z += static_cast<char>((~n >> 8) & 0xFF);
    z.append(raw, at, n);
    if (n == 0) break;
  }
  put32(z, (b << 16) | a);

  std::string png = "\x89PNG\r\n\x1a\n";
  auto chunk = [&png](const char* type, const std::string& data) {
    put32(png, static_cast<std::uint32_t>(data.size()));
    const std::string body = type + data;
    png += body;
    put32(png, crc32(body));
  };
  std::string header;
  put32(header, static_cast<std::uint32_t>(c.width));
  put32(header, static_cast<std::uint32_t>(c.height));
  header += std::string("\x08\x02\x00\x00\x00", 5);
  chunk("IHDR", header);
  chunk("IDAT", z);
  chunk("IEND", "");
  FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  const bool ok = std::fwrite(png.data(), 1, png.size(), f) == png.size();
  return std::fclose(f) == 0 && ok;
}

// ---- message boxes, answered as they appear

struct BoxSeen {
  bool seen = false;
  std::string caption, text;
  HWND owner = nullptr;
  std::vector<int> buttons;
  int defaultButton = 0;
  HICON icon = nullptr;
  bool otherWindowEnabled = true;  // the test's own window while the box was up
};

HHOOK boxHook = nullptr;
int boxAnswerId = IDOK;
BoxSeen lastBox;
HWND otherWindow = nullptr;

BOOL CALLBACK noteBoxChild(HWND child, LPARAM) {
  if (!IsWindowVisible(child)) return TRUE;  // a box may keep the buttons it does not offer, hidden
  wchar_t cls[32] = {};
  GetClassNameW(child, cls, 32);
  const LONG style = styleOf(child);
  if (lstrcmpiW(cls, L"Button") == 0) {
    lastBox.buttons.push_back(GetDlgCtrlID(child));
    if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) lastBox.defaultButton = GetDlgCtrlID(child);
  } else if (lstrcmpiW(cls, L"Static") == 0) {
    if ((style & SS_TYPEMASK) == SS_ICON) {
      lastBox.icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
    } else if (GetWindowTextLengthW(child) > 0) {
      lastBox.text = textOf(child);
    }
  }
  return TRUE;
}

HWND activeBox = nullptr;

// Runs from the box's own message loop once the box is set up: notes what it shows, presses a button.
void CALLBACK inspectAndAnswerBox(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  HWND box = activeBox;
  activeBox = nullptr;
  if (!box) return;
  lastBox = BoxSeen{};
  lastBox.seen = true;
  lastBox.caption = textOf(box);
  lastBox.owner = GetWindow(box, GW_OWNER);
  lastBox.otherWindowEnabled = IsWindowEnabled(otherWindow) != FALSE;
  EnumChildWindows(box, &noteBoxChild, 0);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(boxAnswerId, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, boxAnswerId)));
}

LRESULT CALLBACK answerBoxes(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE) {
    HWND box = reinterpret_cast<HWND>(wParam);
    wchar_t cls[32] = {};
    GetClassNameW(box, cls, 32);
    if (lstrcmpW(cls, L"#32770") == 0 && !activeBox) {
      activeBox = box;
      SetTimer(nullptr, 0, 20, &inspectAndAnswerBox);
    }
  }
  return CallNextHookEx(boxHook, code, wParam, lParam);
}

// The host's window counts the keys and clicks it is given.
int hostKeys = 0;
WNDPROC originalHostProc = nullptr;
LRESULT CALLBACK countHostKeys(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if ((message >= WM_KEYFIRST && message <= WM_KEYLAST) ||
      (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST))
    ++hostKeys;
  return CallWindowProcW(originalHostProc, hwnd, message, wParam, lParam);
}

// ---- a modal showing driven step by step from a timer

std::vector<std::function<void()>> steps;
std::size_t nextStep = 0;

void CALLBACK runStep(HWND, UINT, UINT_PTR timer, DWORD) {
  if (nextStep < steps.size()) {
    steps[nextStep++]();
  } else {
    KillTimer(nullptr, timer);
  }
}

void runModal(duz::WindowOperator& op, duz::TForm2& dialog, std::vector<std::function<void()>> script) {
  steps = std::move(script);
  nextStep = 0;
  const UINT_PTR timer = SetTimer(nullptr, 0, 60, &runStep);
  op.showModal(dialog);
  KillTimer(nullptr, timer);
  check(nextStep == steps.size(), "the modal showing lasted until its last step");
}

// ---- the checks

void checkMessageBoxes(duz::WindowOperator& op) {
  using duz::messageBoxStyle;
  check(messageBoxStyle(BoxIcon::Warning, BoxButtons::Ok, BoxAnswer::Ok) ==
            (MB_TASKMODAL | MB_ICONWARNING | MB_OK | MB_DEFBUTTON1),
        "warning box style: task-modal, warning icon, OK");
  check(messageBoxStyle(BoxIcon::Information, BoxButtons::YesNo, BoxAnswer::No) ==
            (MB_TASKMODAL | MB_ICONINFORMATION | MB_YESNO | MB_DEFBUTTON2),
        "question style: information icon, Yes/No, No the default");
  check(messageBoxStyle(BoxIcon::Stop, BoxButtons::RetryCancel, BoxAnswer::Retry) ==
            (MB_TASKMODAL | MB_ICONSTOP | MB_RETRYCANCEL | MB_DEFBUTTON1),
        "port error style: stop icon, Retry/Cancel, Retry the default");

  struct Case {
    BoxIcon icon;
    BoxButtons buttons;
    BoxAnswer defaultButton;
    LPCSTR iconId;
    std::vector<int> buttonIds;
    int defaultId;
    int pressed;
    BoxAnswer expected;
  };
  // clang-format off
  const Case cases[] = {
      {BoxIcon::Warning, BoxButtons::Ok, BoxAnswer::Ok, IDI_WARNING, {IDOK}, IDOK, IDOK, BoxAnswer::Ok},
      {BoxIcon::Information, BoxButtons::YesNo, BoxAnswer::No, IDI_INFORMATION, {IDYES, IDNO}, IDNO, IDYES, BoxAnswer::Yes},
      {BoxIcon::Information, BoxButtons::YesNo, BoxAnswer::No, IDI_INFORMATION, {IDYES, IDNO}, IDNO, IDNO, BoxAnswer::No},
      {BoxIcon::Stop, BoxButtons::RetryCancel, BoxAnswer::Cancel, IDI_ERROR, {IDRETRY, IDCANCEL}, IDCANCEL, IDRETRY, BoxAnswer::Retry},
      {BoxIcon::Stop, BoxButtons::RetryCancel, BoxAnswer::Retry, IDI_ERROR, {IDRETRY, IDCANCEL}, IDRETRY, IDCANCEL, BoxAnswer::Cancel},
  };
  // clang-format on
  const std::string text = duz::utf8ToCp1251("Ошибка открытия порта COM1\nВозможно, порт занят");
  const std::string caption = duz::utf8ToCp1251("Ошибка открытия COM-порта");
  int n = 0;
  for (const Case& c : cases) {
    const std::string name = "box " + std::to_string(++n) + ": ";
    boxAnswerId = c.pressed;
    const BoxAnswer answer = op.messageBox(text, caption, c.icon, c.buttons, c.defaultButton);
    check(lastBox.seen, name + "a message box appeared");
    check(answer == c.expected, name + "the pressed button is the answer");
    check(lastBox.caption == shown(caption) && lastBox.text == shown(text),
          name + "caption and text in Cyrillic");
    check(lastBox.owner == nullptr, name + "no owner window");
    check(!lastBox.otherWindowEnabled, name + "task-modal: the thread's other windows take no input");
    check(lastBox.buttons == c.buttonIds, name + "exactly the requested buttons");
    check(lastBox.defaultButton == c.defaultId, name + "the requested default button");
    check(lastBox.icon == LoadIconA(nullptr, c.iconId), name + "the requested icon");
  }
  check(IsWindowEnabled(otherWindow) != FALSE, "the thread's windows take input again after the boxes");
}

void checkLayout(duz::WindowOperator& op, const duz::TForm2& dialog) {
  HWND window = op.window();
  const LONG style = styleOf(window);
  check((style & WS_CAPTION) == WS_CAPTION, "the window has a caption");
  check(!(style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME)),
        "no system menu, no minimise, maximise or close box, and a fixed border");
  RECT client, frame;
  GetClientRect(window, &client);
  GetWindowRect(window, &frame);
  check(client.right == duz::kDialogClientWidth && client.bottom == duz::kDialogClientHeight,
        "client area 627 x 315 (it is " + std::to_string(client.right) + " x " +
            std::to_string(client.bottom) + ")");
  const int dx = (frame.left + frame.right) / 2 - GetSystemMetrics(SM_CXSCREEN) / 2;
  const int dy = (frame.top + frame.bottom) / 2 - GetSystemMetrics(SM_CYSCREEN) / 2;
  check(dx >= -1 && dx <= 1 && dy >= -1 && dy <= 1, "centred on the screen");
  check(textOf(window) == "Инициализация подключенных устройств", "caption text");
  check(GetClassLongPtrW(window, GCLP_HBRBACKGROUND) == COLOR_BTNFACE + 1, "button-face background");

  std::string face;
  for (const duz::ControlLayout& l : duz::kDialogLayout) {
    const std::string name(l.name);
    HWND c = op.control(l.name);
    if (!c) {
      check(false, name + " exists");
      continue;
    }
    HWND expectedParent = l.parent.empty() ? window : op.control(l.parent);
    check(GetParent(c) == expectedParent,
          name + " sits in " + (l.parent.empty() ? "the window" : std::string(l.parent)));
    const RECT r = placeIn(c);
    const bool label = name.rfind("Label", 0) == 0;
    if (label) {
      // Labels size themselves to their text: laid-out corner, and large enough for what they say.
      HDC dc = GetDC(c);
      HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(c, WM_GETFONT, 0, 0)));
      wchar_t text[256] = {};
      const int length = GetWindowTextW(c, text, 256);
      SIZE extent{};
      GetTextExtentPoint32W(dc, text, length, &extent);
      SelectObject(dc, old);
      ReleaseDC(c, dc);
      check(r.left == l.left && r.top == l.top && r.right - r.left >= extent.cx &&
                r.bottom - r.top >= extent.cy,
            name + " at " + std::to_string(l.left) + "," + std::to_string(l.top) + " holding its text");
    } else {
      check(r.left == l.left && r.top == l.top && r.right - r.left == l.width && r.bottom - r.top == l.height,
            name + " at " + std::to_string(l.left) + "," + std::to_string(l.top) + " size " +
                std::to_string(l.width) + "x" + std::to_string(l.height) + " (it is " +
                std::to_string(r.left) + "," + std::to_string(r.top) + " size " +
                std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top) + ")");
    }
    LOGFONTW lf{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(c, WM_GETFONT, 0, 0)), sizeof lf, &lf);
    check(lf.lfHeight == -l.font.height && lf.lfWeight == (l.font.bold ? FW_BOLD : FW_NORMAL),
          name + " font: character height " + std::to_string(l.font.height) + (l.font.bold ? ", bold" : ""));
    face = narrow(lf.lfFaceName);
    const LONG s = styleOf(c);
    check(((s & WS_TABSTOP) != 0) == (l.tabOrder >= 0 && name.rfind("GroupBox", 0) != 0),
          name + (s & WS_TABSTOP ? " is a tab stop" : " is no tab stop"));
    if (name.rfind("CBox", 0) == 0) check((s & 3) == CBS_DROPDOWNLIST, name + " takes no typed text");
    if (name.rfind("GroupBox", 0) == 0) {
      check((s & BS_TYPEMASK) == BS_GROUPBOX, name + " is a group box");
      check(GetWindowLongW(c, GWL_EXSTYLE) & WS_EX_CONTROLPARENT, name + " lets Tab reach its lists");
    }
    if (name.rfind("Button", 0) == 0)
      check((s & BS_TYPEMASK) == BS_OWNERDRAW, name + " draws its own caption");
  }
  std::printf("dialog font face: %s\n", face.c_str());
  check(styleOf(op.control("ProgressBar1")) & PBS_SMOOTH, "the progress bar fills continuously");

  // Tab order: the device list, search, exit, then the lists group by group.
  const char* order[] = {"StringGrid1", "Button2",  "Button1", "CBoxCOM",    "CBoxSpeed",
                         "CBoxPar",     "CBoxStop", "CBoxNum", "StringGrid1"};
  bool inOrder = GetNextDlgTabItem(window, nullptr, FALSE) == op.control(order[0]);
  for (std::size_t i = 1; i < sizeof order / sizeof order[0]; ++i)
    inOrder = inOrder && GetNextDlgTabItem(window, op.control(order[i - 1]), FALSE) == op.control(order[i]);
  check(inOrder, "Tab goes StringGrid1, Button2, Button1, CBoxCOM, CBoxSpeed, CBoxPar, CBoxStop, CBoxNum");

  // Colours, as the window hands them to its labels and group boxes.
  for (const char* name : {"Label2", "Label4", "Label11", "GroupBox2"}) {
    HWND c = op.control(name);
    HDC dc = GetDC(c);
    SendMessageW(GetParent(c), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(c));
    const COLORREF ink = std::string(name) == "Label2" ? RGB(0, 0, 255) : GetSysColor(COLOR_WINDOWTEXT);
    check(GetTextColor(dc) == ink && GetBkColor(dc) == GetSysColor(COLOR_BTNFACE),
          std::string(name) + (ink == RGB(0, 0, 255) ? " in blue" : " in the window-text colour") +
              " on button face");
    ReleaseDC(c, dc);
  }

  // Texts and lists.
  for (const auto& [name, text] :
       std::vector<std::pair<const char*, std::string>>{{"Label2", dialog.Label2.text},
                                                        {"Label4", dialog.Label4.text},
                                                        {"Label8", dialog.Label8.text},
                                                        {"Label12", dialog.Label12.text},
                                                        {"GroupBox1", dialog.GroupBox1.caption},
                                                        {"GroupBox3", dialog.GroupBox3.caption},
                                                        {"Button1", dialog.Button1.caption},
                                                        {"Button2", dialog.Button2.caption}})
    check(textOf(op.control(name)) == shown(text), std::string(name) + " reads \"" + shown(text) + "\"");
}

std::vector<std::string> itemsOf(HWND combo) {
  std::vector<std::string> items;
  const auto count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (int i = 0; i < count; ++i) {
    wchar_t buffer[128] = {};
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
    items.push_back(narrow(buffer));
  }
  return items;
}

bool visible(HWND hwnd) {
  return (styleOf(hwnd) & WS_VISIBLE) != 0;
}

void checkMirror(duz::WindowOperator& op, duz::TForm2& dialog) {
  const std::vector<std::string> ports = itemsOf(op.control("CBoxCOM"));
  check(ports == std::vector<std::string>{"COM1", "COM10", "COM4"}, "ports sorted: COM1, COM10, COM4");
  check(SendMessageW(op.control("CBoxCOM"), CB_GETCURSEL, 0, 0) == 0, "the first port is selected");
  check(itemsOf(op.control("CBoxPar")) == std::vector<std::string>{"Нет", "Чет", "Нечет"}, "parity items");
  check(itemsOf(op.control("CBoxNum")).size() == 31, "31 search limits");
  check(SendMessageW(op.control("CBoxStop"), CB_GETCURSEL, 0, 0) == 1, "two stop bits preselected");
  check(SendMessageW(op.control("CBoxSpeed"), CB_GETCURSEL, 0, 0) == dialog.CBoxSpeed.itemIndex,
        "the chosen speed is selected");
  check(!visible(op.control("Label1")) && !visible(op.control("ProgressBar1")), "progress hidden");
  check(visible(op.control("Button1")) && IsWindowEnabled(op.control("Button1")), "exit button shown");

  // The search drives the dialog from outside and repaints it.
  dialog.Label4.text = duz::utf8ToCp1251("Найдено устройств: 2");
  dialog.Label1 = {duz::utf8ToCp1251("Выполнено: 41 %"), true};
  dialog.ProgressBar1.visible = true;
  dialog.ProgressBar1.max = 17;
  dialog.ProgressBar1.position = 7;
  dialog.CBoxCOM.add("COM2");
  for (duz::ComboBox* list :
       {&dialog.CBoxCOM, &dialog.CBoxSpeed, &dialog.CBoxPar, &dialog.CBoxStop, &dialog.CBoxNum})
    list->enabled = false;
  dialog.Button1.enabled = false;
  dialog.Button2.enabled = false;
  const RECT oneLine = placeIn(op.control("Label2"));
  dialog.Label2.text = duz::utf8ToCp1251("Текущая конфигурация: \nсоздана 8 декабря\nв 14:05");
  op.repaint(dialog);
  const RECT threeLines = placeIn(op.control("Label2"));
  check(threeLines.bottom - threeLines.top >= 3 * (oneLine.bottom - oneLine.top) - 2,
        "a headline with line breaks grows to as many lines");
  check(textOf(op.control("Label4")) == "Найдено устройств: 2" &&
            textOf(op.control("Label1")) == "Выполнено: 41 %",
        "repaint shows the new counts");
  HWND bar = op.control("ProgressBar1");
  check(visible(bar) && visible(op.control("Label1")), "repaint shows the progress");
  check(SendMessageW(bar, PBM_GETRANGE, FALSE, 0) == 17 && SendMessageW(bar, PBM_GETPOS, 0, 0) == 7,
        "the progress bar at 7 of 17");
  check(itemsOf(op.control("CBoxCOM")) == std::vector<std::string>{"COM1", "COM10", "COM2", "COM4"},
        "a port added to the list shows in its place");
  check(!IsWindowEnabled(op.control("CBoxNum")) && !IsWindowEnabled(op.control("Button2")),
        "disabled lists and buttons are disabled on screen");

  // Cell texts are drawn only while the grid's drawing is on.
  HWND grid = op.control("StringGrid1");
  const COLORREF background = GetSysColor(COLOR_CAPTIONTEXT);
  dialog.StringGrid1.defaultDrawing = false;
  op.repaint(dialog);
  Capture off = captureWindow(op.window());
  check(countColour(off, op.window(), grid, background, false) == 0,
        "device list with drawing off: background only, not even the header");
  dialog.StringGrid1.defaultDrawing = true;
  op.repaint(dialog);
  Capture on = captureWindow(op.window());
  const RECT unselectedModel{22, 2 * 16, 22 + 54, 3 * 16};  // row 2, model column; row 1 is selected
  check(countColour(on, op.window(), grid, background, false, &unselectedModel) > 0,
        "device list with drawing on: an unselected device's model is written, readable on the background");
  check(countColour(on, op.window(), grid, background) > 0, "the device list's background is caption-text");
  // Grid-line width 0: the fixed cells (header row, address column) keep their colour but get no raised
  // edges, whose light lines would show there.
  const COLORREF light = GetSysColor(COLOR_BTNHIGHLIGHT);
  const RECT header{0, 0, 22 + 54, 16}, addresses{0, 16, 22, 3 * 16};
  check(countColour(on, op.window(), grid, light, true, &header) == 0 &&
            countColour(on, op.window(), grid, light, true, &addresses) == 0 &&
            countColour(on, op.window(), grid, GetSysColor(COLOR_BTNFACE), true, &header) > 0,
        "fixed cells: button-face colour, no 3-D edges");
  check(countColour(on, op.window(), op.control("Label2"), RGB(0, 0, 255)) > 0, "Label2 shows in blue");
}

void checkPointer(duz::WindowOperator& op) {
  RECT r;
  GetWindowRect(op.window(), &r);
  SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  pump(50);
  op.setPointerHidden(true);
  check(GetCursor() == nullptr, "the pointer is hidden over the dialog");
  op.setPointerHidden(false);
  check(GetCursor() != nullptr, "the pointer is back");
}

// The state the start-up gives the dialog before a modal showing of a search result.
void prepareReview(duz::TForm2& dialog) {
  for (duz::ComboBox* list :
       {&dialog.CBoxCOM, &dialog.CBoxSpeed, &dialog.CBoxPar, &dialog.CBoxStop, &dialog.CBoxNum})
    list->enabled = true;
  dialog.Button2.enabled = true;
  dialog.Button1 = {dialog.Button1.caption, true, true};
  dialog.Label1.visible = false;
  dialog.ProgressBar1.visible = false;
}

}  // namespace

int main(int argc, char** argv) {
  const char* screenshotPath = argc > 1 ? argv[1] : "dialog.png";
  // A window of the host's, which modal showings and boxes must leave without input while they last.
  otherWindow = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPED | WS_VISIBLE, 0, 0, 160, 60, nullptr,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
  boxHook = SetWindowsHookExW(WH_CBT, &answerBoxes, nullptr, GetCurrentThreadId());
  if (!otherWindow || !boxHook) {
    std::printf("FAIL: no window can be made here\n");
    return 1;
  }

  std::vector<Handed> handed;
  std::vector<std::string> fallbackLines;
  duz::WindowOperator op(
      GetModuleHandleW(nullptr),
      duz::makeTextOperator(nullptr, [&](const std::string& line) { fallbackLines.push_back(line); }));
  ListedPorts ports;
  duz::TForm2 dialog(op, ports, [&](const char* s, const char* p, const char* l, const char* a) {
    handed.push_back({s, p, l, a});
  });

  checkMessageBoxes(op);

  // A search result under review: three devices, the exit button shown.
  duz::DeviceConfig devices[] = {device(2, "ЛУМА-12"), device(5, "ВЕКС-1"), device(9, "ОРТА")};
  // A controller with modules of types 1, 1, 2 and 3 fitted, so the description has something to show.
  const std::pair<int, std::uint8_t> fitted[] = {{0, 1}, {1, 1}, {4, 2}, {7, 3}};
  for (const auto& [slot, type] : fitted) devices[0].byte0(duz::cell::kSlotModule0 + slot) = type;
  std::memcpy(devices[0].text(duz::cell::kControllerVariant), "2110", 4);
  dialog.DeviceCount = 3;
  std::copy(std::begin(devices), std::end(devices), dialog.Devices.begin());
  dialog.Label2.text = duz::utf8ToCp1251("Инициализация устройств завершена");
  dialog.Label4.text = duz::utf8ToCp1251("Найдено устройств: 3");
  dialog.CBoxSpeed.itemIndex = 1;
  prepareReview(dialog);

  op.showModeless(dialog);
  check(op.window() && IsWindowVisible(op.window()), "the dialog is shown without a modal loop");
  if (!op.window()) return 1;
  checkLayout(op, dialog);

  const Capture screenshot = captureWindow(op.window());
  check(countColour(screenshot, op.window(), op.control("Button2"), RGB(0, 0, 255)) > 0 &&
            countColour(screenshot, op.window(), op.control("Button1"), RGB(0, 0, 255)) > 0,
        "the buttons' captions show in blue");
  check(writePng(screenshotPath, screenshot), std::string("screenshot written to ") + screenshotPath);

  checkMirror(op, dialog);
  checkPointer(op);
  HWND modeless = op.window();
  op.hide(dialog);
  check(!dialog.visible && !op.window() && !IsWindow(modeless), "hidden: the window is gone");

  // A modal showing: mouse and keyboard reach the handlers, the search button closes it.
  prepareReview(dialog);
  dialog.StringGrid1.selRow = 1;
  runModal(op, dialog,
           {[&] {
              check(!IsWindowEnabled(otherWindow), "modal: the host's window takes no input");
              check(GetFocus() == op.control("StringGrid1"), "modal: the device list has the focus");
              check(visible(op.control("Button1")) && IsWindowEnabled(op.control("CBoxNum")),
                    "modal: the re-enabled lists and the exit button show");
              postClick(op.control("StringGrid1"), 22 + 27, 2 * 16 + 8);  // row 2, the model column
            },
            [&] {
              check(dialog.StringGrid1.selCol == 1 && dialog.StringGrid1.selRow == 2,
                    "a click selects the device in row 2");
              check(dialog.StringGrid2.rowCount == 13, "... and describes it (a transducer: 13 rows)");
              PostMessageW(op.control("StringGrid1"), WM_KEYDOWN, VK_DOWN, 0);
            },
            [&] {
              check(dialog.StringGrid1.selRow == 3 && dialog.StringGrid2.rowCount == 9,
                    "the Down key selects and describes row 3 (a current-loop module: 9 rows)");
              postClick(op.control("StringGrid2"), 215 + 10, 3 * 16 + 8);  // row 3, the value column
            },
            [&] {
              check(GetFocus() == op.control("StringGrid2") && dialog.StringGrid2.selCol == 1 &&
                        dialog.StringGrid2.selRow == 3,
                    "a click selects one cell of the description");
              PostMessageW(op.control("StringGrid2"), WM_KEYDOWN, VK_DOWN, 0);
            },
            [&] {
              check(GetFocus() == op.control("StringGrid2") && dialog.StringGrid2.selCol == 1 &&
                        dialog.StringGrid2.selRow == 4,
                    "the Down key moves inside the description, which keeps the focus");
              SetFocus(op.control("CBoxPar"));
              check(dialog.StringGrid2.selCol == 2 && dialog.StringGrid2.selRow == 2,
                    "losing the focus puts the description's selection at (2,2)");
              PostMessageW(op.control("CBoxPar"), WM_KEYDOWN, VK_DOWN, 0);
            },
            [&] {
              check(dialog.CBoxPar.itemIndex == 1, "a parity chosen on screen reaches the dialog");
              boxAnswerId = IDOK;
              lastBox = BoxSeen{};
              postClickCentre(op.control("Button2"));
            }});
  check(lastBox.seen && lastBox.caption == "Инициализация устройств" &&
            lastBox.text.rfind("Внимание ! ", 0) == 0 && lastBox.buttons == std::vector<int>{IDOK} &&
            lastBox.icon == LoadIconA(nullptr, IDI_WARNING),
        "the search button warns in a box with the warning icon and OK");
  check(!dialog.visible && !op.window(), "the search button closes the dialog");
  check(handed.size() == 1 && handed.back().settings == "baud=19200 parity=E data=8 stop=2" &&
            handed.back().port == "COM1" && handed.back().limit == "1" && handed.back().action == "Replay",
        "the four texts handed over: baud=19200 parity=E data=8 stop=2, COM1, 1, Replay");
  check(IsWindowEnabled(otherWindow) != FALSE, "after the modal showing the host's window takes input again");

  // Closed otherwise (Alt+F4): the last button pressed decides the action word.
  prepareReview(dialog);
  runModal(op, dialog, {[&] { PostMessageW(op.window(), WM_CLOSE, 0, 0); }});
  check(handed.size() == 2 && handed.back().action == "Replay", "closed otherwise after a search: Replay");

  prepareReview(dialog);
  runModal(op, dialog, {[&] { postClickCentre(op.control("Button1")); }});
  check(handed.size() == 3 && handed.back().action == "Abort", "the exit button: Abort");

  // An application quitting ends the modal loop with a close, and still quits.
  prepareReview(dialog);
  runModal(op, dialog, {[&] { PostQuitMessage(7); }});
  MSG quit;
  check(handed.size() == 4 && handed.back().action == "Abort" && !op.window(),
        "a quit message closes the dialog, which hands its texts over");
  check(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) && quit.wParam == 7,
        "... and the quit message is passed on");

  // Keys and clicks queued while nothing took input (during a search) are dropped at the modal start,
  // not played back into the fresh window or the host's.
  hostKeys = 0;
  const auto hostProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(otherWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&countHostKeys)));
  originalHostProc = hostProc;
  PostMessageW(otherWindow, WM_KEYDOWN, VK_RETURN, 0);
  PostMessageW(otherWindow, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  prepareReview(dialog);
  runModal(op, dialog, {[&] { postClickCentre(op.control("Button1")); }});
  check(hostKeys == 0, "input queued before a modal showing is discarded at its start");
  SetWindowLongPtrW(otherWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(hostProc));

  check(fallbackLines.empty(), "nothing fell back to the text presentation");
  UnhookWindowsHookEx(boxHook);
  DestroyWindow(otherWindow);
  std::printf("%d failure(s)\n", failures);
  return failures ? 1 : 0;
}
