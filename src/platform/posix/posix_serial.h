// Serial lines on POSIX: the settings text as termios, the exclusive open, reads with the Win32 read
// time-out rules, and the list of this machine's serial devices. Used by the module's SerialPorts and by
// the bus simulator, which serves a real line with the same settings.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace duz::posix {

// What a settings text such as "baud=19200 parity=E data=8 stop=1" asks for. Keywords and letters are
// read without regard to case; a keyword that is missing or does not parse stays unset, and the line
// keeps what it had for it.
struct LineSettings {
  std::optional<unsigned> baud;  // one of the speeds termios knows
  std::optional<char> parity;    // 'N', 'E', 'O', 'M' (mark) or 'S' (space)
  std::optional<int> dataBits;   // 5..8
  std::optional<int> stopBits;   // 1 or 2
};
LineSettings parseLineSettings(const std::string& text);

// Raw 8-bit line with the receiver on and modem lines ignored, reads that never block, and what the
// text gives. False when the driver refused the settings or did not take them.
bool configureLine(int fd, const std::string& settings);

// Lets the driver raise RTS while bytes are being sent (RS-485 direction control). False when the driver
// has no such mode (USB adapters switching in hardware, pseudo-terminals); callers go on regardless.
bool enableRs485(int fd);

// Why a call on the line failed, for `failure` below: the call's errno, or kHangUp when the descriptor
// reported a hang-up or an error. Left as it was while nothing fails.
constexpr int kHangUp = -1;

// Waits for up to `count` bytes under COMMTIMEOUTS rules: the read ends when all have come, when the
// total time (constant + multiplier x count) has passed, or `interval` ms after the arrival of the last
// byte once one has arrived. Returns the bytes read, or -1 when the line failed before any byte came.
// With a `frame` (may be null) a reply that flows is slept through at the line's speed rather than
// woken for byte by byte, in sleeps short enough that neither what the read returns nor when it ends
// changes by more than a few milliseconds.
struct FrameTimeline {
  std::int64_t characterNs = 0;  // one character on the line (0: unknown, and no sleeping by it)
  // When the last byte a read took arrived (monotonic; 0: none, or none since the line was purged),
  // kept up to date by the read. A read that starts right after it continues the same reply.
  std::int64_t lastByteNs = 0;
  bool paced = false;  // the last look at the line found it keeping its pace
};
int readWithTimeouts(int fd, std::uint8_t* buffer, int count, const CommTimeouts& timeouts,
                     int* failure = nullptr, FrameTimeline* frame = nullptr);
// Time of one character on the line as it is set: start bit, data bits, parity bit, stop bits
// (0 when the line's speed is unknown).
std::int64_t characterNs(int fd);

// Writes all `count` bytes, waiting while the driver's buffer is full. Bytes written, or -1 when the
// line failed before any byte went out.
int writeAll(int fd, const std::uint8_t* buffer, int count, int* failure = nullptr);

// Whether a failure says that the line itself is gone (device removed, far end closed, descriptor
// dead), rather than that one call went wrong; and that in words.
bool lineGone(int failure);
std::string failureText(int failure);

// Device path of a port name: a name without a slash is a device in /dev ("ttyUSB0").
std::string devicePath(const std::string& name);

// Serial devices found below `sysClassTty` (normally /sys/class/tty) as /dev paths in natural order
// (ttyS2 before ttyS10): ttyS*, ttyAMA*, ttymxc* with a UART behind them, ttyUSB*, ttyACM*. Then the
// names in `extraPorts` (colon-separated, may be null), which is how a virtual line is offered.
std::vector<std::string> listSerialDevices(const std::string& sysClassTty, const char* extraPorts);

}  // namespace duz::posix
