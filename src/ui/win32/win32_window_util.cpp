#include "ui/win32/win32_window_util.h"

#include <cstdio>

namespace duz::win32 {

std::wstring widen(std::string_view cp1251) {
  if (cp1251.empty()) return {};
  const int size = static_cast<int>(cp1251.size());
  const int length = MultiByteToWideChar(1251, 0, cp1251.data(), size, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(1251, 0, cp1251.data(), size, out.data(), length);
  return out;
}

std::wstring classNameFor(const wchar_t* base, const void* procedure) {
  wchar_t suffix[32];
  std::swprintf(suffix, sizeof suffix / sizeof suffix[0], L".%p", procedure);
  return std::wstring(base) + suffix;
}

}  // namespace duz::win32
