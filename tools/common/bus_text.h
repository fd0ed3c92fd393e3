// Writing a bus file for the simulator: devices and their settings, one a line, in the words the
// simulator reads (tools/sim/sample.bus shows them all).
#pragma once

#include <concepts>
#include <string>
#include <string_view>

namespace duz::tools {

class BusText {
 public:
  BusText& comment(std::string_view text);               // "# text"
  BusText& device(int address, std::string_view model);  // "device 3 VEKS-1"
  // A setting of the device above: its words, indented ("  range 4").
  template <typename... Words>
  BusText& set(const Words&... words) {
    std::string line = " ";
    ((line += ' ', line += word(words)), ...);
    return add(line);
  }

  const std::string& text() const { return text_; }
  bool write(const std::string& path) const;  // false when the file cannot be written whole

 private:
  static std::string word(std::string_view w) { return std::string(w); }
  static std::string word(std::integral auto v) { return std::to_string(v); }
  BusText& add(const std::string& line);

  std::string text_;
};

std::string hex(unsigned value, int digits);       // 0x0A, upper-case digits
std::string fixed(double value, int decimals);     // 12.50
std::string quoted(std::string_view channelText);  // a controller channel's text, between quotes

}  // namespace duz::tools
