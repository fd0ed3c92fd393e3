// The module's serial ports on Windows: communications API on a synchronous, exclusively opened handle.
#include "platform/win32/win32_serial.h"

#include <string>
#include <vector>

#include "platform/system.h"

#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif

namespace duz {

namespace {

// COM1..COM9 open by their bare names; COM10 and above (and any longer name) only in the device
// namespace.
std::string deviceName(const std::string& name) {
  if (name.size() <= 4 || name.rfind("\\\\.\\", 0) == 0) return name;
  return "\\\\.\\" + name;
}

class Win32SerialPort : public SerialPort {
 public:
  Win32SerialPort(HANDLE handle, const win32::CommCalls& calls) : handle_(handle), calls_(calls) {}
  ~Win32SerialPort() override { CloseHandle(handle_); }
  Win32SerialPort(const Win32SerialPort&) = delete;
  Win32SerialPort& operator=(const Win32SerialPort&) = delete;

  bool configure(const std::string& settings) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // A text the parser rejects is not reported by itself: the block goes on as it then stands.
    BuildCommDCBA(settings.c_str(), &dcb);
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;  // RTS up while bytes wait to be sent (RS-485 direction)
    return SetCommState(handle_, &dcb) != 0;
  }

  void setTimeouts(const CommTimeouts& timeouts) override {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = timeouts.readInterval;
    t.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
    t.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
    SetCommTimeouts(handle_, &t);
    SetCommMask(handle_, EV_TXEMPTY);
  }

  int read(std::uint8_t* buffer, int count) override {
    DWORD got = 0;
    if (!calls_.readFile(handle_, buffer, static_cast<DWORD>(count), &got, nullptr)) return failed();
    if (got > 0) lastTraffic_ = now();
    return static_cast<int>(got);
  }

  int write(const std::uint8_t* buffer, int count) override {
    DWORD sent = 0;
    if (!calls_.writeFile(handle_, buffer, static_cast<DWORD>(count), &sent, nullptr)) return failed();
    return static_cast<int>(sent);
  }

  std::string lostReason() const override {
    return lost_ ? "system error " + std::to_string(lost_) : std::string();
  }

  // Both driver buffers emptied; transfers in progress are not aborted. Bytes thrown away came at an
  // unknown moment, maybe just now: the line is not known quiet.
  void purgeBeforeWrite() override {
    DWORD errors = 0;
    COMSTAT status{};
    if (calls_.clearCommError(handle_, &errors, &status) && status.cbInQue > 0) lastTraffic_ = now();
    PurgeComm(handle_, PURGE_TXCLEAR | PURGE_RXCLEAR);
  }
  // A finished WriteFile does not mean the bytes are on the line (USB adapters, Wine): clearing the
  // transmit buffer now would cut the request. Let it leave, then drop what came back meanwhile.
  void purgeAfterWrite() override {
    FlushFileBuffers(handle_);
    PurgeComm(handle_, PURGE_RXCLEAR);
    lastTraffic_ = now();
  }
  std::int64_t quietNs() const override {
    if (lastTraffic_ == 0) return 0;
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    const std::int64_t ticks = now() - lastTraffic_;
    return ticks > 0 ? static_cast<std::int64_t>(static_cast<long double>(ticks) * 1e9L / frequency.QuadPart)
                     : 0;
  }

 private:
  int failed() {
    const DWORD error = GetLastError();
    if (lost_) return -1;
    if (error == ERROR_OPERATION_ABORTED) {
      // A driver told to abort on line errors (its own settings, kept when SetCommState failed) fails
      // the transfer after a framing or parity error, and every later one until the error is cleared:
      // a bad reply, not a lost port. A device that is gone cannot even be asked for its errors.
      DWORD errors = 0;
      COMSTAT status{};
      if (!calls_.clearCommError(handle_, &errors, &status)) {
        const DWORD clearError = GetLastError();
        if (win32::portGoneError(clearError)) lost_ = clearError;
      }
      return -1;
    }
    if (win32::portGoneError(error)) lost_ = error;
    return -1;
  }

  static std::int64_t now() {
    LARGE_INTEGER t{};
    QueryPerformanceCounter(&t);
    return t.QuadPart;
  }

  HANDLE handle_;
  const win32::CommCalls calls_;
  DWORD lost_ = 0;                // the error that showed the port gone
  std::int64_t lastTraffic_ = 0;  // performance counter at the last byte read, sent or thrown away
};

// Whether a listed port is an RS-232 line: opened for query only, its properties read.
bool isRs232(const std::string& name) {
  const HANDLE h =
      CreateFileA(deviceName(name).c_str(), 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  COMMPROP properties{};
  const BOOL read = GetCommProperties(h, &properties);
  CloseHandle(h);
  return read && properties.dwProvSubType == PST_RS232;
}

class Win32SerialPorts : public SerialPorts {
 public:
  std::unique_ptr<SerialPort> open(const std::string& name) override {
    if (name.empty()) return nullptr;
    const HANDLE h = CreateFileA(deviceName(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return win32::serialPortOnHandle(h);
  }

  std::vector<std::string> list() override {
    std::vector<std::string> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
      return ports;
    for (DWORD index = 0;; ++index) {
      char valueName[256];
      DWORD valueNameLength = sizeof valueName;
      BYTE data[256];
      DWORD dataLength = sizeof data - 1;
      DWORD type = 0;
      const LONG r =
          RegEnumValueA(key, index, valueName, &valueNameLength, nullptr, &type, data, &dataLength);
      if (r == ERROR_NO_MORE_ITEMS) break;
      if (r != ERROR_SUCCESS || type != REG_SZ) continue;  // a value too long for us is no port name
      data[dataLength] = 0;
      const std::string port(reinterpret_cast<const char*>(data));
      if (!port.empty() && isRs232(port)) ports.push_back(port);
    }
    RegCloseKey(key);
    return ports;
  }
};

}  // namespace

namespace win32 {

bool portGoneError(DWORD error) {
  switch (error) {
    case ERROR_INVALID_FUNCTION:  // the driver no longer serves the device (a stale or wrong one)
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_BAD_UNIT:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_SUCH_DEVICE:
    case ERROR_IO_DEVICE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

std::unique_ptr<SerialPort> serialPortOnHandle(HANDLE handle, const CommCalls& calls) {
  return std::make_unique<Win32SerialPort>(handle, calls);
}

}  // namespace win32

std::unique_ptr<SerialPorts> makeSystemSerialPorts() {
  return std::make_unique<Win32SerialPorts>();
}

}  // namespace duz
