// The module's serial ports on POSIX: an exclusive open and the SerialPort operations on the line.
#include "platform/posix/posix_serial.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/posix/posix_platform.h"
#include "platform/system.h"

namespace duz {

namespace {

class PosixSerialPort : public SerialPort {
 public:
  explicit PosixSerialPort(int fd) : fd_(fd) {}
  ~PosixSerialPort() override {
    // The exclusive flag belongs to the terminal, not to this descriptor: a pseudo-terminal whose other
    // side stays open would refuse everyone after us.
    ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  bool configure(const std::string& settings) override {
    if (!posix::configureLine(fd_, settings)) return false;
    frame_.characterNs = posix::characterNs(fd_);
    posix::enableRs485(fd_);  // drivers without it switch direction themselves
    return true;
  }
  void setTimeouts(const CommTimeouts& timeouts) override { timeouts_ = timeouts; }
  int read(std::uint8_t* buffer, int count) override {
    int failure = 0;
    const int got = posix::readWithTimeouts(fd_, buffer, count, timeouts_, &failure, &frame_);
    noteFailure(failure);
    if (got > 0) lastTrafficNs_ = posix::monotonicNs();
    return got;
  }
  int write(const std::uint8_t* buffer, int count) override {
    int failure = 0;
    const int sent = posix::writeAll(fd_, buffer, count, &failure);
    noteFailure(failure);
    return sent;
  }
  void purgeBeforeWrite() override {
    // Bytes thrown away here came at some unknown moment, maybe just now: the line is not known quiet.
    int waiting = 0;
    if (ioctl(fd_, FIONREAD, &waiting) == 0 && waiting > 0) lastTrafficNs_ = posix::monotonicNs();
    tcflush(fd_, TCIOFLUSH);
    frame_.lastByteNs = 0;  // a new exchange: no reply flows yet
  }
  void purgeAfterWrite() override {
    // write() returns before the bytes are on the line: wait for them to leave, then drop what came back
    // meanwhile (the RS-485 echo), never the request itself.
    while (tcdrain(fd_) != 0 && errno == EINTR) {
    }
    tcflush(fd_, TCIFLUSH);
    frame_.lastByteNs = 0;
    lastTrafficNs_ = posix::monotonicNs();
  }
  std::string lostReason() const override { return lost_ ? posix::failureText(lost_) : std::string(); }
  std::int64_t quietNs() const override {
    return lastTrafficNs_ > 0 ? std::max<std::int64_t>(posix::monotonicNs() - lastTrafficNs_, 0) : 0;
  }

 private:
  void noteFailure(int failure) {
    if (!lost_ && failure != 0 && posix::lineGone(failure)) lost_ = failure;
  }

  int fd_;
  CommTimeouts timeouts_;
  posix::FrameTimeline frame_;      // the line's speed and the frame being read
  std::int64_t lastTrafficNs_ = 0;  // the last byte read, sent or thrown away (0: none seen)
  int lost_ = 0;                    // the failure that showed the line gone
};

class PosixSerialPorts : public SerialPorts {
 public:
  std::unique_ptr<SerialPort> open(const std::string& name) override {
    if (name.empty()) return nullptr;
    // Non-blocking: opening must not wait for a carrier, and reads wait in poll() under their time-outs.
    const int fd = ::open(posix::devicePath(name).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    // TIOCEXCL refuses later opens, but not a privileged process's; the lock refuses every other holder
    // that asks, this process's own second open included.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      return nullptr;
    }
    ioctl(fd, TIOCEXCL);
    return std::make_unique<PosixSerialPort>(fd);
  }

  std::vector<std::string> list() override {
    return posix::listSerialDevices("/sys/class/tty", std::getenv("DUZEVOD_PORTS"));
  }
};

// ttyS10 after ttyS2: the text before the number, then the number.
bool naturalLess(const std::string& a, const std::string& b) {
  const auto split = [](const std::string& s) {
    std::size_t i = s.size();
    while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1]))) --i;
    const std::string digits = s.substr(i);
    return std::make_pair(s.substr(0, i), digits.empty() ? -1L : std::strtol(digits.c_str(), nullptr, 10));
  };
  return split(a) < split(b);
}

bool startsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

}  // namespace

namespace posix {

std::string devicePath(const std::string& name) {
  return name.find('/') == std::string::npos ? "/dev/" + name : name;
}

std::vector<std::string> listSerialDevices(const std::string& sysClassTty, const char* extraPorts) {
  namespace fs = std::filesystem;
  std::vector<std::string> found;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(sysClassTty, ec)) {
    const std::string name = entry.path().filename().string();
    const bool uart = startsWith(name, "ttyS") || startsWith(name, "ttyAMA") || startsWith(name, "ttymxc");
    const bool usb = startsWith(name, "ttyUSB") || startsWith(name, "ttyACM");
    if (!uart && !usb) continue;
    if (!fs::exists(entry.path() / "device", ec)) continue;  // no hardware behind it
    if (uart) {
      // Serial-core ports all exist; the unused ones report UART type 0 (unknown).
      std::ifstream typeFile(entry.path() / "type");
      int type = 0;
      if (!(typeFile >> type) || type == 0) continue;
    }
    found.push_back("/dev/" + name);
  }
  std::sort(found.begin(), found.end(), naturalLess);

  const std::string extra = extraPorts ? extraPorts : "";
  std::size_t from = 0;
  while (from <= extra.size()) {
    std::size_t to = extra.find(':', from);
    if (to == std::string::npos) to = extra.size();
    const std::string port = extra.substr(from, to - from);
    if (!port.empty() && std::find(found.begin(), found.end(), port) == found.end()) found.push_back(port);
    from = to + 1;
  }
  return found;
}

}  // namespace posix

std::unique_ptr<SerialPorts> makeSystemSerialPorts() {
  return std::make_unique<PosixSerialPorts>();
}

}  // namespace duz
