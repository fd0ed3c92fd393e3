// The real platform parts of the running system (POSIX or Win32), each made by its own maker.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace duz {

std::unique_ptr<Clock> makeSystemClock();
std::unique_ptr<SerialPorts> makeSystemSerialPorts();
std::unique_ptr<Locale> makeSystemLocale();
std::unique_ptr<HostDirectory> makeSystemHostDirectory();
std::unique_ptr<Files> makeSystemFiles();
// The frame trace's file, named by DUZEVOD_TRACE and appended to; null when the variable is unset or
// empty, or when the file cannot be opened (said on stderr).
std::unique_ptr<AppendOnlyFile> openSystemTraceFile();

}  // namespace duz
