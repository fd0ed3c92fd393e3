// The running system's operator, made by the platform's presentation (ui/terminal, ui/win32).
#pragma once

#include <memory>

#include "ui/operator.h"

namespace duz {

// Chooses the presentation: scripted (DUZEVOD_OPERATOR), the platform's interactive one, or
// non-interactive.
std::unique_ptr<Operator> makeSystemOperator();

}  // namespace duz
