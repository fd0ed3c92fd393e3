// Small helpers shared by the dialog's windows.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace duz::win32 {

// The system's texts are code page 1251 whatever the machine's ANSI code page is; the windows take them as
// UTF-16, so that they read right on a Windows set up for any language.
std::wstring widen(std::string_view cp1251);

// A window class name of this copy of the module. It carries the address of the class's window procedure:
// a class left behind by an earlier copy (registered while one of its windows still existed) never
// captures this copy's windows.
std::wstring classNameFor(const wchar_t* base, const void* procedure);

// The window procedure of a class whose windows each belong to one C++ object: the object handed to
// CreateWindowEx is kept with its window and gets the window's messages until it is destroyed. Owner has
// attach(HWND), told the window at its creation and null at its end, and onMessage.
template <typename Owner>
LRESULT CALLBACK ownedWindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* created = static_cast<Owner*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    created->attach(hwnd);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(created));
  }
  auto* owner = reinterpret_cast<Owner*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!owner) return DefWindowProcW(hwnd, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    owner->attach(nullptr);
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }
  return owner->onMessage(message, wParam, lParam);
}

}  // namespace duz::win32
