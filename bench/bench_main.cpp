// duzevod-bench: measures the module on a paced simulator line against wire time, against libmodbus
// and against its own cycle formula, and writes the figures as one page.
#include <modbus/modbus.h>
#include <pthread.h>
#include <sched.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bus_text.h"
#include "child.h"
#include "duz_version.h"
#include "figures.h"
#include "link/link.h"
#include "platform/system.h"
#include "simulator.h"

namespace {

using namespace duz::bench;
using duz::tools::BusText;
using duz::tools::Child;
using duz::tools::monotonicMs;
namespace fs = std::filesystem;

const char kHelp[] = R"(Usage: duzevod-bench [--tiny] [--out FILE] [--reps N]

Measures the module (libduzevod.so) on the bus simulator's paced line (duzevod-sim --pace: wire time
as on a real line at 11 bits a character) and prints one page of tables:
  1. exchange time per request kind at 9600, 19200 and 115200 bit/s: the module's Transaction, the wire
     time, the inter-frame gap, and libmodbus making the same request on the same line, interleaved;
  2. cycle period against 1000 ms + 50 ms a device + 10 ms and the exchange a transaction, for 1, 5 and
     31 instruments, and the refresh interval of every tag;
  3. CPU time of the polling thread and of the host process, and the host's resident memory;
  4. write latency of SetBitTagValue while 31 instruments are polled;
  5. search time for limit 31 with 0, 5 and 31 instruments, against the specified budgets;
  6. load time with a restored configuration to the first published value.
Options:
  --tiny      one quick pass of everything (under a minute; proves the benchmark works)
  --out FILE  also write the page to FILE (scripts/bench.sh: docs/performance.md)
  --reps N    exchanges of each kind and speed per master (default 40; --tiny: 2)
  --only LIST measure only these sections, e.g. --only 1,4 (the figures the others need are measured
              all the same)
  --note TEXT a line for the page, e.g. that the machine was shared
  --help      this text
  --version   the program's version
The programs come from the build that built this one. Exit status: 0 done, 1 a measurement could not
be made, 2 bad command line.
)";

constexpr unsigned kBauds[] = {9600, 19200, 115200};
constexpr unsigned kPollBaud = 9600;
// How long the line is quiet before each request of the exchange table: the wait polling makes.
constexpr double kQuietBeforeMs = 10;
constexpr int kAllKinds[] = {0, 1, 2, 3, 4, 5};

struct Options {
  bool tiny = false;
  int reps = 40;
  std::string out;
  std::string note;
  std::string only;
  bool wants(int section) const {
    return only.empty() || only.find(std::to_string(section)) != std::string::npos;
  }
};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "duzevod-bench: %s\n", what.c_str());
  std::exit(1);
}

std::string format(const char* f, double v) {
  char b[64];
  std::snprintf(b, sizeof b, f, v);
  return b;
}
std::string ms(double v) {
  return format(v < 10 ? "%.3f" : v < 100 ? "%.2f" : "%.1f", v);
}
std::string spread(const Summary& s) {
  return ms(s.median) + " [" + ms(s.p25) + "–" + ms(s.p75) + "]";
}

// ---- buses and configurations -------------------------------------------------------------------

void busDevice(BusText& bus, int a) {
  switch (modelAt(a)) {
    case Model::Controller:
      bus.device(a, "LUMA-12")
          .set("modules 1 1 2 4 0 0 0 0")
          .set("channel 0 0", duz::tools::quoted("  23.50 "), "0x00");
      return;
    case Model::Alarm:
      bus.device(a, "DEK-04").set("ident 98 52").set("inputs 0x215").set("coils 0x0050").set("coil 240 1");
      return;
    case Model::Thermocouple:
      bus.device(a, "VEKS-1").set("ident 1 0").set("sensor 2").set("range 0").set("raw 4096");
      return;
    case Model::Rtd:
      bus.device(a, "VEKS-2").set("ident 1 0").set("sensor 3").set("range 4").set("raw 4096");
      return;
    case Model::CurrentLoop:
      bus.device(a, "ORTA").set("ident 1 0").set("conversion 1").set("raw 8192");
      return;
  }
}

std::string confDevice(int address) {
  const std::string a = std::to_string(address);
  switch (modelAt(address)) {
    case Model::Controller:
      return "device " + a + " LUMA-12\n  modules 1 1 2 4 0 0 0 0\n";
    case Model::Alarm:
      return "device " + a + " DEK-04\n  variant 9852\n";
    case Model::Thermocouple:
      return "device " + a + " VEKS-1\n  sensor 2\n  range 0\n";
    case Model::Rtd:
      return "device " + a + " VEKS-2\n  sensor 3\n  range 4\n";
    case Model::CurrentLoop:
      return "device " + a + " ORTA\n  conversion linear\n";
  }
  return "";
}

struct Work {
  fs::path dir;
  int serial = 0;
  fs::path file(const std::string& stem) { return dir / (stem + "-" + std::to_string(++serial)); }
};

fs::path writeFile(const fs::path& path, const std::string& text) {
  std::ofstream(path) << text;
  return path;
}

fs::path busFile(Work& work, int devices, const std::string& more = "") {
  BusText bus;
  for (int a = 1; a <= devices; ++a) busDevice(bus, a);
  return writeFile(work.file("bus"), bus.text() + more);
}

// The paced simulator at `baud`, with replies right after the instrument's 3.5 characters; `more`
// goes on with the last device's settings.
struct Simulator {
  Simulator(Work& work, int devices, unsigned baud, const std::string& more = "")
      : process(DUZ_SIM,
                {"--bus", busFile(work, devices, more).string(), "--baud", std::to_string(baud), "--pace",
                 "--turnaround", "0"},
                {.input = false, .errorFile = work.file("sim-stderr").string()}),
        pty(process.path()) {
    if (!process.started()) fail("the simulator did not start");
  }
  duz::tools::Simulator process;
  std::string pty;
};

// A directory with DUZEvod.sys for `devices` instruments on `pty`, made by the configuration tool.
fs::path restoredDir(Work& work, int devices, const std::string& pty) {
  const fs::path dir = work.file("host");
  fs::create_directories(dir);
  std::string text = "port " + pty + "\nspeed " + std::to_string(kPollBaud) + "\nparity N\nstop 2\n";
  for (int a = 1; a <= devices; ++a) text += confDevice(a);
  const fs::path plan = writeFile(dir / "plant.txt", text);
  Child conf({.argv = {DUZ_CONF, "make", plan.string(), (dir / "DUZEvod.sys").string()},
              .input = false,
              .errorFile = (dir / "conf-stderr").string()});
  if (conf.wait(10000) != 0) fail("duzevod-conf could not make the configuration (see " + dir.string() + ")");
  return dir;
}

// ---- the lean host --------------------------------------------------------------------------------

struct HostRun {
  std::map<std::string, std::vector<double>> values;
  std::vector<std::vector<double>> writes;  // call (Unix ms), duration (ms), result
  double get(const std::string& key, std::size_t i = 0) const {
    const auto found = values.find(key);
    return found != values.end() && i < found->second.size() ? found->second[i] : NAN;
  }
};

HostRun runHost(Work& work, const fs::path& dir, const std::string& script, double seconds,
                const std::vector<std::string>& extra, const std::string& trace = "") {
  std::vector<std::string> argv = {DUZ_BENCH_HOST, "--module", DUZ_MODULE, "--seconds",
                                   format("%.3f", seconds)};
  argv.insert(argv.end(), extra.begin(), extra.end());
  const fs::path errors = work.file("host-stderr");
  Child host({.argv = argv,
              .env = {{"DUZEVOD_DIR", dir.string()}, {"DUZEVOD_OPERATOR", script}, {"DUZEVOD_TRACE", trace}},
              .input = false,
              .errorFile = errors.string()});
  HostRun run;
  // A search of 31 silent addresses takes some 160 s; give everything room.
  const double end = monotonicMs() + seconds * 1000 + 400'000;
  while (auto line = host.readLine(static_cast<int>(std::max(1.0, end - monotonicMs())))) {
    std::istringstream words(*line);
    std::string key;
    words >> key;
    std::vector<double> numbers;
    for (double v; words >> v;) numbers.push_back(v);
    if (key == "write")
      run.writes.push_back(numbers);
    else
      run.values[key] = numbers;
  }
  if (host.wait(10000) != 0) fail("the host run failed (see " + errors.string() + ")");
  return run;
}

// ---- 1. exchanges ---------------------------------------------------------------------------------

struct KindFigures {
  std::vector<double> moduleMs, libMs, moduleCpuUs, libCpuUs;
  int moduleFailures = 0, libFailures = 0;
  std::string libNote;
};
using ExchangeFigures = std::map<unsigned, std::vector<KindFigures>>;  // by baud, by kind

double threadCpuUs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// The request of each kind to the exchange bus: controller at 1, alarm instrument at 2, thermocouple
// transducer at 3.
duz::RequestFrame requestOf(Kind kind) {
  switch (kind) {
    case Kind::ControllerBlock:
      return duz::measurementReadRequest(1, 0, 24);
    case Kind::Transducer:
      return duz::measurementReadRequest(3, 0, 1);
    case Kind::AlarmInputs:
      return duz::bitReadRequest(2, duz::kReadDiscreteInputs, 0, 32);
    case Kind::AlarmCoils:
      return duz::bitReadRequest(2, duz::kReadCoils, 0, 16);
    case Kind::BlockingCoil:
      return duz::bitReadRequest(2, duz::kReadCoils, 0xF0, 1);
    case Kind::WriteCoil:
      break;
  }
  return duz::writeCoilRequest(2, 0xF0, true);
}

// libmodbus's call for the same request: its standard call for functions 1, 2 and 5, its raw request
// with its confirmation for 71. 0 when a checked reply came.
int libmodbusExchange(modbus_t* ctx, Kind kind) {
  // libmodbus adds the CRC of a raw request itself.
  const duz::RequestFrame request = requestOf(kind);
  std::vector<std::uint8_t> raw(request.data(), request.data() + request.length - 2);
  modbus_set_slave(ctx, raw[0]);
  std::uint8_t bits[32];
  std::uint8_t reply[MODBUS_RTU_MAX_ADU_LENGTH];
  switch (kind) {
    case Kind::AlarmInputs:
      return modbus_read_input_bits(ctx, 0, 32, bits) == 32 ? 0 : -1;
    case Kind::AlarmCoils:
      return modbus_read_bits(ctx, 0, 16, bits) == 16 ? 0 : -1;
    case Kind::BlockingCoil:
      return modbus_read_bits(ctx, 240, 1, bits) == 1 ? 0 : -1;
    case Kind::WriteCoil:
      return modbus_write_bit(ctx, 240, 1) == 1 ? 0 : -1;
    default:
      if (modbus_send_raw_request(ctx, const_cast<std::uint8_t*>(raw.data()), static_cast<int>(raw.size())) <
          0)
        return -1;
      return modbus_receive_confirmation(ctx, reply) == replyBytes(kind) ? 0 : -1;
  }
}

ExchangeFigures measureExchanges(Work& work, int reps) {
  ExchangeFigures figures;
  for (unsigned baud : kBauds) figures[baud].resize(kKinds);
  std::vector<std::unique_ptr<Simulator>> sims;
  for (unsigned baud : kBauds) sims.push_back(std::make_unique<Simulator>(work, 3, baud));

  // Per speed: libmodbus's context, then our link on the same line (the module's port is exclusive
  // from its open on, so libmodbus opens first).
  struct Masters {
    modbus_t* ctx = nullptr;
    std::unique_ptr<duz::Clock> clock = duz::makeSystemClock();
    std::unique_ptr<duz::SerialPorts> ports = duz::makeSystemSerialPorts();
    std::unique_ptr<duz::Link> link;
  };
  std::vector<Masters> masters(std::size(kBauds));
  for (std::size_t b = 0; b < std::size(kBauds); ++b) {
    const unsigned baud = kBauds[b];
    Masters& m = masters[b];
    m.ctx = modbus_new_rtu(sims[b]->pty.c_str(), static_cast<int>(baud), 'N', 8, 2);
    if (!m.ctx || modbus_connect(m.ctx) != 0) fail("libmodbus cannot open " + sims[b]->pty);
    modbus_set_response_timeout(m.ctx, 1, 0);
    m.link = std::make_unique<duz::Link>(*m.clock);
    const std::string settings = "baud=" + std::to_string(baud) + " parity=N data=8 stop=2";
    m.link->port = m.ports->open(sims[b]->pty);
    if (!m.link->port || !m.link->port->configure(settings))
      fail("the module's port cannot open " + sims[b]->pty);
    m.link->port->setTimeouts({100, 2, 500});  // as the port set-up does
    m.link->setBaud(baud);
    m.link->pollingActive = 1;  // single attempts, as while polling
  }

  std::uint8_t response[260];
  for (int rep = 0; rep < reps; ++rep) {
    for (std::size_t b = 0; b < std::size(kBauds); ++b) {
      Masters& m = masters[b];
      for (int k : kAllKinds) {
        const Kind kind = static_cast<Kind>(k);
        KindFigures& f = figures[kBauds[b]][static_cast<std::size_t>(k)];
        const duz::RequestFrame frame = requestOf(kind);
        // Alternate who goes first, so that neither always meets the line right after the other.
        for (int turn = 0; turn < 2; ++turn) {
          const bool ours = (turn == 0) == (rep % 2 == 0);
          // The line quiet before each request for as long as polling waits before one.
          usleep(static_cast<useconds_t>(kQuietBeforeMs * 1000));
          if (!ours && !f.libNote.empty()) continue;  // libmodbus cannot make this request at all
          const double cpu0 = threadCpuUs();
          const double t0 = monotonicMs();
          const int r = ours ? m.link->Transaction(frame.length, frame.data(), response,
                                                   static_cast<int>(sizeof response))
                             : libmodbusExchange(m.ctx, kind);
          const double t1 = monotonicMs();
          const double cpu = threadCpuUs() - cpu0;
          if (r != 0) {
            if (ours) {
              ++f.moduleFailures;
            } else {
              ++f.libFailures;
              if (f.libMs.empty() && f.libFailures >= 2)
                f.libNote = std::string("fails: ") + modbus_strerror(errno);
              // Let the rest of the reply arrive, then drop it.
              usleep(static_cast<useconds_t>(wireMs(kBauds[b], 0, replyBytes(kind)) * 1000 + 20'000));
              modbus_flush(m.ctx);
            }
            continue;
          }
          (ours ? f.moduleMs : f.libMs).push_back(t1 - t0);
          (ours ? f.moduleCpuUs : f.libCpuUs).push_back(cpu);
        }
      }
    }
  }
  for (Masters& m : masters) {
    m.link->port.reset();
    modbus_close(m.ctx);
    modbus_free(m.ctx);
  }
  return figures;
}

// A clock whose sleeps return at once: an exchange timed with it ends where its attempt ends, without
// the 500 ms pause that follows a failed one.
class NoPauseClock : public duz::Clock {
 public:
  bool sleepMs(std::uint32_t, duz::StopSignal*) override { return true; }
  void pauseMicroseconds(std::uint32_t us) override { real_->pauseMicroseconds(us); }
  std::uint64_t monotonicMs() override { return real_->monotonicMs(); }
  std::uint64_t monotonicUs() override { return real_->monotonicUs(); }
  std::uint64_t fileTimeNow() override { return real_->fileTimeNow(); }

 private:
  std::unique_ptr<duz::Clock> real_ = duz::makeSystemClock();
};

// A controller that answers its block request (a 221-byte reply expected) with a 5-byte exception, at
// the polling speed: the attempt's time, from the call to its failure, each after 10 ms of quiet line.
std::vector<double> measureException(Work& work, int reps) {
  Simulator sim(work, 1, kPollBaud, "  fault exception\n");
  NoPauseClock clock;
  duz::Link link(clock);
  link.port = duz::makeSystemSerialPorts()->open(sim.pty);
  if (!link.port || !link.port->configure("baud=" + std::to_string(kPollBaud) + " parity=N data=8 stop=2"))
    fail("the module's port cannot open " + sim.pty);
  link.port->setTimeouts({100, 2, 500});
  link.setBaud(kPollBaud);
  link.pollingActive = 1;
  const duz::RequestFrame frame = requestOf(Kind::ControllerBlock);
  std::uint8_t response[260];
  std::vector<double> times;
  for (int rep = 0; rep < reps; ++rep) {
    usleep(static_cast<useconds_t>(kQuietBeforeMs * 1000));
    const double t0 = monotonicMs();
    const int r = link.Transaction(frame.length, frame.data(), response, static_cast<int>(sizeof response));
    if (r == 2) times.push_back(monotonicMs() - t0);
  }
  link.port.reset();
  return times;
}

// CPU time the machine says its hypervisor took from it (the "steal" column of /proc/stat), in ms.
double stolenMs() {
  std::ifstream stat("/proc/stat");
  std::string cpu;
  double user, nice, system, idle, iowait, irq, softirq, steal = 0;
  stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
  return steal * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU time this machine spends on one sleep and wake-up of a thread (a plain 1 ms sleep), in µs: what
// the polling thread's CPU time mostly consists of, and what load and virtualisation change most.
double cpuPerWakeUpUs(int count) {
  const double c0 = threadCpuUs();
  for (int i = 0; i < count; ++i) usleep(1000);
  return (threadCpuUs() - c0) / count;
}

// Keeps every processor busy with work of the lowest priority (SCHED_IDLE), which gives way the
// moment anything else wants to run: no processor idles, so a wake-up of the polling thread no longer
// includes waking an idle (on a virtual machine: halted) processor.
class IdleSpinners {
 public:
  IdleSpinners() {
    const long n = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
    for (long i = 0; i < n; ++i)
      threads_.emplace_back([this] {
        sched_param p{};
        pthread_setschedparam(pthread_self(), SCHED_IDLE, &p);
        while (!stop_.load(std::memory_order_relaxed)) {
        }
      });
  }
  ~IdleSpinners() {
    stop_ = true;
    for (std::thread& t : threads_) t.join();
  }
  IdleSpinners(const IdleSpinners&) = delete;
  IdleSpinners& operator=(const IdleSpinners&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

// ---- the page ----------------------------------------------------------------------------------------

std::string firstLineOf(const char* path, const char* key) {
  std::ifstream f(path);
  for (std::string line; std::getline(f, line);)
    if (line.rfind(key, 0) == 0) {
      const auto colon = line.find(':');
      return colon == std::string::npos ? line : line.substr(line.find_first_not_of(" \t", colon + 1));
    }
  return "unknown";
}

std::string loadAverage() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

std::string machine() {
  utsname u{};
  uname(&u);
  char date[64];
  const time_t now = time(nullptr);
  strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&now));
  return std::string("- Date: ") + date + "\n- Processor: " + firstLineOf("/proc/cpuinfo", "model name") +
         ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) +
         " online\n- Memory: " + firstLineOf("/proc/meminfo", "MemTotal") + "\n- System: " + u.sysname + " " +
         u.release + " " + u.machine + "\n- libmodbus " + LIBMODBUS_VERSION_STRING + "\n";
}

std::string verdict(bool met) {
  return met ? "met" : "**missed**";
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--version") {
      return duz::printVersion("duzevod-bench");
    } else if (a == "--tiny") {
      o.tiny = true;
      o.reps = 2;
    } else if (a == "--out" && i + 1 < argc) {
      o.out = argv[++i];
    } else if (a == "--only" && i + 1 < argc) {
      o.only = argv[++i];
    } else if (a == "--note" && i + 1 < argc) {
      o.note = argv[++i];
    } else if (a == "--reps" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
      o.reps = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "duzevod-bench: bad argument '%s' (see --help)\n", a.c_str());
      return 2;
    }
  }

  char pattern[] = "/tmp/duzevod-bench-XXXXXX";
  if (!mkdtemp(pattern)) fail("cannot make a working directory");
  Work work{pattern};
  const std::string loadBefore = loadAverage();
  std::vector<double> wakeCostUs{cpuPerWakeUpUs(o.tiny ? 50 : 500)};
  const double started = monotonicMs();
  std::string page;
  std::string targets;

  // 1. Exchanges.
  std::fprintf(stderr, "duzevod-bench: exchanges, %d of each kind and speed per master\n", o.reps);
  const ExchangeFigures ex = measureExchanges(work, o.reps);
  std::vector<double> pollExchangeMs(kKinds);
  double worstOverhead = 0, worstRatio = 0, worstBest = 0, worstBestRatio = 0;
  bool libNotes = false;
  std::string exchangeTable =
      "| Request | bit/s | wire | gap | slave | module | module overhead: median / best | libmodbus | "
      "libmodbus overhead: median / best | overhead ratio: median / best | CPU module / libmodbus µs "
      "|\n|---|---|---|---|---|---|---|---|---|---|---|\n";
  for (int k : kAllKinds) {
    const Kind kind = static_cast<Kind>(k);
    for (unsigned baud : kBauds) {
      const KindFigures& f = ex.at(baud)[static_cast<std::size_t>(k)];
      const double wire = wireMs(baud, requestBytes(kind), replyBytes(kind));
      const double gap = std::max(0.0, gapMs(baud) - kQuietBeforeMs);
      const double slave = gapMs(baud);
      const Summary mod = summarize(f.moduleMs);
      const Summary lib = summarize(f.libMs);
      if (mod.count == 0) fail(std::string("the module made no exchange: ") + kindName(kind));
      if (baud == kPollBaud) pollExchangeMs[static_cast<std::size_t>(k)] = mod.median;
      const double modOver = mod.median - wire - gap - slave;
      const double modBest = mod.min - wire - gap - slave;
      worstOverhead = std::max(worstOverhead, modOver);
      worstBest = std::max(worstBest, modBest);
      std::string libCells = "–", libOver = "–", ratio = "–";
      if (lib.count > 0) {
        const double over = lib.median - wire - slave;
        const double best = lib.min - wire - slave;
        libCells = spread(lib);
        libOver = ms(over) + " / " + ms(best);
        ratio = format("%.2f", modOver / over) + " / " + format("%.2f", modBest / best);
        worstRatio = std::max(worstRatio, modOver / over);
        worstBestRatio = std::max(worstBestRatio, modBest / best);
      } else {
        libCells = f.libNote.empty() ? "no reply" : "cannot¹";
        libNotes = true;
      }
      exchangeTable += std::string("| ") + kindName(kind) + " | " + std::to_string(baud) + " | " + ms(wire) +
                       " | " + ms(gap) + " | " + ms(slave) + " | " + spread(mod) + " | " + ms(modOver) +
                       " / " + ms(modBest) + " | " + libCells + " | " + libOver + " | " + ratio + " | " +
                       format("%.0f", summarize(f.moduleCpuUs).median) + " / " +
                       (lib.count ? format("%.0f", summarize(f.libCpuUs).median) : std::string("–")) + " |\n";
      // libmodbus's failures at a request it cannot make at all are the footnote, not a fault of the line.
      if (f.moduleFailures || (f.libFailures && f.libNote.empty()))
        exchangeTable += "|  | failed exchanges: module " + std::to_string(f.moduleFailures) +
                         ", libmodbus " + std::to_string(f.libFailures) + " |||||||||\n";
    }
  }
  targets +=
      "| Module overhead per exchange beyond wire time, gap and the instrument's 3.5 characters | ≤ 0.5 "
      "ms; ≤ libmodbus's | worst median " +
      ms(worstOverhead) + " ms, worst ratio " + format("%.2f", worstRatio) + " | " +
      verdict(worstOverhead <= 0.5 && worstRatio <= 1.0) + " |\n";
  targets +=
      "| The same, of each kind's best exchange (least disturbed by other work) | ≤ 0.5 ms; ≤ "
      "libmodbus's | worst " +
      ms(worstBest) + " ms, worst ratio " + format("%.2f", worstBestRatio) + " | " +
      verdict(worstBest <= 0.5 && worstBestRatio <= 1.0) + " |\n";
  if (libNotes)
    exchangeTable +=
        "\n¹ libmodbus " LIBMODBUS_VERSION_STRING
        " sends the function-71 request (`modbus_send_raw_request`) "
        "but cannot take its reply: `modbus_receive_confirmation` knows the length of replies to functions "
        "1 to 4, 17 and 23 only, reads a function-71 reply as a 5-byte frame and reports \"Invalid CRC\".\n";

  // An exception instead of a long reply.
  const Summary exception = summarize(measureException(work, o.reps));
  if (exception.count == 0) fail("the controller's exception was never taken as one");
  const double exceptionWire = wireMs(kPollBaud, requestBytes(Kind::ControllerBlock), 5);
  exchangeTable +=
      "\nA controller that answers its block request with an exception (5 bytes instead of the " +
      std::to_string(replyBytes(Kind::ControllerBlock)) + " expected) at " + std::to_string(kPollBaud) +
      " bit/s: the attempt ends " + spread(exception) + " ms after the call (wire " + ms(exceptionWire) +
      ", slave " + ms(gapMs(kPollBaud)) +
      "), then comes the specified 500 ms pause. The reply's header is taken the moment its third byte is "
      "there; while the header read still slept through the whole expected reply, such an attempt took "
      "about 100 ms longer, and so did the cycle for every device that answered so.\n";

  // 2 and 3. Cycles, CPU and memory.
  const std::vector<int> counts = !o.wants(2) && !o.wants(3) ? std::vector<int>{}
                                  : o.tiny                   ? std::vector<int>{1, 5}
                                                             : std::vector<int>{1, 5, 31};
  std::string cycleTable =
      "| Instruments | transactions | formula ms | cycle ms | deviation | excess ms | polling thread's wait "
      "for a CPU, ms a cycle | refresh median ms | refresh p99 ms | refreshes missed | cycles |\n"
      "|---|---|---|---|---|---|---|---|---|---|---|\n";
  std::string cpuTable;
  double deviation31 = NAN, excess31 = NAN, queued31 = NAN, formula31 = NAN;
  double cpuShare31 = NAN, stolen31 = NAN, busyShare31 = NAN, busyDeviation31 = NAN;
  for (int n : counts) {
    Simulator sim(work, n, kPollBaud);
    const fs::path dir = restoredDir(work, n, sim.pty);
    const double formula = cycleFormulaMs(n, pollExchangeMs);
    const double seconds = o.tiny ? 2.5 * formula / 1000 : std::max(25.0, 10 * formula / 1000);
    std::fprintf(stderr, "duzevod-bench: polling %d instruments for %.0f s\n", n, seconds);
    const double stealBefore = stolenMs();
    const HostRun run = runHost(work, dir, "answer no", seconds, {});
    if (n == counts.back()) stolen31 = stolenMs() - stealBefore;
    int transactions = 0;
    for (int a = 1; a <= n; ++a) transactions += static_cast<int>(pollOf(modelAt(a)).size());
    // One row of the cycle table; the deviation, the excess and the wait for a CPU of the run.
    struct CycleRow {
      Summary cycle;
      double deviation, queued;
    };
    const auto cycleRow = [&](const HostRun& r, const std::string& label) {
      const auto values = [&r](const char* key) {
        return summarize(r.values.count(key) ? r.values.at(key) : std::vector<double>{});
      };
      const Summary cycle = values("cycle_ms"), refresh = values("refresh_ms");
      if (cycle.count == 0) fail("no cycle completed with " + std::to_string(n) + " instruments");
      const double deviation = (cycle.median - formula) / formula * 100;
      // A tag whose interval spans more than one and a half cycles missed a refresh: an exchange failed.
      int missed = 0;
      if (r.values.count("refresh_ms"))
        for (double v : r.values.at("refresh_ms"))
          if (v > 1.5 * cycle.median) ++missed;
      // What load adds: the time the polling thread was ready to run but waited for a CPU.
      const double queued = r.get("cpu", 5) / (r.get("cpu", 0) * 1000 / cycle.median);
      cycleTable += "| " + label + " | " + std::to_string(transactions) + " | " + ms(formula) + " | " +
                    spread(cycle) + " | " + format("%+.2f %%", deviation) + " | " +
                    ms(cycle.median - formula) + " | " + ms(queued) + " | " + ms(refresh.median) + " | " +
                    ms(refresh.p99) + " | " + std::to_string(missed) + " of " +
                    std::to_string(refresh.count) + " | " + std::to_string(cycle.count) + " |\n";
      return CycleRow{cycle, deviation, queued};
    };
    const CycleRow row = cycleRow(run, std::to_string(n));
    const Summary& cycle = row.cycle;
    if (n == counts.back()) {
      deviation31 = row.deviation;
      excess31 = cycle.median - formula;
      formula31 = formula;
      queued31 = row.queued;
    }
    if (n == counts.back()) {
      // The same bus once more with no processor left idle: what the polling thread costs without
      // what waking an idle processor costs (which a virtual machine charges to the woken thread).
      std::fprintf(stderr, "duzevod-bench: polling %d instruments again for %.0f s, no processor idle\n", n,
                   seconds / 2);
      HostRun busy;
      {
        const IdleSpinners spinners;
        busy = runHost(work, dir, "answer no", seconds / 2, {});
      }
      busyDeviation31 = cycleRow(busy, std::to_string(n) + ", no processor idle").deviation;
      cpuTable =
          "| Instruments | processors | polling thread per cycle | polling thread, share of one core | host "
          "process per cycle | host process, share of one core | of which the benchmark's reader | polling "
          "thread wake-ups per cycle | polling thread charged per wake-up | resident before load | resident "
          "with the module |\n"
          "|---|---|---|---|---|---|---|---|---|---|---|\n";
      for (const HostRun* r : {&run, static_cast<const HostRun*>(&busy)}) {
        const double window = r->get("cpu", 0), thread = r->get("cpu", 1), process = r->get("cpu", 2),
                     reader = r->get("cpu", 3), wakes = r->get("cpu", 4);
        const double cycles = window * 1000 / cycle.median;
        const double share = thread / (window * 1000) * 100;
        const double perWake = wakes > 0 ? thread * 1000 / wakes : NAN;
        (r == &run ? cpuShare31 : busyShare31) = share;
        cpuTable += "| " + std::to_string(n) + " | " +
                    (r == &run ? std::string("idle between wake-ups") : std::string("kept busy")) + " | " +
                    format("%.3f ms", thread / cycles) + " | " + format("%.4f %%", share) + " | " +
                    format("%.3f ms", process / cycles) + " | " +
                    format("%.4f %%", process / (window * 1000) * 100) + " | " +
                    format("%.4f %%", reader / (window * 1000) * 100) + " | " +
                    format("%.0f", wakes / cycles) + " | " + format("%.1f µs", perWake) + " | " +
                    format("%.1f MB", r->get("rss_kb", 0) / 1024) + " | " +
                    format("%.1f MB", r->get("rss_kb", 2) / 1024) + " |\n";
      }
    }
  }
  if (!counts.empty()) {
    targets += "| Cycle period against the formula, " + std::to_string(counts.back()) +
               " instruments | within 0.5 % | " + format("%+.2f %%", deviation31) + " | " +
               verdict(std::fabs(deviation31) <= 0.5) + " |\n";
    targets += "| (The cycle exceeded the formula by " + ms(excess31) + " ms; the polling thread waited " +
               ms(queued31) + " ms a cycle for a CPU; without those waits the deviation would be about " +
               format("%+.2f %%", (excess31 - queued31) / formula31 * 100) + ".) ||||\n";
    targets += "| (With no processor left idle, as in section 3, the cycle deviated by " +
               format("%+.2f %%", busyDeviation31) + ".) ||||\n";
    targets += "| Polling CPU, " + std::to_string(counts.back()) + " instruments | < 0.1 % of one core | " +
               format("%.4f %%", cpuShare31) + " | " + verdict(cpuShare31 < 0.1) + " |\n";
    targets +=
        "| (With no processor left idle, by work of the lowest priority on each, the polling thread was "
        "charged " +
        format("%.4f %%", busyShare31) +
        " of one core: the difference is what waking an idle processor costs on this machine; see "
        "section 3.) ||||\n";
  }

  wakeCostUs.push_back(cpuPerWakeUpUs(o.tiny ? 50 : 500));
  if (!cpuTable.empty())
    cpuTable +=
        "\nThis machine spends " + format("%.1f", wakeCostUs[0]) + " / " + format("%.1f", wakeCostUs[1]) +
        " µs of CPU on one sleep and wake-up of a thread (a plain 1 ms sleep, before / after the polling "
        "runs); the polling thread's CPU time is mostly its wake-ups (the specified sleeps, a reply's "
        "first byte, its header's end and its body's end, and one more for every 95 ms of a longer body: a "
        "read never sleeps longer unseen, so that a pause of more than 100 ms inside a reply ends the read "
        "as the Win32 time-outs end it), so it scales with that figure, which load and virtualisation "
        "raise several times over a quiet machine's. The machine reported " +
        format("%.0f", stolen31) +
        " ms of CPU time stolen by its hypervisor during the first run. A virtual machine that reports none "
        "charges the woken thread with what the hypervisor spends waking an idle processor, so the second "
        "run keeps every processor busy with work of the lowest priority (which gives way at once, so the "
        "module's timing does not change): the difference between the two rows is that cost, not the "
        "module's.\n";

  // 4. Write latency while the bus is busy.
  const int writeBus = o.tiny ? 5 : 31;
  std::string writeTable;
  if (o.wants(4)) {
    Simulator sim(work, writeBus, kPollBaud);
    const fs::path dir = restoredDir(work, writeBus, sim.pty);
    const fs::path trace = dir / "trace.log";
    const double seconds = o.tiny ? 4 : 90;
    std::fprintf(stderr, "duzevod-bench: writes while polling %d instruments for %.0f s\n", writeBus,
                 seconds);
    const HostRun run = runHost(work, dir, "answer no", seconds, {"--write", "1"}, trace.string());
    std::vector<double> requestTimes;
    std::ifstream t(trace);
    for (std::string line; std::getline(t, line);)
      if (auto at = tracedRequestMs(line, 5)) requestTimes.push_back(*at);
    std::vector<double> toWire, toReturn;
    int ok = 0;
    for (const auto& w : run.writes) {
      if (w.size() < 3) continue;
      toReturn.push_back(w[1]);
      if (w[2] == 1) ++ok;
      // The trace has whole milliseconds: the request of this call is the first not before its second.
      for (double at : requestTimes)
        if (at >= std::floor(w[0]) - 1) {
          toWire.push_back(std::max(0.0, at - w[0]));
          break;
        }
    }
    const Summary wire = summarize(toWire), back = summarize(toReturn);
    double longest = 0;
    for (int a = 1; a <= writeBus; ++a)
      for (Kind k : pollOf(modelAt(a)))
        longest = std::max(longest, pollExchangeMs[static_cast<std::size_t>(k)]);
    const double own = pollExchangeMs[static_cast<std::size_t>(Kind::WriteCoil)];
    const double wireTarget = longest + 10 + 20;
    const double returnTarget = longest + 10 + 20 + own;
    writeTable =
        "| | median ms | p99 ms | max ms | target (p99) ms |\n|---|---|---|---|---|\n| call → frame on the "
        "wire | " +
        ms(wire.median) + " | " + ms(wire.p99) + " | " + ms(wire.max) + " | " + ms(wireTarget) +
        " |\n| call → return | " + ms(back.median) + " | " + ms(back.p99) + " | " + ms(back.max) + " | " +
        ms(returnTarget) + " |\n\n" + std::to_string(run.writes.size()) + " writes (" + std::to_string(ok) +
        " confirmed) to the alarm instrument at address 2 while " + std::to_string(writeBus) +
        " instruments were polled at " + std::to_string(kPollBaud) +
        " bit/s. Target: the longest exchange on this bus (" + ms(longest) +
        " ms, a controller block), which a write may have to wait out, + the specified 10 ms + 20 ms; "
        "the return adds the write's own exchange (" +
        ms(own) + " ms). The frame's time comes from the module's frame trace, in whole milliseconds.\n";
    targets += "| Write latency p99, " + std::to_string(writeBus) +
               " instruments | ≤ one exchange + 10 ms + 20 ms (" + ms(wireTarget) + " ms to the wire) | " +
               ms(wire.p99) + " ms to the wire, " + ms(back.p99) + " ms to the return | " +
               verdict(wire.count > 0 && wire.p99 <= wireTarget && back.p99 <= returnTarget) + " |\n";
  }

  // 5. Search.
  std::string searchTable = "| Limit | present | search s | budget s | difference |\n|---|---|---|---|---|\n";
  const std::vector<std::pair<int, int>> searches =
      !o.wants(5) ? std::vector<std::pair<int, int>>{}
      : o.tiny    ? std::vector<std::pair<int, int>>{{3, 3}}
                  : std::vector<std::pair<int, int>>{{31, 0}, {31, 5}, {31, 31}};
  for (const auto& [limit, present] : searches) {
    Simulator sim(work, present, kPollBaud);
    const fs::path dir = work.file("search");
    fs::create_directories(dir);
    std::fprintf(stderr, "duzevod-bench: search of %d addresses with %d instruments\n", limit, present);
    const std::string script = "dialog port=" + sim.pty + " speed=" + std::to_string(kPollBaud) +
                               " parity=N stop=2 limit=" + std::to_string(limit) + " search\ndialog exit";
    const HostRun run = runHost(work, dir, script, 0.2, {});
    const double measured = run.get("load_ms") / 1000,
                 budget = searchBudgetMs(kPollBaud, limit, present) / 1000;
    searchTable += "| " + std::to_string(limit) + " | " + std::to_string(present) + " | " +
                   format("%.2f", measured) + " | " + format("%.2f", budget) + " | " +
                   format("%+.2f %%", (measured - budget) / budget * 100) + " |\n";
  }

  // 6. Load time.
  std::string loadTable;
  if (o.wants(6)) {
    const int n = 5;
    Simulator sim(work, n, kPollBaud);
    std::vector<double> loads, firsts;
    const int reps = o.tiny ? 1 : 5;
    std::fprintf(stderr, "duzevod-bench: %d loads with a restored configuration\n", reps);
    for (int r = 0; r < reps; ++r) {
      const fs::path dir = restoredDir(work, n, sim.pty);
      const HostRun run = runHost(work, dir, "answer no", 0.1, {});
      loads.push_back(run.get("load_ms"));
      firsts.push_back(run.get("first_value_ms"));
    }
    const double expected = 1000 + 50 + 10 + pollExchangeMs[static_cast<std::size_t>(Kind::ControllerBlock)];
    const Summary l = summarize(loads), f = summarize(firsts);
    loadTable = "| | median ms | min–max ms |\n|---|---|---|\n| load call (the whole start-up) | " +
                ms(l.median) + " | " + ms(l.min) + "–" + ms(l.max) +
                " |\n| load call → first published value | " + ms(f.median) + " | " + ms(f.min) + "–" +
                ms(f.max) + " |\n| expected: 1000 + 50 + 10 ms + the first exchange | " + ms(expected) +
                " | |\n";
  }

  const double minutes = (monotonicMs() - started) / 60000;
  page =
      "# Performance\n\nWritten by `scripts/bench.sh`" + std::string(o.tiny ? " --tiny" : "") +
      " (the program `duzevod-bench`, built from `bench/`); rerun it to measure your machine. All "
      "measurements of one run, interleaved where two things are compared. Figures are medians with "
      "the interquartile range in brackets.\n\n## Machine\n\n" +
      machine() + "- Load average: " + loadBefore + " before, " + loadAverage() + " after the run (" +
      format("%.1f", minutes) + " min)\n" + (o.note.empty() ? "" : "- " + o.note + "\n") +
      "\n## Targets\n\n| Target | wanted | measured | |\n|---|---|---|---|\n" + targets +
      "\n## 1. Exchange time\n\nOne `Transaction` of the module (from the call to the checked reply) and "
      "libmodbus making the same request on the same paced line, " +
      std::to_string(o.reps) +
      " times each, turn about, each request after 10 ms of a quiet line, as polling makes them. *Wire*: "
      "request and reply at 11 bits a character. *Gap*: what the module still waits of the specified "
      "silence before a request (3.5 characters, at least 1.75 ms) when it starts: that silence less the "
      "quiet the line has already had, so none here, as while polling; libmodbus waits none. "
      "*Slave*: the instrument's own 3.5 characters before it answers. Overheads are the exchange time minus "
      "wire, slave and (the module's) gap, of the median and of the best (fastest) exchange; other work on "
      "the machine only ever adds to an exchange, so the best one shows the masters' own cost. Times in "
      "ms.\n\n" +
      exchangeTable +
      "\n## 2. Cycle period and refresh interval\n\nThe module loaded with a restored configuration by the "
      "lean host `duzevod-bench-host`, at " +
      std::to_string(kPollBaud) +
      " bit/s; instruments in address order controller, alarm instrument, thermocouple, resistance "
      "thermometer, current loop, and again. *Formula*: 1000 ms + 50 ms a device + 10 ms and the measured "
      "exchange (table 1) a transaction. The refresh interval is the time between two publications of a "
      "tag, from the timestamps the module gave them, over every data tag. *Wait for a CPU*: the time the "
      "polling thread was ready to run but another program had the processor (the kernel's scheduler "
      "statistics): what load adds to the specified sleeps, which the formula cannot know. A *missed* "
      "refresh is an interval of more than one and a half cycles: an exchange of that device failed. The "
      "last row is the second run of section 3, with no processor left idle.\n\n" +
      cycleTable +
      "\n## 3. CPU time and memory\n\nOver the polling run above, from the first published value "
      "on; CPU times are the kernel's own accounting of the thread and the process.\n\n" +
      cpuTable + "\n## 4. Write latency\n\n" + writeTable +
      "\n## 5. Search\n\nThe whole load with a scripted operator who searches and leaves; the budget is 10 "
      "ms "
      "an address and, for a silent one, five attempts of 506 ms read time-out + 500 ms pause, for a "
      "present one its identification (and a transducer's parameter) exchange; the module's inter-frame "
      "gap once, before its first request (every later one follows a line quiet for longer).\n\n" +
      searchTable + "\n## 6. Load time\n\nFive instruments, restored configuration.\n\n" + loadTable;

  std::fputs(page.c_str(), stdout);
  if (!o.out.empty()) {
    std::ofstream out(o.out);
    out << page;
    if (!out) fail("cannot write " + o.out);
  }
  std::error_code ec;
  fs::remove_all(work.dir, ec);
  return 0;
}
