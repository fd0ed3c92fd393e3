// Serial ports on Windows: what the module's SerialPorts is built from, open for tests under Wine.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "platform/platform.h"

namespace duz::win32 {

// Whether the last error of a failed ReadFile/WriteFile says that the port itself is gone (the USB
// adapter pulled, the driver's device removed, the handle dead) rather than that one call went wrong.
bool portGoneError(DWORD error);

// A SerialPort on an open communications handle, which it closes at the end.
std::unique_ptr<SerialPort> serialPortOnHandle(HANDLE handle);

}  // namespace duz::win32
