// The POSIX locale names and host directory, on the real system.
#include <gtest/gtest.h>
#include <locale.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "fakes/fakes.h"
#include "model/cp1251.h"
#include "platform/system.h"

#if defined(DUZ_ASAN) && __has_include(<sanitizer/lsan_interface.h>)
#include <sanitizer/lsan_interface.h>
#define DUZ_LSAN 1
#endif

namespace duz::test {
namespace {

namespace fs = std::filesystem;

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string lowerCp1251(std::string text) {
  for (char& c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0xC0 && b <= 0xDF) c = static_cast<char>(b + 0x20);
    if (b == 0xA8) c = static_cast<char>(0xB8);
    if (b >= 'A' && b <= 'Z') c = static_cast<char>(b + 0x20);
  }
  return text;
}

bool localeExists(const char* name) {
  locale_t l = newlocale(LC_TIME_MASK, name, nullptr);
  if (l) freelocale(l);
  return l != nullptr;
}

TEST(PosixLocale, EnglishNamesFromTheCLocaleAndWhereTheLocaleIsMissing) {
  for (const char* name : {"C", "C.UTF-8", "xx_NOWHERE.UTF-8"}) {
    SCOPED_TRACE(name);
    ScopedEnv all("LC_ALL", name);
    auto locale = makeSystemLocale();
    EXPECT_EQ(locale->monthName(1), "January");
    EXPECT_EQ(locale->monthName(12), "December");
    EXPECT_EQ(locale->weekdayName(0), "Sunday");
    EXPECT_EQ(locale->weekdayName(6), "Saturday");
    EXPECT_EQ(locale->monthName(0), "");
    EXPECT_EQ(locale->weekdayName(7), "");
  }
}

TEST(PosixLocale, RussianNamesAreNominativeAndInCodePage1251) {
  // Use the system's Russian locale, or compile one into a private folder when the tools are there.
  TempHostDirectory folder;
  std::optional<ScopedEnv> locpath;
#ifdef DUZ_LSAN
  std::optional<__lsan::ScopedDisabler> lsanOff;
#endif
  if (!localeExists("ru_RU.UTF-8")) {
    const std::string command =
        "localedef -i ru_RU -f UTF-8 '" + folder.path() + "ru_RU.UTF-8' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "no ru_RU.UTF-8 locale and no localedef";
    locpath.emplace("LOCPATH", folder.path().c_str());
#ifdef DUZ_LSAN
    // glibc's newlocale keeps the LOCPATH search list it builds; that is not ours to free.
    lsanOff.emplace();
#endif
    if (!localeExists("ru_RU.UTF-8")) GTEST_SKIP() << "ru_RU.UTF-8 could not be made";
  }
  ScopedEnv all("LC_ALL", nullptr);
  ScopedEnv time("LC_TIME", "ru_RU.UTF-8");
  auto locale = makeSystemLocale();
  // The stand-alone forms: декабрь, май (the genitive would be декабря, мая).
  EXPECT_EQ(lowerCp1251(locale->monthName(12)), utf8ToCp1251("декабрь"));
  EXPECT_EQ(lowerCp1251(locale->monthName(5)), utf8ToCp1251("май"));
  EXPECT_EQ(lowerCp1251(locale->weekdayName(1)), utf8ToCp1251("понедельник"));
  EXPECT_EQ(lowerCp1251(locale->weekdayName(0)), utf8ToCp1251("воскресенье"));
}

TEST(PosixLocale, NowIsACalendarTime) {
  const LocalTime t = makeSystemLocale()->now();
  EXPECT_GE(t.year, 2024);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12);
  EXPECT_TRUE(t.day >= 1 && t.day <= 31);
  EXPECT_TRUE(t.weekday >= 0 && t.weekday <= 6);
  EXPECT_TRUE(t.hour >= 0 && t.hour <= 23);
  EXPECT_TRUE(t.minute >= 0 && t.minute <= 59);
}

TEST(PosixHostDirectory, ExecutableDirectoryUnlessOverridden) {
  {
    ScopedEnv dir("DUZEVOD_DIR", nullptr);
    const std::string exeDir = fs::read_symlink("/proc/self/exe").parent_path().string() + "/";
    EXPECT_EQ(makeSystemHostDirectory()->path(), exeDir);
  }
  {
    ScopedEnv dir("DUZEVOD_DIR", "/srv/plant");
    EXPECT_EQ(makeSystemHostDirectory()->path(), "/srv/plant/");
  }
  {
    ScopedEnv dir("DUZEVOD_DIR", "/srv/plant/");
    EXPECT_EQ(makeSystemHostDirectory()->path(), "/srv/plant/");
  }
}

TEST(PosixHostDirectory, ReplaceFileSwapsInOneStepOrLeavesTheTargetAlone) {
  TempHostDirectory folder;
  auto directory = makeSystemHostDirectory();
  const std::string from = folder.path() + "new", to = folder.path() + "old";
  std::ofstream(from) << "new";
  std::ofstream(to) << "old";
  ASSERT_TRUE(directory->replaceFile(from, to));
  EXPECT_FALSE(fs::exists(from));
  std::string content;
  std::ifstream(to) >> content;
  EXPECT_EQ(content, "new");

  EXPECT_FALSE(directory->replaceFile(folder.path() + "missing", to));
  std::ifstream(to) >> content;
  EXPECT_EQ(content, "new");
}

}  // namespace
}  // namespace duz::test
