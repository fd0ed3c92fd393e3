// Checks, where Windows (or Wine) runs it, which failures of a serial handle count as the port being
// gone: the errors a removed or vanished device gives do, time-outs and half-done transfers do not,
// and a port whose handle refuses a transfer that way says so afterwards.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/win32/win32_serial.h"

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
  if (!ok) ++failures;
}

}  // namespace

int main() {
  using duz::win32::portGoneError;
  const DWORD goneErrors[] = {ERROR_BAD_COMMAND,   1617 /* device removed */, ERROR_OPERATION_ABORTED,
                              ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE,      ERROR_FILE_NOT_FOUND,
                              ERROR_GEN_FAILURE,   ERROR_NOT_READY,           ERROR_DEVICE_NOT_CONNECTED};
  for (DWORD gone : goneErrors)
    check(portGoneError(gone), "error " + std::to_string(gone) + " means the port is gone");
  const DWORD keptErrors[] = {ERROR_SUCCESS,    ERROR_SEM_TIMEOUT, ERROR_TIMEOUT,
                              ERROR_IO_PENDING, ERROR_MORE_DATA,   ERROR_COUNTER_TIMEOUT};
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
  DeleteFileA(path);

  std::printf("%d failure(s)\n", failures);
  return failures ? 1 : 0;
}
