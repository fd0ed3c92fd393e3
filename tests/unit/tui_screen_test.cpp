// The terminal presentation's screen of cells: CP1251 texts in single cells, frames, wrapping.
#include <gmock/gmock.h>

#include "model/cp1251.h"
#include "ui/terminal/terminal_screen.h"

namespace duz::tui {
namespace {

using ::testing::ElementsAre;

std::string cp(const char* utf8) {
  return utf8ToCp1251(utf8);
}

TEST(TuiScreen, Cp1251TextTakesOneCellPerCharacterAndComesBackAsUtf8) {
  Screen s(20, 2);
  EXPECT_EQ(s.text(1, 0, cp("ЛУМА-12 №5 °C Ёё")), 16);
  EXPECT_EQ(s.at(1, 0).ch, U'Л');
  EXPECT_EQ(s.at(9, 0).ch, U'№');
  EXPECT_EQ(s.row(0), " ЛУМА-12 №5 °C Ёё");
  EXPECT_EQ(s.row(1), "");
}

TEST(TuiScreen, TextIsClippedToItsWidthAndToTheScreen) {
  Screen s(6, 1);
  EXPECT_EQ(s.text(0, 0, cp("Поиск устройств"), kBold, 5), 5);
  EXPECT_EQ(s.row(0), "Поиск");
  EXPECT_EQ(s.at(4, 0).attr, kBold);
  s.text(4, 0, "abcdef");
  EXPECT_EQ(s.row(0), "Поисab");
  s.put(-1, 0, U'x');
  s.put(6, 0, U'x');
  EXPECT_EQ(s.at(7, 3).ch, U' ');
}

TEST(TuiScreen, ControlCharactersShowAsBlanks) {
  Screen s(5, 1);
  s.text(0, 0, "a\nb\tc");
  EXPECT_EQ(s.row(0), "a b c");
}

TEST(TuiScreen, FrameCarriesItsCaptionInTheTopLine) {
  Screen s(20, 3);
  s.frame({0, 0, 20, 3}, kPlain, cp("Выбор"));
  EXPECT_EQ(s.row(0), "┌ Выбор ───────────┐");
  EXPECT_EQ(s.row(1), "│                  │");
  EXPECT_EQ(s.row(2), "└──────────────────┘");
  // A caption that only just fits goes without the blanks around it.
  Screen t(7, 2);
  t.frame({0, 0, 7, 2}, kPlain, cp("Выбор"));
  EXPECT_EQ(t.row(0), "┌Выбор┐");
}

TEST(TuiScreen, AttributesAddUpOverARectangle) {
  Screen s(4, 2);
  s.text(0, 0, "ab", kBold);
  s.addAttr({1, 0, 3, 2}, kDim);
  EXPECT_EQ(s.at(0, 0).attr, kBold);
  EXPECT_EQ(s.at(1, 0).attr, kBold | kDim);
  EXPECT_EQ(s.at(3, 1).attr, kDim);
}

TEST(TuiScreen, DumpEndsEveryRowWithALineFeed) {
  Screen s(3, 2);
  s.textUtf8(0, 1, "▼x");
  EXPECT_EQ(s.dump(), "\n▼x\n");
}

TEST(TuiWrap, BreaksAtLineFeedsThenBetweenWords) {
  EXPECT_THAT(wrapText(cp("Внимание ! \nСейчас будет произведена инициализация"), 20),
              ElementsAre(cp("Внимание !"), cp("Сейчас будет"), cp("произведена"), cp("инициализация")));
}

TEST(TuiWrap, KeepsLeadingBlanksAndEmptyLines) {
  EXPECT_THAT(wrapText("   a b\n\nc", 10), ElementsAre("   a b", "", "c"));
}

TEST(TuiWrap, CutsAWordLongerThanTheLine) {
  EXPECT_THAT(wrapText("abcdefgh ij", 3), ElementsAre("abc", "def", "gh", "ij"));
}

TEST(TuiWrap, EmptyTextIsOneEmptyLine) {
  EXPECT_THAT(wrapText("", 5), ElementsAre(""));
}

}  // namespace
}  // namespace duz::tui
