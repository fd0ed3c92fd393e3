// The configuration tool's text format: a configuration written by hand (commissioning without a
// search), read into the contents of a configuration file.
#pragma once

#include <istream>
#include <string>

#include "startup/config_file.h"

namespace duz::conf {

struct ConfigText {
  ConfigContents contents;
  bool descriptionGiven = false;  // otherwise the caller writes the creation time, as the module does
};

// Reads a whole text description. On failure returns false with "NAME:LINE: message" in `error`.
bool parseConfigText(std::istream& in, const std::string& name, ConfigText& out, std::string& error);

// The format, with an example, for --help and the documentation.
extern const char* const kTextFormat;

}  // namespace duz::conf
