// Local time and the locale's month and weekday names on POSIX, as code page 1251.
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <array>
#include <string>

#include "platform/system.h"

namespace duz {

namespace {

// Converts a name from the locale's code set to CP1251; false when it cannot be written there.
bool toCp1251(const char* codeset, const char* text, std::string& out) {
  iconv_t cd = iconv_open("CP1251", codeset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string input(text);
  std::string output(input.size() * 4 + 4, '\0');
  char* in = input.data();
  std::size_t inLeft = input.size();
  char* o = output.data();
  std::size_t outLeft = output.size();
  const bool ok = iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<std::size_t>(-1) && inLeft == 0;
  iconv_close(cd);
  if (!ok) return false;
  output.resize(output.size() - outLeft);
  out = output;
  return true;
}

class PosixLocale : public Locale {
 public:
  PosixLocale() {
    // The C locale's English names stand in for whatever the user's locale cannot give.
    locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    // The names the user's time locale (LC_ALL, LC_TIME or LANG) gives, in that locale's code set.
#ifdef __GLIBC__
    locale_t user = newlocale(LC_TIME_MASK, "", nullptr);
    const char* codeset = user ? nl_langinfo_l(_NL_TIME_CODESET, user) : "";
#else
    locale_t user = newlocale(LC_ALL_MASK, "", nullptr);
    const char* codeset = user ? nl_langinfo_l(CODESET, user) : "";
#endif
    for (int m = 0; m < 12; ++m) months_[m] = name(user, c, codeset, monthItem(m));
    for (int d = 0; d < 7; ++d) days_[d] = name(user, c, codeset, static_cast<nl_item>(DAY_1 + d));
    if (user) freelocale(user);
    if (c) freelocale(c);
  }

  LocalTime now() override {
    const time_t t = time(nullptr);
    struct tm tm {};
    if (!localtime_r(&t, &tm)) return {};
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_wday, tm.tm_hour, tm.tm_min};
  }
  std::string monthName(int month) override {
    return month >= 1 && month <= 12 ? months_[month - 1] : "";
  }
  std::string weekdayName(int weekday) override {
    return weekday >= 0 && weekday <= 6 ? days_[weekday] : "";
  }

 private:
  // The nominative stand-alone month name: MON_n is already genitive in Russian locales.
  static nl_item monthItem(int m) {
#ifdef ALTMON_1
    return static_cast<nl_item>(ALTMON_1 + m);
#else
    return static_cast<nl_item>(MON_1 + m);
#endif
  }

  static std::string name(locale_t user, locale_t c, const char* codeset, nl_item item) {
    std::string out;
    if (user) {
      const char* text = nl_langinfo_l(item, user);
      if (text && *text && toCp1251(codeset, text, out)) return out;
    }
    const char* fallback = c ? nl_langinfo_l(item, c) : "";
    return fallback ? fallback : "";
  }

  std::array<std::string, 12> months_;
  std::array<std::string, 7> days_;
};

}  // namespace

std::unique_ptr<Locale> makeSystemLocale() {
  return std::make_unique<PosixLocale>();
}

}  // namespace duz
