// Decimal texts of the instruments' values, converted without regard to the process's locale: the host
// may run with a decimal comma, and the values must not change with it.
#include <charconv>
#include <cmath>
#include <limits>

#include "poll/read_procedures.h"

namespace duz {

std::optional<float> ParseDecimal(std::string_view text) {
  // A leading plus is a sign too, though from_chars alone refuses it.
  if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  if (!std::isfinite(value) || std::fabs(value) > std::numeric_limits<float>::max()) return std::nullopt;
  return static_cast<float>(value);
}

float RoundThroughText(float value, int decimals) {
  char text[64];
  const auto written =
      std::to_chars(text, text + sizeof text, static_cast<double>(value), std::chars_format::fixed, decimals);
  if (written.ec != std::errc()) return value;
  return ParseDecimal(std::string_view(text, written.ptr - text)).value_or(value);
}

}  // namespace duz
