#include "bus_words.h"

#include <cctype>
#include <charconv>

namespace duz::sim {

bool splitWords(const std::string& line, std::vector<std::string>& words, std::string& error) {
  words.clear();
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '#') {
      break;
    } else if (c == '"') {
      std::string word;
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char d = line[i++];
        if (d == '"') {
          closed = true;
          break;
        }
        if (d == '\\' && i < line.size()) {
          d = line[i++];
          if (d == '0') d = '\0';
        }
        word += d;
      }
      if (!closed) {
        error = "a quoted text is not closed";
        return false;
      }
      words.push_back(word);
    } else {
      const std::size_t start = i;
      while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])) && line[i] != '#') ++i;
      words.push_back(line.substr(start, i - start));
    }
  }
  return true;
}

std::optional<long long> parseNumber(const std::string& text, long long min, long long max) {
  const char* first = text.data();
  const char* last = first + text.size();
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    first += 2;
    base = 16;
  }
  long long value = 0;
  const auto [end, ec] = std::from_chars(first, last, value, base);
  if (ec != std::errc() || end != last || first == last || value < min || value > max) return std::nullopt;
  return value;
}

}  // namespace duz::sim
