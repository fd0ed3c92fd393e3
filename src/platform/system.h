// The real platform parts of the running system (POSIX or Win32), each made by its own maker.
#pragma once

#include <memory>

#include "platform/operator.h"
#include "platform/platform.h"

namespace duz {

class TraceSink;

std::unique_ptr<Clock> makeSystemClock();
std::unique_ptr<SerialPorts> makeSystemSerialPorts();
// Chooses the presentation: scripted (DUZEVOD_OPERATOR), the platform's interactive one, or
// non-interactive.
std::unique_ptr<Operator> makeSystemOperator();
std::unique_ptr<Locale> makeSystemLocale();
std::unique_ptr<HostDirectory> makeSystemHostDirectory();
// The frame trace named by DUZEVOD_TRACE (a file, appended to); null when the variable is unset or empty,
// or when the file cannot be opened (said on stderr).
std::unique_ptr<TraceSink> makeSystemTraceSink();

}  // namespace duz
