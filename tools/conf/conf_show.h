// A configuration in words: devices with every model-specific field, port settings and description.
#pragma once

#include <string>

#include "startup/config_file.h"

namespace duz::conf {

// UTF-8 lines describing the contents (texts of the system converted from code page 1251).
std::string describeConfig(const ConfigContents& contents);

}  // namespace duz::conf
