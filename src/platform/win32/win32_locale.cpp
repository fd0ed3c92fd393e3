// Local time and the user's month and weekday names on Windows. The ANSI functions give the names in
// the ANSI code page, which is 1251 on Russian Windows.
#include <windows.h>

#include <string>

#include "platform/system.h"

namespace duz {

namespace {

class Win32Locale : public Locale {
 public:
  LocalTime now() override {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return {st.wYear, st.wMonth, st.wDay, st.wDayOfWeek, st.wHour, st.wMinute};
  }
  // The long month names are nominative ("декабрь").
  std::string monthName(int month) override {
    if (month < 1 || month > 12) return {};
    return info(static_cast<LCTYPE>(LOCALE_SMONTHNAME1 + (month - 1)));
  }
  // Windows counts the long weekday names from Monday (LOCALE_SDAYNAME1); ours start on Sunday.
  std::string weekdayName(int weekday) override {
    if (weekday < 0 || weekday > 6) return {};
    return info(static_cast<LCTYPE>(LOCALE_SDAYNAME1 + (weekday + 6) % 7));
  }

 private:
  static std::string info(LCTYPE type) {
    char buffer[128];
    const int n = GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n - 1)) : std::string();
  }
};

}  // namespace

std::unique_ptr<Locale> makeSystemLocale() {
  return std::make_unique<Win32Locale>();
}

}  // namespace duz
