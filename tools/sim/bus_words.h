// The word rules of the bus description file, also used by the configuration tool's text format.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace duz::sim {

// Splits a line into words: blanks separate, "double quotes" keep blanks (with \" \\ \0 inside),
// # outside quotes starts a comment. False with `error` set when a quote is left open.
bool splitWords(const std::string& line, std::vector<std::string>& words, std::string& error);

// Decimal (optionally negative) or 0x hexadecimal, within [min, max]; nullopt otherwise.
std::optional<long long> parseNumber(const std::string& text, long long min, long long max);

}  // namespace duz::sim
