// The line itself: settings text to termios, direction control, reads under time-outs, writes.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <sstream>
#include <system_error>

#include "platform/posix/posix_platform.h"
#include "platform/posix/posix_serial.h"

namespace duz::posix {

namespace {

struct Speed {
  unsigned baud;
  speed_t code;
};
constexpr Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> speedCode(unsigned baud) {
  for (const Speed& s : kSpeeds)
    if (s.baud == baud) return s.code;
  return std::nullopt;
}

std::optional<int> wholeNumber(const std::string& text) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

LineSettings parseLineSettings(const std::string& text) {
  LineSettings out;
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    const auto eq = word.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = lower(word.substr(0, eq));
    const std::string value = lower(word.substr(eq + 1));
    if (key == "baud") {
      const auto n = wholeNumber(value);
      if (n && *n > 0 && speedCode(static_cast<unsigned>(*n))) out.baud = static_cast<unsigned>(*n);
    } else if (key == "parity") {
      if (value.size() == 1 && std::string_view("neoms").find(value[0]) != std::string_view::npos)
        out.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(value[0])));
    } else if (key == "data") {
      const auto n = wholeNumber(value);
      if (n && *n >= 5 && *n <= 8) out.dataBits = *n;
    } else if (key == "stop") {
      const auto n = wholeNumber(value);
      if (n && (*n == 1 || *n == 2)) out.stopBits = *n;
    }
  }
  return out;
}

bool configureLine(int fd, const std::string& settings) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  const LineSettings wanted = parseLineSettings(settings);
  const tcflag_t keptFrame = t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  cfmakeraw(&t);
  // cfmakeraw forces 8 bits without parity; what the text does not give stays as the line had it.
  t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)) | keptFrame;
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (wanted.baud) {
    const speed_t code = *speedCode(*wanted.baud);
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
  }
  if (wanted.parity) {
    t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (*wanted.parity) {
      case 'E':
        t.c_cflag |= PARENB;
        break;
      case 'O':
        t.c_cflag |= PARENB | PARODD;
        break;
      case 'M':
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
      case 'S':
        t.c_cflag |= PARENB | CMSPAR;
        break;
      default:
        break;
    }
  }
  if (wanted.dataBits) {
    constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag = (t.c_cflag & ~CSIZE) | sizes[*wanted.dataBits - 5];
  }
  if (wanted.stopBits) t.c_cflag = *wanted.stopBits == 2 ? (t.c_cflag | CSTOPB) : (t.c_cflag & ~CSTOPB);
  // The return code says too little: tcsetattr succeeds when any part was taken, and fails on a
  // pseudo-terminal that has quietly dropped a parity bit it cannot carry (on the next set-up of the
  // same line). What took effect decides: the speed and raw reading. (The frame bits are not compared:
  // pseudo-terminals, a legitimate virtual line, always report 8 bits without parity.)
  tcsetattr(fd, TCSANOW, &t);
  termios now{};
  if (tcgetattr(fd, &now) != 0) return false;
  constexpr tcflag_t kRawLocal = ICANON | ECHO | ISIG | IEXTEN;
  return cfgetospeed(&now) == cfgetospeed(&t) && cfgetispeed(&now) == cfgetispeed(&t) &&
         (now.c_lflag & kRawLocal) == 0 && (now.c_cflag & CREAD) && now.c_cc[VMIN] == 0 &&
         now.c_cc[VTIME] == 0;
}

bool enableRs485(int fd) {
  serial_rs485 rs{};
  if (ioctl(fd, TIOCGRS485, &rs) != 0) return false;
  rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  rs.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
  return ioctl(fd, TIOCSRS485, &rs) == 0;
}

std::int64_t characterNs(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return 0;
  const speed_t code = cfgetospeed(&t);
  unsigned baud = 0;
  for (const Speed& s : kSpeeds)
    if (s.code == code) baud = s.baud;
  if (baud == 0) return 0;
  int dataBits = 8;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      dataBits = 5;
      break;
    case CS6:
      dataBits = 6;
      break;
    case CS7:
      dataBits = 7;
      break;
    default:
      break;
  }
  const int bits = 1 + dataBits + ((t.c_cflag & PARENB) ? 1 : 0) + ((t.c_cflag & CSTOPB) ? 2 : 1);
  return std::int64_t{bits} * 1'000'000'000 / baud;
}

bool lineGone(int failure) {
  switch (failure) {
    case kHangUp:
    case EIO:
    case ENXIO:
    case ENODEV:
    case EBADF:
    case EPIPE:
      return true;
    default:
      return false;
  }
}

std::string failureText(int failure) {
  return failure == kHangUp ? std::string("hang-up") : std::generic_category().message(failure);
}

namespace {

// How long a read sleeps without looking at the line. A byte found after such a sleep came at some
// moment within it, which the line's speed bounds from below (a line carries no byte faster); that
// bound is exact when the line kept its pace up to a stop, the way a UART sends. Two lengths:
// - while it is not known that the line keeps its pace (a byte seen come after a wait, a line slower
//   than its speed), a few milliseconds: a wrong bound then costs no more than that;
// - once a look has found the line at its pace, up to 95 ms: shorter than the 100 ms the read allows
//   between two bytes, so no byte after a longer pause is ever taken unseen.
constexpr std::int64_t kProbeNs = 5'000'000;
constexpr std::int64_t kPacedNs = 95'000'000;
// A sleep that should end with the read's last byte lasts this much longer, so that the byte is
// normally there when the read looks, and no wait of its own is needed.
constexpr std::int64_t kLastByteMarginNs = 50'000;

bool waitReadable(int fd, std::int64_t deadline, int* failure, bool* hangUp) {
  timespec t{};
  timespec* limit = nullptr;
  if (deadline >= 0) {
    const std::int64_t left = std::max<std::int64_t>(deadline - monotonicNs(), 0);
    t.tv_sec = static_cast<time_t>(left / 1'000'000'000);
    t.tv_nsec = static_cast<long>(left % 1'000'000'000);
    limit = &t;
  }
  pollfd p{fd, POLLIN, 0};
  const int ready = ::ppoll(&p, 1, limit, nullptr);
  if (ready < 0 && errno != EINTR) {
    *failure = errno;
    return false;
  }
  *hangUp = ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
  return true;
}

}  // namespace

int readWithTimeouts(int fd, std::uint8_t* buffer, int count, const CommTimeouts& timeouts, int* failure,
                     FrameTimeline* frame) {
  const auto failed = [failure](int why) {
    if (failure) *failure = why;
  };
  FrameTimeline none;
  FrameTimeline& f = frame ? *frame : none;
  const std::int64_t c = f.characterNs;
  if (count <= 0) return 0;
  constexpr std::uint32_t kForever = 0xFFFFFFFFu;
  // Interval "forever" with no totals: return at once with what is there (the Win32 rule).
  const bool immediate = timeouts.readInterval == kForever && timeouts.readTotalConstant == 0 &&
                         timeouts.readTotalMultiplier == 0;
  const bool byInterval = timeouts.readInterval > 0 && timeouts.readInterval != kForever;
  const std::int64_t intervalNs = std::int64_t{timeouts.readInterval} * 1'000'000;
  const std::int64_t totalMs =
      std::int64_t{timeouts.readTotalConstant} + std::int64_t{timeouts.readTotalMultiplier} * count;
  const std::int64_t start = monotonicNs();
  const std::int64_t totalDeadline = totalMs > 0 ? start + totalMs * 1'000'000 : -1;
  // The interval is counted from the arrival of this read's last byte, once it has one.
  std::int64_t intervalDeadline = -1;

  // `anchor`: when the last byte taken arrived, as far as it is known; `flowing`: bytes have just
  // come, so more follow at the line's speed and may be slept through; `paced`: the last look found
  // the line at its pace. A read right after one that took a byte (a reply's body after its header)
  // goes on from what that one knew.
  std::int64_t anchor = 0;
  bool flowing = c > 0 && f.lastByteNs > 0 && start - f.lastByteNs < 2 * c + 1'000'000;
  bool paced = flowing && f.paced;
  if (flowing) anchor = f.lastByteNs;
  bool woken = false;         // the look below follows a wait that ended as bytes came
  std::int64_t expected = 0;  // bytes the line's pace brings by the end of the sleep before the look
  int got = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer + got, static_cast<std::size_t>(count - got));
    const std::int64_t now = monotonicNs();
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      failed(errno);
      return got > 0 ? got : -1;
    }
    const bool slept = expected > 0;
    if (n > 0) {
      got += static_cast<int>(n);
      // Seen as they came after a wait, the bytes arrived now; found after a sleep (or at the start of
      // a read that goes on from the one before), no earlier than the line's pace allows.
      anchor = !woken && flowing ? std::min(now, anchor + n * c) : now;
      if (woken || slept) paced = !woken && n >= expected - 1;  // within one character of the pace
      flowing = c > 0;
      f.lastByteNs = anchor;
      f.paced = paced;
      if (byInterval) intervalDeadline = anchor + intervalNs;
    } else if (slept || woken) {
      flowing = false;  // the line stopped within the sleep, or the wake-up was not for a byte
    }
    woken = false;
    expected = 0;
    if (got == count || immediate) break;

    std::int64_t deadline = totalDeadline;
    if (intervalDeadline >= 0 && (deadline < 0 || intervalDeadline < deadline)) deadline = intervalDeadline;
    if (deadline >= 0 && now >= deadline) break;

    // Sleep while the line's pace brings the missing bytes, as far as a sleep may go unseen.
    if (flowing) {
      const int missing = count - got;
      const std::int64_t window = paced ? kPacedNs : kProbeNs;
      const std::int64_t byPace = std::min<std::int64_t>(missing, (anchor + window - now) / c);
      if (byPace > 0) {
        std::int64_t wake = anchor + byPace * c + (byPace == missing ? kLastByteMarginNs : 0);
        if (deadline >= 0) wake = std::min(wake, deadline);
        expected = std::max<std::int64_t>((wake - anchor) / c, 0);
        if (wake > now) sleepPrecisely(wake - now);
        if (expected == 0) expected = 1;  // a look after a sleep, whatever it finds
        continue;
      }
      flowing = false;
    }
    // The line is not known to be flowing: wait for its next byte and note when it comes.
    bool hangUp = false;
    int why = 0;
    if (!waitReadable(fd, deadline, &why, &hangUp)) {
      failed(why);
      return got > 0 ? got : -1;
    }
    // A line that has gone (adapter pulled, far end of a pseudo-terminal closed) reports a hang-up
    // and would wake every poll at once: take what is still there, and fail the read if nothing was.
    if (hangUp) {
      const ssize_t last = ::read(fd, buffer + got, static_cast<std::size_t>(count - got));
      if (last > 0) got += static_cast<int>(last);
      failed(last < 0 && errno != EAGAIN && errno != EINTR ? errno : kHangUp);
      return got > 0 ? got : -1;
    }
    woken = true;
  }
  return got;
}

int writeAll(int fd, const std::uint8_t* buffer, int count, int* failure) {
  const auto failed = [failure](int why) {
    if (failure) *failure = why;
  };
  int sent = 0;
  while (sent < count) {
    const ssize_t n = ::write(fd, buffer + sent, static_cast<std::size_t>(count - sent));
    if (n > 0) {
      sent += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, -1) < 0 && errno != EINTR) {
        failed(errno);
        break;
      }
      if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
        failed(kHangUp);
        break;
      }
      continue;
    }
    if (n < 0) failed(errno);
    break;
  }
  return sent > 0 || count == 0 ? sent : -1;
}

}  // namespace duz::posix
