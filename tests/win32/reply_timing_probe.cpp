// The reading end of the reply-timing table under Windows (or Wine): the module's own Win32 port on
// PORT, set up as the start-up sets it up, reads each reply as a transaction does. A program on the
// line's far end paces the replies and judges (reply_timing_line). For each "go" on standard input it
// sends one request byte, reads the header and, when the header asks for it, the body, and prints
//   run WRITE_START WRITE_END START END BYTES [START END BYTES] HEX
// with the moments in ms of the performance counter (under Wine: Linux's CLOCK_MONOTONIC_RAW); "end"
// ends it.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/reply_timings.h"
#include "platform/system.h"

namespace {

double nowMs() {
  static const double frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER t{};
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) * 1000.0 / frequency;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: reply_timing_probe PORT\n");
    return 2;
  }
  const std::unique_ptr<duz::SerialPort> port = duz::makeSystemSerialPorts()->open(argv[1]);
  if (!port) {
    std::printf("FAIL: %s does not open (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  // Wine refuses the RTS toggle mode; the start-up then goes on with the time-outs, and so does this.
  const bool configured = port->configure(duz::test::kReplyTimingSettings);
  port->setTimeouts({100, 2, 500});
  std::printf("port %s %s\n", argv[1], configured ? "configured" : "settings refused");
  std::fflush(stdout);

  char command[32];
  while (std::fgets(command, sizeof command, stdin) && std::strncmp(command, "go", 2) == 0) {
    std::uint8_t got[260] = {};
    port->purgeBeforeWrite();
    const std::uint8_t request = 0xA5;
    const double writeStart = nowMs();
    const int sent = port->write(&request, 1);
    const double writeEnd = nowMs();
    if (sent != 1) {
      std::printf("FAIL: the request was not written (%d)\n", sent);
      return 1;
    }
    port->purgeAfterWrite();
    std::string line(256, '\0');
    double start = nowMs();
    int n = port->read(got, 3);
    double end = nowMs();
    int taken = n > 0 ? n : 0;
    line.resize(static_cast<std::size_t>(std::snprintf(line.data(), line.size(), "run %.3f %.3f %.3f %.3f %d",
                                                       writeStart, writeEnd, start, end, n)));
    if (n == 3 && duz::test::bodyCount(got) > 0) {
      start = nowMs();
      n = port->read(got + 3, duz::test::bodyCount(got));
      end = nowMs();
      char more[96];
      std::snprintf(more, sizeof more, " %.3f %.3f %d", start, end, n);
      line += more;
      taken += n > 0 ? n : 0;
    }
    line += taken > 0 ? " " : " -";
    for (int i = 0; i < taken; ++i) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02X", got[i]);
      line += hex;
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
  return 0;
}
