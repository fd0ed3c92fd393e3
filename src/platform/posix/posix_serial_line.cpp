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

int readWithTimeouts(int fd, std::uint8_t* buffer, int count, const CommTimeouts& timeouts, int* failure,
                     FrameTimeline* frame) {
  const auto failed = [failure](int why) {
    if (failure) *failure = why;
  };
  FrameTimeline none;
  FrameTimeline& f = frame ? *frame : none;
  const std::int64_t characterNs = f.characterNs;
  if (count <= 0) return 0;
  constexpr std::uint32_t kForever = 0xFFFFFFFFu;
  // Interval "forever" with no totals: return at once with what is there (the Win32 rule).
  const bool immediate = timeouts.readInterval == kForever && timeouts.readTotalConstant == 0 &&
                         timeouts.readTotalMultiplier == 0;
  const std::int64_t totalMs =
      std::int64_t{timeouts.readTotalConstant} + std::int64_t{timeouts.readTotalMultiplier} * count;
  const std::int64_t start = monotonicNs();
  const std::int64_t totalDeadline = totalMs > 0 ? start + totalMs * 1'000'000 : -1;
  std::int64_t intervalDeadline = -1;

  // Bytes have just come: the rest of the frame follows at the line's speed. So it does when the
  // previous read took a byte a moment ago (a frame's body read right after its header).
  bool flowing = characterNs > 0 && f.lastByteNs > 0 &&
                 (f.continuing || start - f.lastByteNs < 2 * characterNs + 1'000'000);
  // When the last byte taken arrived. Bytes of a flowing frame come one character apart, so the guess
  // follows the line's own timeline rather than the moments our reads returned: those are late by each
  // wake-up's delay, which would otherwise add up over the sleeps of one frame.
  std::int64_t arrived = flowing ? f.lastByteNs : 0;
  bool onTimeline = flowing;
  // The sleep before left the last byte to a wait of its own, which takes it the moment it comes (so
  // did the read before, when it slept through the rest of an expected frame).
  bool lastByItself = f.continuing;
  // The last read returned fewer bytes than asked: the driver had no more, so reading again at once
  // would only cost a system call.
  bool drained = false;
  int got = 0;
  while (got < count) {
    if (!drained) {
      const int wanted = count - got;
      const ssize_t n = ::read(fd, buffer + got, static_cast<std::size_t>(wanted));
      if (n > 0) {
        got += static_cast<int>(n);
        flowing = true;
        drained = n < wanted;
        const std::int64_t now = monotonicNs();
        arrived = onTimeline ? std::min(now, arrived + n * characterNs) : now;
        onTimeline = characterNs > 0;
        f.lastByteNs = arrived;
        if (timeouts.readInterval > 0 && timeouts.readInterval != kForever)
          intervalDeadline = now + std::int64_t{timeouts.readInterval} * 1'000'000;
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        failed(errno);
        return got > 0 ? got : -1;
      }
    }
    drained = false;
    if (immediate) break;

    std::int64_t deadline = totalDeadline;
    if (intervalDeadline >= 0 && (deadline < 0 || intervalDeadline < deadline)) deadline = intervalDeadline;
    int waitMs = -1;
    if (deadline >= 0) {
      const std::int64_t left = deadline - monotonicNs();
      if (left <= 0) break;
      waitMs = static_cast<int>((left + 999'999) / 1'000'000);
    }
    // Waking for every byte of a long reply costs the host a few hundred wake-ups an exchange: sleep
    // while the missing bytes arrive, and of more than two leave the last one to the wait below. Never
    // past the deadline: a line that stops is noticed at most one interval after the read before.
    // A line slower than its speed is waited for as it comes.
    // A frame expected to go on past this read is slept through as well, so that its header and body
    // cost one wake-up, not two; a shorter reply (an exception) is then taken at most one interval later.
    const int missing = count - got;
    if (flowing && characterNs > 0 && !(lastByItself && missing == 1)) {
      flowing = false;
      const int frameMissing = missing + f.rest;
      lastByItself = frameMissing > 2;
      const std::int64_t now = monotonicNs();
      const int sleepFor = lastByItself ? frameMissing - 1 : frameMissing;
      std::int64_t sleepNs = arrived + std::int64_t{sleepFor} * characterNs - now;
      if (deadline >= 0) sleepNs = std::min(sleepNs, deadline - now);
      if (sleepNs > 0) sleepPrecisely(sleepNs);
      continue;
    }
    // The line paused: the next byte's time is when the wait for it ends.
    flowing = false;
    onTimeline = false;
    lastByItself = false;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, waitMs);
    if (ready < 0 && errno != EINTR) {
      failed(errno);
      return got > 0 ? got : -1;
    }
    // A line that has gone (adapter pulled, far end of a pseudo-terminal closed) reports a hang-up
    // and would wake every poll at once: take what is still there, and fail the read if nothing was.
    if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      const ssize_t last = ::read(fd, buffer + got, static_cast<std::size_t>(count - got));
      if (last > 0) got += static_cast<int>(last);
      failed(last < 0 && errno != EAGAIN && errno != EINTR ? errno : kHangUp);
      return got > 0 ? got : -1;
    }
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
