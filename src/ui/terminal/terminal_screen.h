// A screen of character cells for the terminal presentation: what is drawn is built here, without
// curses, so that it can be checked in unit tests; the curses part only copies the cells to the terminal.
// Texts come in as code page 1251 bytes; every CP1251 character takes exactly one cell.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace duz::tui {

// Cell attributes, combined as bits.
enum Attr : std::uint8_t {
  kPlain = 0,
  kBold = 1,
  kBlue = 2,
  kDim = 4,
  kReverse = 8,
  kUnderline = 16,
};

struct Cell {
  char32_t ch = U' ';
  std::uint8_t attr = kPlain;
  bool operator==(const Cell&) const = default;
};

struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
  bool contains(int px, int py) const { return px >= x && py >= y && px < x + w && py < y + h; }
};

class Screen {
 public:
  Screen(int width, int height);

  int width() const { return width_; }
  int height() const { return height_; }

  void clear();
  // Writes outside the screen are dropped; reads outside it see a blank cell.
  void put(int x, int y, char32_t ch, std::uint8_t attr = kPlain);
  const Cell& at(int x, int y) const;
  // Adds attributes to the cells of a rectangle (e.g. dims a disabled control).
  void addAttr(const Rect& r, std::uint8_t attr);

  // CP1251 text from (x, y), one cell per byte, at most maxWidth cells (all when negative); returns the
  // number of cells written. Control characters are shown as blanks.
  int text(int x, int y, std::string_view cp1251, std::uint8_t attr = kPlain, int maxWidth = -1);
  // Unicode text (UTF-8 literal), one cell per character.
  int textUtf8(int x, int y, std::string_view utf8, std::uint8_t attr = kPlain, int maxWidth = -1);
  void fill(const Rect& r, char32_t ch = U' ', std::uint8_t attr = kPlain);
  // A single-line frame on the rectangle's border; a caption (CP1251) sits in its top line.
  void frame(const Rect& r, std::uint8_t attr = kPlain, std::string_view captionCp1251 = {},
             std::uint8_t captionAttr = kPlain);

  // One row as UTF-8, trailing blanks removed.
  std::string row(int y) const;
  // All rows as UTF-8, each ending in a line feed.
  std::string dump() const;

 private:
  int width_;
  int height_;
  std::vector<Cell> cells_;
};

// Splits CP1251 text into lines of at most `width` characters: at its own line feeds first, then by words
// (a word longer than a line is cut). Blanks at a wrap are dropped; a line's own leading blanks stay.
std::vector<std::string> wrapText(std::string_view cp1251, int width);

}  // namespace duz::tui
