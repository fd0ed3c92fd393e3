// duzevod-sim: plays the instruments of a bus description on a serial line, for tests and demonstrations.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "duz_version.h"
#include "platform/posix/posix_serial.h"
#include "sim_answer.h"
#include "sim_bus.h"
#include "sim_line.h"
#include "sim_pace.h"

namespace {

using duz::sim::Bus;
using duz::sim::Bytes;

const char kHelp[] = R"(Usage: duzevod-sim --bus FILE [options]

Plays the device side of the instruments described in FILE on a serial line: by default on a new
pseudo-terminal, whose path is the first line printed on standard output; the simulator then runs
until it is ended (SIGTERM, Ctrl-C, or the command "quit").

Options:
  --bus FILE        the bus description (required; see below)
  --device PATH     serve a real serial device instead of a pseudo-terminal
  --baud N          line speed (default 9600): the inter-frame gap, --pace, and --device
  --parity N|E|O    parity of --device (default N)
  --stop 1|2        stop bits of --device (default 2)
  --pace            keep the line's timing (11 bits a character) on a line that has none, such as
                    the pseudo-terminal: a request ends its length in characters after its first
                    byte came, the reply starts 3.5 characters (at least 1.75 ms) plus the
                    turnaround after that, and each reply byte is handed over when it would have
                    been received completely; for measuring exchange times
  --turnaround MS   extra wait between a request's end and the reply (default 2)
  --trace           one line per frame on standard error: "rx" or "tx", the bytes in hex, and a note
  --record FILE     append what happens on the line to FILE, one line per event, each written before
                    its bytes go out: "T rx HEX" a request received, "T tx HEX" a reply as sent (noise
                    inside it included), "T noise HEX" noise between frames, "T drop" the line gone,
                    "T line PATH" a new line up; T is microseconds since 1970 (UTC)
  --link PATH       keep a symbolic link PATH pointing at the line, also after "line up" (as
                    /dev/serial/by-id/... follows an adapter plugged in again)
  --help            this text
  --version         the program's version

A request ends when the line has been quiet for 3.5 characters (at least 1.75 ms). Requests with a bad
CRC or for an address without a device get no reply, as on a real bus.

Bus description file
  One setting a line; blanks separate words; "double quotes" keep blanks (\" \\ and \0 inside a
  quoted text give a quote, a backslash and a NUL byte); # starts a comment. Numbers are decimal or
  0x hexadecimal. A "device ADDRESS MODEL" line (address 1..247) starts each instrument; the lines
  after it set that instrument up. Models and their settings:

  LUMA-12 (ЛУМА-12, controller with 8 module slots of 6 channels)
    modules C0 C1 C2 C3 C4 C5 C6 C7    module type per slot: 0 empty, 1 БРУН, 2 ГЕЛТ, 3 ДОРФ, 4 ЖАЛС
    channel SLOT CH "TEXT" [STATUS]    value text of slot 0..7, channel 0..5: at most 8 characters,
                                       right-aligned (default "    0.0 "); status byte (default 0):
                                       0x20 not accurate, 0x40 sensor failure, 0x80 device failure,
                                       bits 0..2: 1/3/5 limit 1, 2/4/6 limit 2
  DEK-04 (ДЕК-04, alarm and interlock instrument)
    ident D0 D1                        identification bytes; the variant is D0 and D1 as two-digit
                                       numbers (default 98 52: variant 9852)
    inputs BITS | input N 0|1          32 discrete inputs, bit i = input i
    coils BITS | coil N 0|1            coils 0..15 (bit i = coil i) and coil 240 (blocking mode off)
  VEKS-1, VEKS-2, ORTA (ВЕКС-1 thermocouple and ВЕКС-2 resistance-thermometer transducers, ОРТА
  4-20 mA current loop)
    ident D0 D1 [D2]                   identification bytes; D2 defaults to 102, 101 and 100
    alarm N                            alarm type: 0 Min/Max, 1 Min/Min, 2 Max/Max
    setpoint1 N | setpoint2 N          raw 16-bit setpoints
    sensor N | conversion N            sensor type (ORTA: conversion, 0 square root, 1 linear)
    range N                            range index
    raw N                              the measured raw value, -32768..32767 (or 0..65535)
    status N                           bit 1 limit 1 reached, bit 0 limit 2 reached
  Every model
    fault MODE [MS]                    normal | silent | badcrc | wrongaddr | exception | short |
                                       slow (reply after MS, default 1000)
  Values that change by themselves (any number of drift lines a device; "drift off" ends them):
    drift channel SLOT CH LOW HIGH S   LUMA-12: the channel's value swings between LOW and HIGH
                                       (decimals allowed) once every S seconds
    drift input N S                    DEK-04: input N is on for S seconds, then off for S seconds
    drift raw LOW HIGH S               VEKS-1, VEKS-2, ORTA: the raw value swings between LOW and HIGH
                                       once every S seconds

  Example:
    device 1 LUMA-12
      modules 1 0 2 0 0 0 0 0
      channel 0 0 "  23.50 " 0x00
      channel 2 5 "-4.25" 0x21
    device 2 DEK-04
      ident 98 52
      inputs 0x0000000F
      coil 240 1
    device 3 VEKS-1
      sensor 2
      range 0          # K, -50 .. 200 °C
      raw 4096
      status 0x02

Functions answered: 0x11 identification (controller: 8 module types; others: D0 D1 D2), 0x44
parameters (transducers, current loop: 11 data bytes, the 5th to 11th being alarm type, setpoint 2
low/high, setpoint 1 low/high, sensor type, range index), 0x47 measurement (controller: first channel
6m, count 6n, n <= 4, n x 54 bytes of texts and statuses; others: channel 0 count 1, raw high, raw low,
status), 1 read coils, 2 read inputs, 5 write coil (alarm instrument). Others get exception 1.

Commands on standard input, one a line; each is answered "ok" or "error: …" on standard output:
  ADDRESS SETTING…     any setting above for the device at ADDRESS, e.g. "3 raw 5000",
                       "2 input 4 1", "2 fault silent", "3 fault slow 800", "1 channel 0 0 " 7.1 ""
  show [ADDRESS]       the devices' current state as bus-file lines
  noise MEAN_MS [PCT]  random bytes on the line: bursts of 1..16 bytes between frames, on average every
                       MEAN_MS ms, and 1..4 bytes inside PCT % of the replies (default 10)
  noise off            no more noise
  line drop            the line goes away (the pseudo-terminal is closed: the master sees a hang-up)
  line up              a new pseudo-terminal (or the device opened again); its path is printed before
                       "ok", and --link follows it
  quit                 end the simulator
)";

volatile sig_atomic_t stopRequested = 0;
void onStop(int) {
  stopRequested = 1;
}

std::int64_t nowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

void trace(bool on, const char* direction, const Bytes& bytes, const std::string& note) {
  if (!on) return;
  std::string line = direction;
  char hex[4];
  for (auto b : bytes) {
    std::snprintf(hex, sizeof hex, " %02X", b);
    line += hex;
  }
  if (!note.empty()) line += "  # " + note;
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

struct Options {
  std::string bus;
  std::string device;
  unsigned baud = 9600;
  char parity = 'N';
  int stop = 2;
  bool pace = false;
  bool trace = false;
  int turnaroundMs = 2;
  std::string record;
  std::string link;
};

int usageError(const std::string& message) {
  std::fprintf(stderr, "duzevod-sim: %s (see --help)\n", message.c_str());
  return 2;
}

bool wholeNumber(const char* text, long min, long max, long& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && out >= min && out <= max;
}

// The line: a pseudo-terminal (its other side held open, so that clients may come and go) or a device.
struct Line {
  int fd = -1;
  int heldSlave = -1;
  std::string path;
};

bool openLine(const Options& o, Line& line, std::string& error) {
  const std::string settings =
      "baud=" + std::to_string(o.baud) + " parity=" + o.parity + " data=8 stop=" + std::to_string(o.stop);
  if (!o.device.empty()) {
    line.fd = ::open(o.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.fd < 0) {
      error = "cannot open " + o.device + ": " + std::strerror(errno);
      return false;
    }
    if (!duz::posix::configureLine(line.fd, settings)) {
      error = "cannot set " + o.device + " to " + settings;
      return false;
    }
    line.path = o.device;
    return true;
  }
  line.fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (line.fd < 0 || grantpt(line.fd) != 0 || unlockpt(line.fd) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  line.path = ptsname(line.fd);
  line.heldSlave = ::open(line.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  // Raw from the start: no echo or line editing before a client sets the line up itself.
  if (line.heldSlave < 0 || !duz::posix::configureLine(line.heldSlave, settings)) {
    error = "cannot set up " + line.path;
    return false;
  }
  fcntl(line.fd, F_SETFL, fcntl(line.fd, F_GETFL) | O_NONBLOCK);
  return true;
}

void send(const Options& o, int fd, const Bytes& bytes, std::int64_t dueNs) {
  if (o.pace) {
    duz::sim::sendPaced(fd, bytes, dueNs, duz::sim::LineTiming(o.baud), stopRequested);
    return;
  }
  duz::posix::writeAll(fd, bytes.data(), static_cast<int>(bytes.size()));
}

void reply(const std::string& text) {
  std::fprintf(stdout, "%s\n", text.c_str());
  std::fflush(stdout);
}

// What the line-level commands change: the noise, and whether the line is wanted up or down.
struct LineControl {
  duz::sim::Noise noise;
  duz::sim::Recorder recorder;
  enum class Request { None, Drop, Up } request = Request::None;
};

// One command line from standard input. False when the simulator is to end.
bool command(Bus& bus, LineControl& control, const std::string& text) {
  std::vector<std::string> words;
  std::string error;
  if (!duz::sim::splitWords(text, words, error)) {
    reply("error: " + error);
    return true;
  }
  if (words.empty()) return true;
  if (words[0] == "quit" || words[0] == "exit") return false;
  long address = 0;
  if (words[0] == "noise") {
    error = control.noise.set({words.begin() + 1, words.end()});
    reply(error.empty() ? "ok" : "error: " + error);
    return true;
  }
  if (words[0] == "line") {
    if (words.size() != 2 || (words[1] != "drop" && words[1] != "up")) {
      reply("error: usage: line drop | line up");
      return true;
    }
    // Carried out by the serving loop, which owns the line; it answers.
    control.request = words[1] == "drop" ? LineControl::Request::Drop : LineControl::Request::Up;
    return true;
  }
  if (words[0] == "show") {
    if (words.size() > 2 || (words.size() == 2 && !wholeNumber(words[1].c_str(), 1, 247, address))) {
      reply("error: usage: show [ADDRESS]");
      return true;
    }
    for (const auto& [a, device] : bus)
      if (!address || a == address)
        for (const auto& l : duz::sim::describe(device)) reply(l);
    reply("ok");
    return true;
  }
  if (!wholeNumber(words[0].c_str(), 1, 247, address)) {
    reply("error: a command is 'ADDRESS SETTING…', 'show [ADDRESS]' or 'quit', not '" + words[0] + "'");
    return true;
  }
  const auto found = bus.find(static_cast<int>(address));
  if (found == bus.end()) {
    reply("error: no device at address " + words[0]);
    return true;
  }
  words.erase(words.begin());
  if (words.empty()) {
    reply("error: a setting is missing after the address");
    return true;
  }
  error = duz::sim::applySetting(found->second, words);
  reply(error.empty() ? "ok" : "error: " + error);
  return true;
}

struct Pending {
  std::int64_t dueNs;
  Bytes bytes;
  std::string note;
};

void closeLine(Line& line) {
  if (line.heldSlave >= 0) ::close(line.heldSlave);
  if (line.fd >= 0) ::close(line.fd);
  line = Line{};
}

// Carries out "line drop" and "line up" and answers them.
void changeLine(const Options& o, Line& line, LineControl& control) {
  const auto request = control.request;
  control.request = LineControl::Request::None;
  if (request == LineControl::Request::Drop) {
    if (line.fd < 0) return reply("error: the line is already down");
    control.recorder.event("drop");
    closeLine(line);
    return reply("ok");
  }
  if (line.fd >= 0) return reply("error: the line is already up");
  std::string error;
  if (!openLine(o, line, error) || (!o.link.empty() && !duz::sim::pointLink(o.link, line.path, error))) {
    closeLine(line);
    return reply("error: " + error);
  }
  control.recorder.event("line " + line.path);
  reply(line.path);
  reply("ok");
}

int run(const Options& o, Bus& bus, Line& line, LineControl& control) {
  const duz::sim::LineTiming timing(o.baud);
  const std::int64_t gapNs = timing.gapNs;
  const std::int64_t startNs = nowNs();
  Bytes received;
  std::int64_t firstByteNs = 0;
  std::int64_t lastByteNs = 0;
  // When the request in `received` ends on the line: paced, after its characters' time.
  const auto requestEnd = [&] {
    return o.pace ? duz::sim::requestEndNs(timing, firstByteNs, lastByteNs, received.size()) : lastByteNs;
  };
  std::vector<Pending> pending;
  std::string input;
  bool stdinOpen = true;

  while (!stopRequested) {
    std::int64_t wakeNs = -1;
    if (!received.empty()) wakeNs = requestEnd() + gapNs;
    for (const auto& p : pending)
      if (wakeNs < 0 || p.dueNs < wakeNs) wakeNs = p.dueNs;
    const std::int64_t noiseNs = line.fd >= 0 ? control.noise.nextBurstNs() : -1;
    if (noiseNs >= 0 && (wakeNs < 0 || noiseNs < wakeNs)) wakeNs = noiseNs;
    // To the nanosecond: a wait rounded up to milliseconds would delay replies by up to one.
    timespec timeout{};
    if (wakeNs >= 0) {
      const std::int64_t left = std::max<std::int64_t>(wakeNs - nowNs(), 0);
      timeout = {static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    }
    pollfd fds[2] = {{line.fd, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
    if (::ppoll(fds, 2, wakeNs >= 0 ? &timeout : nullptr, nullptr) < 0 && errno != EINTR) {
      std::perror("duzevod-sim: poll");
      return 1;
    }

    if (fds[0].revents & POLLIN) {
      std::uint8_t buffer[512];
      const ssize_t n = ::read(line.fd, buffer, sizeof buffer);
      if (n > 0) {
        // No Modbus frame is longer than 256 bytes: a line that never falls silent is noise.
        if (received.size() > 1024) received.clear();
        lastByteNs = nowNs();
        if (received.empty()) firstByteNs = lastByteNs;
        received.insert(received.end(), buffer, buffer + n);
      }
    } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      std::fprintf(stderr, "duzevod-sim: the line %s has gone\n", line.path.c_str());
      return 1;
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
      char buffer[1024];
      const ssize_t n = ::read(0, buffer, sizeof buffer);
      if (n <= 0) {
        stdinOpen = false;  // no more commands; the line goes on being served
      } else {
        input.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = input.find('\n')) != std::string::npos;) {
          const std::string text = input.substr(0, end);
          input.erase(0, end + 1);
          if (!command(bus, control, text)) return 0;
          if (control.request != LineControl::Request::None) {
            changeLine(o, line, control);
            received.clear();
            pending.clear();
          }
        }
      }
    }

    const std::int64_t now = nowNs();
    if (!received.empty() && now - requestEnd() >= gapNs) {
      // Paced, the reply starts when the line says, however late this wake-up came.
      const std::int64_t replyFromNs = o.pace ? requestEnd() + gapNs : now;
      for (auto& entry : bus) duz::sim::animate(entry.second, static_cast<double>(now - startNs) / 1e9);
      duz::sim::Answer a = duz::sim::answer(bus, received);
      control.recorder.bytes("rx", received);
      trace(o.trace, "rx", received, a.reply.empty() ? a.note : std::string());
      received.clear();
      if (!a.reply.empty())
        pending.push_back(
            {replyFromNs + (o.turnaroundMs + std::int64_t{a.delayMs}) * 1'000'000, a.reply, a.note});
    }
    for (std::size_t i = 0; i < pending.size();) {
      if (pending[i].dueNs > nowNs()) {
        ++i;
        continue;
      }
      Pending p = pending[i];
      pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
      if (control.noise.spoil(p.bytes)) p.note += p.note.empty() ? "noise inside" : ", noise inside";
      control.recorder.bytes("tx", p.bytes);
      trace(o.trace, "tx", p.bytes, p.note);
      send(o, line.fd, p.bytes, p.dueNs);
    }
    if (line.fd >= 0 && control.noise.on() && control.noise.nextBurstNs() <= nowNs()) {
      const Bytes noise = control.noise.burst(nowNs());
      control.recorder.bytes("noise", noise);
      trace(o.trace, "tx", noise, "noise");
      duz::posix::writeAll(line.fd, noise.data(), static_cast<int>(noise.size()));
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    long n = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (arg == "--version") {
      return duz::printVersion("duzevod-sim");
    } else if (arg == "--bus" || arg == "--device") {
      const char* v = value();
      if (!v) return usageError(arg + " needs a path");
      (arg == "--bus" ? o.bus : o.device) = v;
    } else if (arg == "--baud") {
      const char* v = value();
      if (!v || !wholeNumber(v, 50, 4'000'000, n)) return usageError("--baud needs a speed in bit/s");
      o.baud = static_cast<unsigned>(n);
    } else if (arg == "--parity") {
      const char* v = value();
      if (!v || std::strlen(v) != 1 || !std::strchr("NEO", v[0])) return usageError("--parity is N, E or O");
      o.parity = v[0];
    } else if (arg == "--stop") {
      const char* v = value();
      if (!v || !wholeNumber(v, 1, 2, n)) return usageError("--stop is 1 or 2");
      o.stop = static_cast<int>(n);
    } else if (arg == "--turnaround") {
      const char* v = value();
      if (!v || !wholeNumber(v, 0, 10'000, n))
        return usageError("--turnaround needs milliseconds (0..10000)");
      o.turnaroundMs = static_cast<int>(n);
    } else if (arg == "--record" || arg == "--link") {
      const char* v = value();
      if (!v) return usageError(arg + " needs a path");
      (arg == "--record" ? o.record : o.link) = v;
    } else if (arg == "--pace") {
      o.pace = true;
    } else if (arg == "--trace") {
      o.trace = true;
    } else {
      return usageError("unknown argument '" + arg + "'");
    }
  }
  if (o.bus.empty()) return usageError("missing --bus FILE");

  std::ifstream file(o.bus);
  if (!file) {
    std::fprintf(stderr, "duzevod-sim: cannot read %s: %s\n", o.bus.c_str(), std::strerror(errno));
    return 2;
  }
  Bus bus;
  std::string error;
  if (!duz::sim::parseBus(file, o.bus, bus, error)) {
    std::fprintf(stderr, "duzevod-sim: %s\n", error.c_str());
    return 2;
  }

  struct sigaction action {};
  action.sa_handler = onStop;  // no SA_RESTART: poll() returns so the loop sees the request
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (o.pace) duz::sim::preciseWakeups();
  LineControl control;
  if (!o.record.empty() && !control.recorder.open(o.record, error)) {
    std::fprintf(stderr, "duzevod-sim: %s\n", error.c_str());
    return 1;
  }
  Line line;
  if (!openLine(o, line, error) || (!o.link.empty() && !duz::sim::pointLink(o.link, line.path, error))) {
    std::fprintf(stderr, "duzevod-sim: %s\n", error.c_str());
    return 1;
  }
  control.recorder.event("line " + line.path);
  reply(line.path);
  const int status = run(o, bus, line, control);
  closeLine(line);
  return status;
}
