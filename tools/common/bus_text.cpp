#include "bus_text.h"

#include <cstdio>
#include <fstream>

namespace duz::tools {

BusText& BusText::add(const std::string& line) {
  text_ += line;
  text_ += '\n';
  return *this;
}

BusText& BusText::comment(std::string_view text) {
  std::string line = "# ";
  line += text;
  return add(line);
}

BusText& BusText::device(int address, std::string_view model) {
  std::string line = "device " + std::to_string(address) + " ";
  line += model;
  return add(line);
}

bool BusText::write(const std::string& path) const {
  std::ofstream out(path, std::ios::binary);
  out << text_;
  out.close();
  return !out.fail();
}

std::string hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string quoted(std::string_view channelText) {
  std::string out = "\"";
  out += channelText;
  out += '"';
  return out;
}

}  // namespace duz::tools
