// Texts of the system are kept as Windows code page 1251 bytes (the model-name cell is 8 bytes and
// "ЛУМА-12" must fit in 7). Sources stay UTF-8; literals are converted at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace duz {

// Code page 1251 byte for a Unicode code point, or 0 when the page has none.
constexpr unsigned char cp1251FromCodePoint(char32_t c) {
  if (c < 0x80) return static_cast<unsigned char>(c);
  if (c >= 0x410 && c <= 0x44F) return static_cast<unsigned char>(0xC0 + (c - 0x410));
  switch (c) {
    case 0x401:
      return 0xA8;  // Ё
    case 0x451:
      return 0xB8;  // ё
    case 0x2116:
      return 0xB9;  // №
    case 0xB0:
      return 0xB0;  // °
    case 0xAB:
      return 0xAB;  // «
    case 0xBB:
      return 0xBB;  // »
    case 0xA0:
      return 0xA0;  // no-break space
    case 0x2013:
      return 0x96;  // en dash
    case 0x2014:
      return 0x97;  // em dash
    default:
      return 0;
  }
}

// Unicode code point of a code page 1251 byte (the Cyrillic and sign subset above).
constexpr char32_t codePointFromCp1251(unsigned char b) {
  if (b < 0x80) return b;
  if (b >= 0xC0) return 0x410 + (b - 0xC0);
  switch (b) {
    case 0xA8:
      return 0x401;
    case 0xB8:
      return 0x451;
    case 0xB9:
      return 0x2116;
    case 0xB0:
      return 0xB0;
    case 0xAB:
      return 0xAB;
    case 0xBB:
      return 0xBB;
    case 0xA0:
      return 0xA0;
    case 0x96:
      return 0x2013;
    case 0x97:
      return 0x2014;
    default:
      return U'?';
  }
}

// Fixed-capacity CP1251 text produced from a UTF-8 literal at compile time. Always NUL-terminated.
template <std::size_t N>
struct Cp1251Text {
  std::array<char, N> bytes{};
  std::size_t length = 0;
  constexpr const char* c_str() const { return bytes.data(); }
  constexpr std::string_view view() const { return {bytes.data(), length}; }
  operator std::string_view() const { return view(); }
};

template <std::size_t N>
consteval Cp1251Text<N> cp1251(const char (&utf8)[N]) {
  Cp1251Text<N> out{};
  std::size_t i = 0;
  while (i + 1 < N && utf8[i] != '\0') {
    const auto b0 = static_cast<unsigned char>(utf8[i]);
    char32_t cp = 0;
    int extra = 0;
    if (b0 < 0x80) {
      cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      cp = b0 & 0x1F;
      extra = 1;
    } else if ((b0 & 0xF0) == 0xE0) {
      cp = b0 & 0x0F;
      extra = 2;
    } else {
      throw "literal holds a character outside code page 1251";
    }
    for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += 1 + extra;
    const unsigned char c = cp1251FromCodePoint(cp);
    if (c == 0 && cp != 0) throw "literal holds a character outside code page 1251";
    out.bytes[out.length++] = static_cast<char>(c);
  }
  out.bytes[out.length] = '\0';
  return out;
}

// Run-time conversions for terminals, JSON lines and operator scripts.
std::string cp1251ToUtf8(std::string_view cp1251Bytes);
std::string utf8ToCp1251(std::string_view utf8);

}  // namespace duz
