// Serial ports on Windows: what the module's SerialPorts is built from, open for tests under Wine.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "platform/platform.h"

namespace duz::win32 {

// Whether the last error of a failed ReadFile/WriteFile says that the port itself is gone (the USB
// adapter pulled, the driver's device removed, the handle dead) rather than that one call went wrong.
// An aborted transfer is neither by itself: the port then asks the driver for its line errors.
bool portGoneError(DWORD error);

// The communications calls a port makes on its handle after the open: the system's, or a test's that
// play a driver's answers.
struct CommCalls {
  BOOL(WINAPI* readFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) = ReadFile;
  BOOL(WINAPI* writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = WriteFile;
  BOOL(WINAPI* clearCommError)(HANDLE, LPDWORD, LPCOMSTAT) = ClearCommError;
};

// A SerialPort on an open communications handle, which it closes at the end.
std::unique_ptr<SerialPort> serialPortOnHandle(HANDLE handle, const CommCalls& calls = CommCalls{});

}  // namespace duz::win32
