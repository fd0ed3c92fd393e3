// duzevod-bench-ref: the reference poller the module is compared with. It makes the module's requests
// with libmodbus, with the module's waits (1000 ms a cycle, 50 ms a device, 10 ms before each request,
// 500 ms after a failed one) and single attempts, and prints what it cost as "key value…" lines.
#include <modbus/modbus.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "figures.h"
#include "link/frames.h"

namespace {

using duz::bench::Kind;

const char kHelp[] = R"(Usage: duzevod-bench-ref --port PTY --baud B --devices N --seconds S

Polls the benchmark's bus (instruments at 1..N in the benchmark's model order) for S seconds after its
first cycle and prints:
  cycle_ms MS…                       the length of every whole cycle
  window_unix START END              the measured window, Unix seconds
  cpu WINDOW_S CPU_MS WAKES          its CPU time and how often it slept and was woken in the window
  rss_kb KB                          its resident memory at the end
  failures N                         exchanges that failed in the window
)";

std::int64_t nowNs(clockid_t clock = CLOCK_MONOTONIC) {
  timespec t{};
  clock_gettime(clock, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

void sleepMs(int ms) {
  timespec t{ms / 1000, static_cast<long>(ms % 1000) * 1'000'000};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

long statusField(const char* key) {
  std::ifstream status("/proc/thread-self/status");
  std::string word;
  long value = 0;
  while (status >> word) {
    if (word == key) {
      status >> value;
      return value;
    }
    status.ignore(1 << 16, '\n');
  }
  return 0;
}

// libmodbus 3.1.6 sends a function-71 request but cannot take its reply (it knows the reply lengths of
// the standard functions only). This reads it as libmodbus reads a reply with a byte count: wait for
// the address and function code, then the count, then the data and CRC, each step a select() with the
// response time-out before the first byte and the byte time-out after it, and a read of what is missing.
bool receiveCountedReply(modbus_t* ctx, const std::uint8_t* request) {
  const int fd = modbus_get_socket(ctx);
  std::uint8_t reply[260];
  int have = 0, want = 2;
  bool first = true;
  for (int step = 0; step < 3; ++step) {
    while (have < want) {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(fd, &set);
      // The module's read time-outs: 506 ms for the header, 100 ms between bytes.
      timeval tv = first ? timeval{0, 506'000} : timeval{0, 100'000};
      if (select(fd + 1, &set, nullptr, nullptr, &tv) <= 0) return false;
      const ssize_t got = read(fd, reply + have, static_cast<std::size_t>(want - have));
      if (got <= 0) return false;
      have += static_cast<int>(got);
      first = false;
    }
    if (step == 0) {
      if (reply[0] != request[0] || reply[1] != request[1]) return false;
      want = 3;
    } else if (step == 1) {
      want = 3 + reply[2] + 2;
    }
  }
  const std::uint16_t crc = duz::Crc16(have - 2, reply);
  return reply[have - 2] == (crc & 0xFF) && reply[have - 1] == (crc >> 8);
}

bool exchange(modbus_t* ctx, Kind kind, int address) {
  modbus_set_slave(ctx, address);
  std::uint8_t bits[32];
  switch (kind) {
    case Kind::AlarmInputs:
      return modbus_read_input_bits(ctx, 0, 32, bits) == 32;
    case Kind::AlarmCoils:
      return modbus_read_bits(ctx, 0, 16, bits) == 16;
    case Kind::BlockingCoil:
      return modbus_read_bits(ctx, 240, 1, bits) == 1;
    case Kind::WriteCoil:
      return modbus_write_bit(ctx, 240, 1) == 1;
    case Kind::ControllerBlock:
    case Kind::Transducer:
      break;
  }
  const duz::RequestFrame frame = kind == Kind::ControllerBlock
                                      ? duz::measurementReadRequest(static_cast<std::uint8_t>(address), 0, 24)
                                      : duz::measurementReadRequest(static_cast<std::uint8_t>(address), 0, 1);
  // libmodbus adds the CRC itself.
  std::vector<std::uint8_t> raw(frame.data(), frame.data() + frame.length - 2);
  if (modbus_send_raw_request(ctx, raw.data(), static_cast<int>(raw.size())) < 0) return false;
  return receiveCountedReply(ctx, frame.data());
}

// One device's poll, as the module makes it: 10 ms before each request, 500 ms after a failed one,
// which ends the poll. Not inlined, so that an instruction count can be limited to it.
[[gnu::noinline]] int refPollDevice(modbus_t* ctx, int address) {
  int failures = 0;
  for (Kind kind : duz::bench::pollOf(duz::bench::modelAt(address))) {
    sleepMs(10);
    if (!exchange(ctx, kind, address)) {
      ++failures;
      sleepMs(500);
      modbus_flush(ctx);
      break;
    }
  }
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  std::string port;
  int baud = 9600, devices = 0;
  double seconds = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--port" && i + 1 < argc) {
      port = argv[++i];
    } else if (a == "--baud" && i + 1 < argc) {
      baud = std::atoi(argv[++i]);
    } else if (a == "--devices" && i + 1 < argc) {
      devices = std::atoi(argv[++i]);
    } else if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "duzevod-bench-ref: bad argument '%s' (see --help)\n", a.c_str());
      return 2;
    }
  }
  if (port.empty() || baud <= 0 || devices < 1 || devices > 31 || seconds <= 0) {
    std::fprintf(stderr, "duzevod-bench-ref: --port, --baud, --devices 1..31 and --seconds are needed\n");
    return 2;
  }
  modbus_t* ctx = modbus_new_rtu(port.c_str(), baud, 'N', 8, 2);
  if (!ctx || modbus_connect(ctx) != 0) {
    std::fprintf(stderr, "duzevod-bench-ref: cannot open %s\n", port.c_str());
    return 1;
  }
  modbus_set_response_timeout(ctx, 0, 506'000);
  modbus_set_byte_timeout(ctx, 0, 100'000);

  // The first cycle is not measured (it meets the line as the simulator has just made it).
  std::vector<double> cycles;
  std::int64_t windowStart = 0, windowUnix = 0, cpuStart = 0;
  long wakeStart = 0;
  int failures = 0;
  std::int64_t cycleStart = nowNs();
  for (int cycle = 0;; ++cycle) {
    if (cycle == 1) {
      windowStart = cycleStart;
      windowUnix = nowNs(CLOCK_REALTIME);
      cpuStart = nowNs(CLOCK_THREAD_CPUTIME_ID);
      wakeStart = statusField("voluntary_ctxt_switches:");
    }
    if (cycle >= 1 && cycleStart - windowStart >= static_cast<std::int64_t>(seconds * 1e9)) break;
    sleepMs(1000);
    for (int address = 1; address <= devices; ++address) {
      sleepMs(50);
      const int failed = refPollDevice(ctx, address);
      if (cycle >= 1) failures += failed;
    }
    const std::int64_t next = nowNs();
    if (cycle >= 1) cycles.push_back(static_cast<double>(next - cycleStart) / 1e6);
    cycleStart = next;
  }
  const double window = static_cast<double>(cycleStart - windowStart) / 1e9;
  const double cpuMs = static_cast<double>(nowNs(CLOCK_THREAD_CPUTIME_ID) - cpuStart) / 1e6;
  const long wakes = statusField("voluntary_ctxt_switches:") - wakeStart;
  std::printf("cycle_ms");
  for (double c : cycles) std::printf(" %.3f", c);
  std::printf("\nwindow_unix %.6f %.6f\n", static_cast<double>(windowUnix) / 1e9,
              static_cast<double>(windowUnix) / 1e9 + window);
  std::printf("cpu %.3f %.3f %ld\nrss_kb %ld\nfailures %d\n", window, cpuMs, wakes, statusField("VmRSS:"),
              failures);
  modbus_close(ctx);
  modbus_free(ctx);
  return 0;
}
