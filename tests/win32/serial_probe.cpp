// Checks, where Windows (or Wine) runs it, which failures of a serial handle count as the port being
// gone: the errors a removed or vanished device gives do, time-outs and half-done transfers do not,
// and a port whose handle refuses a transfer that way says so afterwards. A transfer aborted after a line
// error is a bad reply: the error is cleared and the port goes on.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/win32/win32_serial.h"

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
  if (!ok) ++failures;
}

// A driver with abort-on-error set: after a line error it aborts every transfer until ClearCommError.
// Removed, it aborts them too, and refuses ClearCommError as a vanished device does.
struct AbortingDriver {
  static inline bool lineError = false;
  static inline bool removed = false;
  static inline int clears = 0;

  static BOOL aborted() {
    if (!lineError && !removed) return TRUE;
    SetLastError(ERROR_OPERATION_ABORTED);
    return FALSE;
  }
  static BOOL WINAPI read(HANDLE, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED) {
    *got = 0;
    if (!aborted()) return FALSE;
    std::memset(buffer, 0x5A, count);
    *got = count;
    return TRUE;
  }
  static BOOL WINAPI write(HANDLE, LPCVOID, DWORD count, LPDWORD sent, LPOVERLAPPED) {
    *sent = 0;
    if (!aborted()) return FALSE;
    *sent = count;
    return TRUE;
  }
  static BOOL WINAPI clear(HANDLE, LPDWORD errors, LPCOMSTAT status) {
    ++clears;
    if (removed) {
      SetLastError(1617);  // device removed
      return FALSE;
    }
    *errors = lineError ? CE_FRAME : 0;
    if (status) *status = COMSTAT{};
    lineError = false;
    return TRUE;
  }
};

// A line error on a driver that aborts on it costs the one transfer; a removed device is a lost port.
void abortedTransfers(const char* path) {
  duz::win32::CommCalls calls;
  calls.readFile = AbortingDriver::read;
  calls.writeFile = AbortingDriver::write;
  calls.clearCommError = AbortingDriver::clear;
  const auto open = [&] {
    return duz::win32::serialPortOnHandle(
        CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr), calls);
  };
  std::uint8_t bytes[3] = {};

  auto noisy = open();
  AbortingDriver::lineError = true;
  check(noisy->read(bytes, 3) == -1, "a read aborted by a line error fails");
  check(noisy->lostReason().empty(), "a line error is not a lost port: " + noisy->lostReason());
  check(AbortingDriver::clears == 1 && !AbortingDriver::lineError, "the line error is cleared");
  check(noisy->read(bytes, 3) == 3, "the next read works");
  AbortingDriver::lineError = true;
  check(noisy->write(bytes, 3) == -1 && noisy->lostReason().empty(), "an aborted write is not a lost port");
  check(noisy->write(bytes, 3) == 3, "the next write works");
  noisy.reset();

  auto removed = open();
  AbortingDriver::removed = true;
  check(removed->read(bytes, 3) == -1, "a read aborted by a removed device fails");
  check(removed->lostReason() == "system error 1617",
        "a removed device is a lost port: " + removed->lostReason());
  AbortingDriver::removed = false;
}

}  // namespace

int main() {
  using duz::win32::portGoneError;
  const DWORD goneErrors[] = {ERROR_BAD_COMMAND,    1617 /* device removed */, ERROR_ACCESS_DENIED,
                              ERROR_INVALID_HANDLE, ERROR_FILE_NOT_FOUND,      ERROR_GEN_FAILURE,
                              ERROR_NOT_READY,      ERROR_DEVICE_NOT_CONNECTED};
  for (DWORD gone : goneErrors)
    check(portGoneError(gone), "error " + std::to_string(gone) + " means the port is gone");
  const DWORD keptErrors[] = {ERROR_SUCCESS,          ERROR_SEM_TIMEOUT, ERROR_TIMEOUT,
                              ERROR_IO_PENDING,       ERROR_MORE_DATA,   ERROR_COUNTER_TIMEOUT,
                              ERROR_OPERATION_ABORTED};
  for (DWORD kept : keptErrors)
    check(!portGoneError(kept), "error " + std::to_string(kept) + " leaves the port in place");

  // A handle open for reading only refuses every write with "access denied", as a vanished COM
  // device's handle does; reading from it works.
  char folder[MAX_PATH] = {}, path[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, folder);
  GetTempFileNameA(folder, "duz", 0, path);
  const HANDLE file =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(file, "\x01\x02\x03", 3, &written, nullptr);
  CloseHandle(file);

  auto healthy = duz::win32::serialPortOnHandle(
      CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::uint8_t bytes[3] = {};
  check(healthy->read(bytes, 3) == 3 && healthy->lostReason().empty(), "a port that reads is not lost");
  healthy.reset();

  auto refusing = duz::win32::serialPortOnHandle(
      CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  check(refusing->write(bytes, 3) == -1, "a refused write fails");
  check(refusing->lostReason() == "system error 5", "the port says it is gone: " + refusing->lostReason());
  refusing.reset();
  abortedTransfers(path);
  DeleteFileA(path);

  std::printf("%d failure(s)\n", failures);
  return failures ? 1 : 0;
}
