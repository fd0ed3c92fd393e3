#include "ui/terminal/terminal_screen.h"

#include <algorithm>

#include "model/cp1251.h"

namespace duz::tui {

namespace {

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The next code point of a UTF-8 text; malformed bytes come out as '?'.
char32_t nextUtf8(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i++]);
  int extra = 0;
  char32_t cp = b0;
  if (b0 >= 0xF0) {
    cp = b0 & 0x07;
    extra = 3;
  } else if (b0 >= 0xE0) {
    cp = b0 & 0x0F;
    extra = 2;
  } else if (b0 >= 0xC0) {
    cp = b0 & 0x1F;
    extra = 1;
  } else if (b0 >= 0x80) {
    return U'?';
  }
  for (int k = 0; k < extra; ++k) {
    if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return U'?';
    cp = (cp << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
  }
  return cp;
}

}  // namespace

Screen::Screen(int width, int height)
    : width_(std::max(width, 0)), height_(std::max(height, 0)), cells_(width_ * height_) {}

void Screen::clear() {
  std::fill(cells_.begin(), cells_.end(), Cell{});
}

void Screen::put(int x, int y, char32_t ch, std::uint8_t attr) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  cells_[y * width_ + x] = Cell{ch, attr};
}

const Cell& Screen::at(int x, int y) const {
  static const Cell blank{};
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return blank;
  return cells_[y * width_ + x];
}

void Screen::addAttr(const Rect& r, std::uint8_t attr) {
  for (int y = std::max(r.y, 0); y < std::min(r.y + r.h, height_); ++y)
    for (int x = std::max(r.x, 0); x < std::min(r.x + r.w, width_); ++x) cells_[y * width_ + x].attr |= attr;
}

int Screen::text(int x, int y, std::string_view cp1251, std::uint8_t attr, int maxWidth) {
  int n = 0;
  for (char c : cp1251) {
    if (maxWidth >= 0 && n >= maxWidth) break;
    const auto b = static_cast<unsigned char>(c);
    put(x + n, y, b < 0x20 || b == 0x7F ? U' ' : codePointFromCp1251(b), attr);
    ++n;
  }
  return n;
}

int Screen::textUtf8(int x, int y, std::string_view utf8, std::uint8_t attr, int maxWidth) {
  int n = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    if (maxWidth >= 0 && n >= maxWidth) break;
    put(x + n, y, nextUtf8(utf8, i), attr);
    ++n;
  }
  return n;
}

void Screen::fill(const Rect& r, char32_t ch, std::uint8_t attr) {
  for (int y = r.y; y < r.y + r.h; ++y)
    for (int x = r.x; x < r.x + r.w; ++x) put(x, y, ch, attr);
}

void Screen::frame(const Rect& r, std::uint8_t attr, std::string_view caption, std::uint8_t captionAttr) {
  if (r.w < 2 || r.h < 2) return;
  const int right = r.x + r.w - 1;
  const int bottom = r.y + r.h - 1;
  for (int x = r.x + 1; x < right; ++x) {
    put(x, r.y, U'─', attr);
    put(x, bottom, U'─', attr);
  }
  for (int y = r.y + 1; y < bottom; ++y) {
    put(r.x, y, U'│', attr);
    put(right, y, U'│', attr);
  }
  put(r.x, r.y, U'┌', attr);
  put(right, r.y, U'┐', attr);
  put(r.x, bottom, U'└', attr);
  put(right, bottom, U'┘', attr);
  if (caption.empty()) return;
  const int room = r.w - 2;
  if (static_cast<int>(caption.size()) + 2 <= room) {
    // With a blank either side when there is room for them.
    put(r.x + 1, r.y, U' ', captionAttr);
    const int n = text(r.x + 2, r.y, caption, captionAttr);
    put(r.x + 2 + n, r.y, U' ', captionAttr);
  } else {
    text(r.x + 1, r.y, caption, captionAttr, room);
  }
}

std::string Screen::row(int y) const {
  std::string out;
  int end = width_;
  while (end > 0 && at(end - 1, y).ch == U' ') --end;
  for (int x = 0; x < end; ++x) appendUtf8(out, at(x, y).ch);
  return out;
}

std::string Screen::dump() const {
  std::string out;
  for (int y = 0; y < height_; ++y) out += row(y) + "\n";
  return out;
}

std::vector<std::string> wrapText(std::string_view text, int width) {
  std::vector<std::string> lines;
  width = std::max(width, 1);
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string_view rest = text.substr(start, end - start);
    if (!rest.empty() && rest.back() == '\r') rest.remove_suffix(1);
    bool first = true;
    do {
      if (!first) {
        // Blanks at a wrap are dropped.
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
      }
      first = false;
      if (static_cast<int>(rest.size()) <= width) {
        std::string line(rest);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        lines.push_back(line);
        rest = {};
        break;
      }
      // The last blank within the line; a word longer than the line is cut.
      std::size_t cut = rest.substr(0, width + 1).rfind(' ');
      if (cut == std::string_view::npos ||
          rest.substr(0, cut).find_first_not_of(' ') == std::string_view::npos)
        cut = width;
      std::string line(rest.substr(0, cut));
      while (!line.empty() && line.back() == ' ') line.pop_back();
      lines.push_back(line);
      rest.remove_prefix(cut);
    } while (!rest.empty() && rest.find_first_not_of(' ') != std::string_view::npos);
    if (end >= text.size()) break;
    start = end + 1;
  }
  return lines;
}

}  // namespace duz::tui
