// Plays the operator, from a process of its own, for a module that another process is loading: waits for
// the initialisation dialog, checks the window and closes it, then cancels the port boxes that follow
// (a first run without ports). Proves that the module makes its windows and runs its modal loop inside
// the library's load, on the loader's thread.
// Usage: dialog_answerer.exe BOXES SECONDS — ends with 0 once the dialog and BOXES boxes were answered.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace {

std::string narrow(const wchar_t* w) {
  char buffer[512] = {};
  WideCharToMultiByte(CP_UTF8, 0, w, -1, buffer, sizeof buffer, nullptr, nullptr);
  return buffer;
}

std::string textOf(HWND hwnd) {
  wchar_t buffer[256] = {};
  GetWindowTextW(hwnd, buffer, 256);
  return narrow(buffer);
}

struct Seen {
  int dialogs = 0;
  int boxes = 0;
  int failures = 0;
  std::set<HWND> answered;  // an answered window may still be there at the next look
};

BOOL CALLBACK answer(HWND window, LPARAM state) {
  Seen& seen = *reinterpret_cast<Seen*>(state);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == GetCurrentProcessId() || !IsWindowVisible(window) || !IsWindowEnabled(window) ||
      seen.answered.count(window))
    return TRUE;
  wchar_t cls[64] = {};
  GetClassNameW(window, cls, 64);
  const std::string caption = textOf(window);
  if (caption == "Инициализация подключенных устройств") {
    RECT client;
    GetClientRect(window, &client);
    const bool size = client.right == 627 && client.bottom == 315;
    const bool noSystemMenu = !(GetWindowLongW(window, GWL_STYLE) & WS_SYSMENU);
    std::printf("%s: the module's dialog appeared during the load (627 x 315, no system menu)\n",
                size && noSystemMenu ? "ok" : "FAIL");
    if (!(size && noSystemMenu)) ++seen.failures;
    ++seen.dialogs;
    seen.answered.insert(window);
    // The first run offers no exit button; a close hands "Abort" over, as any other close would.
    PostMessageW(window, WM_CLOSE, 0, 0);
  } else if (lstrcmpW(cls, L"#32770") == 0) {
    std::printf("ok: box \"%s\" answered\n", caption.c_str());
    ++seen.boxes;
    seen.answered.insert(window);
    const int button = GetDlgItem(window, IDCANCEL) ? IDCANCEL : IDOK;
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, button)));
  }
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  const int boxes = argc > 1 ? std::atoi(argv[1]) : 0;
  const DWORD seconds = argc > 2 ? static_cast<DWORD>(std::atoi(argv[2])) : 30;
  Seen seen;
  const DWORD end = GetTickCount() + seconds * 1000;
  while (GetTickCount() < end && (seen.dialogs == 0 || seen.boxes < boxes)) {
    EnumWindows(&answer, reinterpret_cast<LPARAM>(&seen));
    Sleep(100);
  }
  const bool ok = seen.dialogs > 0 && seen.boxes >= boxes && seen.failures == 0;
  if (!ok) std::printf("FAIL: saw %d dialog(s) and %d box(es)\n", seen.dialogs, seen.boxes);
  return ok ? 0 : 1;
}
