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

}  // namespace duz::win32
