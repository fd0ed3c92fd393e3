// duzevod-bench: measures the module on a paced simulator line against wire time, against libmodbus
// and against its own cycle formula, and writes the figures as one page.
#include <modbus/modbus.h>
#ifdef DUZ_MQTT
#include <mosquitto.h>
#include <pwd.h>

#include <mutex>
#include <nlohmann/json.hpp>

#include "sparkplug_b.pb.h"
#endif
#include <pthread.h>
#include <sched.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
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
#include "loopback.h"
#include "platform/system.h"
#include "simulator.h"

namespace {

using namespace duz::bench;
using duz::tools::BusText;
using duz::tools::Child;
using duz::tools::ChildSetup;
using duz::tools::monotonicMs;
namespace fs = std::filesystem;

const char kHelp[] = R"(Usage: duzevod-bench [--tiny] [--out FILE] [--reps N]

Measures the module (libduzevod.so) on the bus simulator's paced line (duzevod-sim --pace: wire time
as on a real line at 11 bits a character) beside duzevod-bench-ref, a libmodbus poller making the same
requests with the same waits, and prints one page: a table of verdicts first, then
  1. exchange time per request kind at 9600, 19200 and 115200 bit/s, the module's Transaction and
     libmodbus turn about on the same line: overhead beyond the line's time, paired differences;
  2. the cycle at 31 instruments, three runs of 30 cycles, against the formula from wire time, the
     instruments' turnaround and the fixed waits;
  3. per cycle: wake-ups against their floor, system calls (strace) and user-space instructions
     (valgrind's callgrind) beside the reference, CPU time and memory;
  4. scaling: 1, 5 and 31 instruments;
  5. a sick bus: 3 silent instruments, 1 with bad CRCs, noise;
  6. write latency of SetBitTagValue to the write's last byte on the line (the simulator's record);
  7. search time against the search's own time budgets;
  8. load time with a restored configuration to the first published value;
  9. the MQTT gateway, JSON and Sparkplug B: latency from a reply on the line to a subscriber.
The full run takes about 14 minutes.
Options:
  --tiny      one quick pass of everything (about a minute; proves the benchmark works)
  --out FILE  also write the page to FILE (scripts/bench.sh: docs/performance.md)
  --reps N    exchanges of each kind and speed per master (default 30; --tiny: 2)
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
  int reps = 30;
  std::string out;
  std::string note;
  std::string only;
  bool wants(int section) const {
    return only.empty() || only.find(std::to_string(section)) != std::string::npos;
  }
};

// Progress on stderr, each line with the minutes and seconds since the run began: the full run has a
// time budget, and this shows which measurement spends it.
double progressStartMs = monotonicMs();
__attribute__((format(printf, 1, 2))) void progress(const char* f, ...) {
  const double s = (monotonicMs() - progressStartMs) / 1000;
  std::fprintf(stderr, "duzevod-bench [%2d:%04.1f]: ", static_cast<int>(s / 60), std::fmod(s, 60));
  va_list args;
  va_start(args, f);
  std::vfprintf(stderr, f, args);
  va_end(args);
}

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

fs::path busFile(Work& work, int devices, const std::string& more, const Faults& faults) {
  BusText bus;
  for (int a = 1; a <= devices; ++a) {
    busDevice(bus, a);
    if (std::count(faults.silent.begin(), faults.silent.end(), a)) bus.set("fault silent");
    if (std::count(faults.badCrc.begin(), faults.badCrc.end(), a)) bus.set("fault badcrc");
  }
  return writeFile(work.file("bus"), bus.text() + more);
}

// The paced simulator at `baud`, with replies right after the instrument's 3.5 characters; `more`
// goes on with the last device's settings. With a `record` file it records what it serves there.
struct Simulator {
  Simulator(Work& work, int devices, unsigned baud, const std::string& more = "", const Faults& faults = {},
            const std::string& record = "")
      : process(DUZ_SIM, options(work, devices, baud, more, faults, record),
                {.input = true, .errorFile = work.file("sim-stderr").string(), .parentDeathSignal = SIGTERM}),
        pty(process.path()) {
    if (!process.started()) fail("the simulator did not start");
  }
  static std::vector<std::string> options(Work& work, int devices, unsigned baud, const std::string& more,
                                          const Faults& faults, const std::string& record) {
    std::vector<std::string> o = {"--bus",  busFile(work, devices, more, faults).string(),
                                  "--baud", std::to_string(baud),
                                  "--pace", "--turnaround",
                                  "0"};
    if (!record.empty()) o.insert(o.end(), {"--record", record});
    return o;
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

// A program on the PATH, by its full path (the programs are started without a shell).
std::string onPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  fail(name + " is needed and not installed (scripts/install-deps.sh)");
}

// A program of the benchmark, run while others may run beside it; its "key value…" lines are read
// when it ends. Like the simulators, it is ended with the benchmark, also when a failure ends that.
struct Running {
  std::unique_ptr<Child> child;
  fs::path errors;
  double budgetS = 0;
};

Running startHost(Work& work, const fs::path& dir, const std::string& script, double seconds,
                  const std::vector<std::string>& extra, const std::vector<std::string>& prefix = {},
                  const std::string& trace = "") {
  std::vector<std::string> argv = prefix;
  argv.insert(argv.end(), {DUZ_BENCH_HOST, "--module", DUZ_MODULE, "--seconds", format("%.3f", seconds)});
  argv.insert(argv.end(), extra.begin(), extra.end());
  Running r;
  r.errors = work.file("host-stderr");
  // A search of 31 silent addresses takes some 160 s; give everything room.
  r.budgetS = seconds + 400;
  r.child = std::make_unique<Child>(ChildSetup{
      .argv = argv,
      .env = {{"DUZEVOD_DIR", dir.string()}, {"DUZEVOD_OPERATOR", script}, {"DUZEVOD_TRACE", trace}},
      .input = false,
      .errorFile = r.errors.string(),
      .parentDeathSignal = SIGTERM});
  return r;
}

Running startReference(Work& work, const std::string& pty, int devices, double seconds,
                       const std::vector<std::string>& prefix = {}) {
  std::vector<std::string> argv = prefix;
  argv.insert(argv.end(), {DUZ_BENCH_REF, "--port", pty, "--baud", std::to_string(kPollBaud), "--devices",
                           std::to_string(devices), "--seconds", format("%.3f", seconds)});
  Running r;
  r.errors = work.file("ref-stderr");
  r.budgetS = seconds + 120;
  r.child = std::make_unique<Child>(
      ChildSetup{.argv = argv, .input = false, .errorFile = r.errors.string(), .parentDeathSignal = SIGTERM});
  return r;
}

HostRun finish(Running& running) {
  HostRun run;
  const double end = monotonicMs() + running.budgetS * 1000;
  while (auto line = running.child->readLine(static_cast<int>(std::max(1.0, end - monotonicMs())))) {
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
  if (running.child->wait(10000) != 0) fail("a run failed (see " + running.errors.string() + ")");
  return run;
}

HostRun runHost(Work& work, const fs::path& dir, const std::string& script, double seconds,
                const std::vector<std::string>& extra, const std::string& trace = "") {
  Running r = startHost(work, dir, script, seconds, extra, {}, trace);
  return finish(r);
}

// ---- 1. exchanges ---------------------------------------------------------------------------------

struct KindFigures {
  std::vector<double> moduleMs, libMs, moduleCpuUs, libCpuUs;
  std::vector<double> pairedModuleMs, pairedLibMs;  // both of one turn about, where both answered
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
        double got[2] = {NAN, NAN};
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
          got[ours ? 0 : 1] = t1 - t0;
        }
        if (std::isfinite(got[0]) && std::isfinite(got[1])) {
          f.pairedModuleMs.push_back(got[0]);
          f.pairedLibMs.push_back(got[1]);
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

// ---- counts that do not depend on the machine ------------------------------------------------------

// System calls in an `strace -f -ttt` log file (see systemCallsIn).
std::map<std::string, double> systemCalls(const fs::path& log, int tid, double fromS, double toS) {
  std::ifstream in(log);
  return systemCallsIn(in, tid, fromS, toS);
}

double total(const std::map<std::string, double>& counts) {
  double sum = 0;
  for (const auto& [name, n] : counts) sum += n;
  return sum;
}

// The instructions callgrind counted (its "summary:" line).
double callgrindInstructions(const fs::path& out) {
  std::ifstream in(out);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("summary:", 0) == 0) return std::atof(line.c_str() + 8);
  return NAN;
}

// The functions callgrind_annotate lists, in its order: each one's count as printed ("  1,234 (56.7%)")
// and its name without file and object ("1,234 (56.7%)  /path/file.cpp:duz::f(…) [/path/lib.so]").
struct AnnotatedFunction {
  std::string count, function;
};
std::vector<AnnotatedFunction> annotatedFunctions(const fs::path& out, bool inclusive) {
  const std::string command = std::string("callgrind_annotate --inclusive=") + (inclusive ? "yes" : "no") +
                              " --threshold=100 '" + out.string() + "' 2>/dev/null";
  std::vector<AnnotatedFunction> functions;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    bool body = false;
    while (std::fgets(buffer, sizeof buffer, pipe)) {
      std::string line = buffer;
      if (line.find("file:function") != std::string::npos) {
        body = true;
        continue;
      }
      const auto paren = line.find(')');
      if (!body || paren == std::string::npos) continue;
      const auto colon = line.find(':', paren);
      const auto bracket = line.rfind(" [");
      std::string function = colon == std::string::npos ? line.substr(paren + 1) : line.substr(colon + 1);
      if (bracket != std::string::npos && bracket > colon)
        function = line.substr(colon + 1, bracket - colon - 1);
      while (!function.empty() && std::isspace(static_cast<unsigned char>(function.back())))
        function.pop_back();
      functions.push_back({line.substr(0, paren + 1), function});
    }
    pclose(pipe);
  }
  return functions;
}

// The instructions of `names` and all they call, summed (inclusive counts).
double callgrindInclusive(const fs::path& out, const std::vector<std::string>& names) {
  double sum = 0;
  for (const AnnotatedFunction& f : annotatedFunctions(out, true)) {
    if (std::find(names.begin(), names.end(), f.function) == names.end()) continue;
    std::string digits;
    for (char c : f.count.substr(0, f.count.find('(')))
      if (std::isdigit(static_cast<unsigned char>(c))) digits += c;
    sum += std::atof(digits.c_str());
  }
  return sum;
}

// The functions that cost most by their own instructions, shortened for the page.
std::string callgrindProfile(const fs::path& out, int lines) {
  const std::vector<AnnotatedFunction> functions = annotatedFunctions(out, false);
  std::string text;
  for (std::size_t i = 0; i < functions.size() && i < static_cast<std::size_t>(lines); ++i) {
    std::string function = functions[i].function;
    if (function.size() > 90) function = function.substr(0, 87) + "...";
    text += functions[i].count + "  " + function + "\n";
  }
  return text;
}

// The simulator's record, read whole.
std::vector<RecordLine> readRecord(const fs::path& path) {
  std::vector<RecordLine> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    if (auto r = parseRecordLine(line)) lines.push_back(std::move(*r));
  return lines;
}

// Requests the simulator received for `address`: in the benchmark's buses, one a cycle for address 1.
int requestsTo(const std::vector<RecordLine>& record, int address) {
  int n = 0;
  for (const RecordLine& r : record)
    if (r.what == "rx" && !r.bytes.empty() && r.bytes[0] == address) ++n;
  return n;
}

// ---- the gateway -----------------------------------------------------------------------------------

#ifdef DUZ_MQTT
// A subscriber of the gateway's topics: each message's time of receipt (Unix ms, taken in the client
// library's callback) and payload. Retained messages (what was there before) are left out.
class GatewaySubscriber {
 public:
  struct Message {
    double unixMs;
    std::string topic, payload;
  };
  GatewaySubscriber(int port, const std::string& filter) : filter_(filter) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    if (!client_) fail("cannot make an MQTT client");
    mosquitto_connect_callback_set(client_, [](mosquitto* m, void* self, int rc) {
      if (rc == 0) mosquitto_subscribe(m, nullptr, static_cast<GatewaySubscriber*>(self)->filter_.c_str(), 1);
    });
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
      timespec t{};
      clock_gettime(CLOCK_REALTIME, &t);
      if (m->retain) return;
      auto* s = static_cast<GatewaySubscriber*>(self);
      const std::lock_guard lock(s->mutex_);
      s->messages_.push_back(
          {static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6, m->topic,
           std::string(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen))});
    });
    // The broker may still be starting.
    for (int i = 0; mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS; ++i) {
      if (i == 50) fail("the broker does not accept connections");
      usleep(100'000);
    }
    mosquitto_loop_start(client_);
  }
  ~GatewaySubscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, true);
    mosquitto_destroy(client_);
    mosquitto_lib_cleanup();
  }
  GatewaySubscriber(const GatewaySubscriber&) = delete;
  GatewaySubscriber& operator=(const GatewaySubscriber&) = delete;
  std::vector<Message> messages() {
    const std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  std::string filter_;
  mosquitto* client_ = nullptr;
  std::mutex mutex_;
  std::vector<Message> messages_;
};

// The time a JSON payload's value was taken ("timestamp":"2026-12-08T10:05:01.204Z"), Unix ms.
std::optional<double> jsonValueTimeMs(const std::string& payload) {
  const auto j = nlohmann::json::parse(payload, nullptr, false);
  if (!j.is_object() || !j.contains("timestamp") || !j["timestamp"].is_string()) return std::nullopt;
  return tracedRequestMs(j["timestamp"].get<std::string>() + " tx 00 00", 0);
}

// A Sparkplug B DDATA's newest tag value (tags carry their Quality; the link figures do not), ms UTC.
std::optional<double> sparkplugValueTimeMs(const std::string& payload) {
  duz::sparkplug::Payload p;
  if (!p.ParseFromString(payload)) return std::nullopt;
  std::optional<double> newest;
  for (const auto& m : p.metrics())
    if (m.has_properties() && m.properties().keys_size() && m.properties().keys(0) == "Quality" &&
        m.timestamp())
      newest = std::max(newest.value_or(0), static_cast<double>(m.timestamp()));
  return newest;
}

struct GatewayFigures {
  Summary latency;
  std::size_t messages = 0, unmatched = 0;
  double cpuShare = NAN, residentKb = NAN, seconds = 0;
};

// The gateway publishing the full bus to a broker of its own: from the simulator's record of each
// reply's last byte to a subscriber's receipt of the value it carried. `options` and `valueTimeMs` make
// the mode (JSON, Sparkplug B). Each has its own line and broker, so two can be measured side by side:
// start both, begin() both once they poll, end() both after the window, then figures().
class GatewayRun {
 public:
  GatewayRun(Work& work, int devices, const std::vector<std::string>& options, const std::string& topics,
             std::optional<double> (*valueTimeMs)(const std::string&))
      : record_(work.file("record")),
        errors_(work.file("gateway-stderr")),
        valueTimeMs_(valueTimeMs),
        sim_(work, devices, kPollBaud, "", {}, record_.string()),
        port_(duz::tools::freeLoopbackPort()) {
    // Every transducer's value moves, so that every poll publishes.
    for (int a = 1; a <= devices; ++a)
      if (modelAt(a) != Model::Controller && modelAt(a) != Model::Alarm)
        sim_.process.command(std::to_string(a) + " drift raw 1000 7000 " + std::to_string(7 + a % 5));
    const fs::path dir = restoredDir(work, devices, sim_.pty);
    const fs::path conf =
        writeFile(work.file("mosquitto.conf"), "listener " + std::to_string(port_) +
                                                   " 127.0.0.1\npersistence false\nallow_anonymous true\n");
    const passwd* user = getpwuid(geteuid());
    std::ofstream(conf, std::ios::app) << "user " << (user ? user->pw_name : "root") << "\n";
    broker_.emplace(ChildSetup{.argv = {onPath("mosquitto"), "-c", conf.string()},
                               .input = false,
                               .errorFile = work.file("mosquitto-stderr").string()});
    subscriber_.emplace(port_, topics);
    std::vector<std::string> argv = {
        DUZ_MQTT,   "--module", DUZ_MODULE, "--broker", "127.0.0.1:" + std::to_string(port_),
        "--prefix", "bench"};
    argv.insert(argv.end(), options.begin(), options.end());
    gateway_.emplace(ChildSetup{.argv = argv,
                                .env = {{"DUZEVOD_DIR", dir.string()}, {"DUZEVOD_OPERATOR", "answer no"}},
                                .input = false,
                                .errorFile = errors_.string(),
                                .outputToErrors = true});
  }

  // The window for its CPU time and memory.
  void begin() {
    t0_ = monotonicMs();
    c0_ = cpuTicks();
  }
  void end() {
    const double c1 = cpuTicks();
    g_.seconds = (monotonicMs() - t0_) / 1000;
    g_.cpuShare = (c1 - c0_) / static_cast<double>(sysconf(_SC_CLK_TCK)) / g_.seconds * 100;
    std::ifstream status("/proc/" + std::to_string(gateway_->pid()) + "/status");
    for (std::string key; status >> key;)
      if (key == "VmRSS:") {
        status >> g_.residentKb;
        break;
      }
    if (gateway_->ended()) fail("the gateway stopped (see " + errors_.string() + ")");
    gateway_.reset();
  }

  GatewayFigures figures() {
    // Each value's reply: the last one that began before the value's time (which the module takes right
    // after the reply, in whole milliseconds); the next request follows 10 ms after it.
    std::vector<std::pair<double, double>> replies;  // start, last byte (ms)
    for (const RecordLine& r : readRecord(record_))
      if (r.what == "tx")
        replies.emplace_back(r.us / 1000,
                             r.us / 1000 + static_cast<double>(r.bytes.size()) * characterMs(kPollBaud));
    std::vector<double> latencies;
    for (const auto& m : subscriber_->messages()) {
      const auto taken = valueTimeMs_(m.payload);
      if (!taken) continue;
      ++g_.messages;
      const auto after =
          std::upper_bound(replies.begin(), replies.end(), std::pair<double, double>{*taken + 1, INFINITY});
      if (after == replies.begin() || *taken + 1 - (after - 1)->second > 10 + 1) {
        ++g_.unmatched;
        continue;
      }
      latencies.push_back(m.unixMs - (after - 1)->second);
    }
    g_.latency = summarize(latencies);
    return g_;
  }

 private:
  double cpuTicks() const {
    std::ifstream stat("/proc/" + std::to_string(gateway_->pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream after(text.substr(text.rfind(')') + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && after >> field; ++i)
      if (i == 14)
        utime = std::atof(field.c_str());
      else if (i == 15)
        stime = std::atof(field.c_str());
    return utime + stime;
  }

  fs::path record_, errors_;
  std::optional<double> (*valueTimeMs_)(const std::string&);
  Simulator sim_;
  int port_;
  std::optional<Child> broker_;
  std::optional<GatewaySubscriber> subscriber_;
  std::optional<Child> gateway_;
  double t0_ = 0, c0_ = 0;
  GatewayFigures g_;
};
#endif

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

std::string firstWord(const char* path) {
  std::ifstream f(path);
  std::string word;
  f >> word;
  return word.empty() ? "unknown" : word;
}

std::string machine(double stealDuringMs) {
  utsname u{};
  uname(&u);
  char date[64];
  const time_t now = time(nullptr);
  strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&now));
  std::ifstream cpuinfo("/proc/cpuinfo");
  bool hypervisor = false;
  for (std::string line; !hypervisor && std::getline(cpuinfo, line);)
    hypervisor = line.rfind("flags", 0) == 0 && line.find(" hypervisor") != std::string::npos;
  const double stealSinceBoot = stolenMs();
  return std::string("- Date: ") + date + "\n- Processor: " + firstLineOf("/proc/cpuinfo", "model name") +
         ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) +
         " online\n- Memory: " + firstLineOf("/proc/meminfo", "MemTotal") + "\n- System: " + u.sysname + " " +
         u.release + " " + u.machine + "\n- Virtual machine: " +
         (hypervisor ? "yes (the processor reports a hypervisor)" : "no hypervisor reported") +
         "\n- Clock source: " +
         firstWord("/sys/devices/system/clocksource/clocksource0/current_clocksource") +
         "\n- Stolen time: " + format("%.0f", stealDuringMs) + " ms during the run, " +
         format("%.0f", stealSinceBoot) + " ms since boot" +
         (hypervisor && stealSinceBoot == 0
              ? " (this hypervisor does not report stolen time: CPU figures include "
                "what it takes)"
              : "") +
         "\n- libmodbus " LIBMODBUS_VERSION_STRING "\n";
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
  const double stealBefore = stolenMs();
  const double started = monotonicMs();
  std::string page;
  std::string targets;

  // 1. Exchanges.
  progress("exchanges, %d of each kind and speed per master\n", o.reps);
  const ExchangeFigures ex = measureExchanges(work, o.reps);
  double worstP50 = 0, worstDiff = -INFINITY;
  int compared = 0, slower = 0;
  bool libNotes = false;
  std::string exchangeTable =
      "| Request | bit/s | line | module overhead p50 / p99 / max | libmodbus overhead p50 / p99 / max | "
      "module − libmodbus, mean [95 % interval] | pairs | CPU µs module / libmodbus |\n"
      "|---|---|---|---|---|---|---|---|\n";
  for (int k : kAllKinds) {
    const Kind kind = static_cast<Kind>(k);
    for (unsigned baud : kBauds) {
      const KindFigures& f = ex.at(baud)[static_cast<std::size_t>(k)];
      // Nothing of the master's: wire time and the instrument's 3.5 characters (the module's own gap is
      // covered by the 10 ms of quiet line before each request).
      const double line = exchangeFormulaMs(baud, kind);
      const auto overheads = [line](const std::vector<double>& times) {
        std::vector<double> over;
        for (double t : times) over.push_back(t - line);
        return summarize(over);
      };
      const Summary mod = overheads(f.moduleMs), lib = overheads(f.libMs);
      if (mod.count == 0) fail(std::string("the module made no exchange: ") + kindName(kind));
      worstP50 = std::max(worstP50, mod.median);
      const auto three = [](const Summary& v) {
        return ms(v.median) + " / " + ms(v.p99) + " / " + ms(v.max);
      };
      std::string libCells = "–", diff = "–";
      if (lib.count > 0) {
        libCells = three(lib);
        const Paired d = pairedDifference(f.pairedModuleMs, f.pairedLibMs);
        if (d.count > 0) {
          diff =
              format("%+.3f", d.mean) + " [" + format("%+.3f", d.low) + ", " + format("%+.3f", d.high) + "]";
          ++compared;
          if (d.low > 0) ++slower;
          worstDiff = std::max(worstDiff, d.mean);
        }
      } else {
        libCells = f.libNote.empty() ? "no reply" : "cannot¹";
        libNotes = true;
      }
      exchangeTable += std::string("| ") + kindName(kind) + " | " + std::to_string(baud) + " | " + ms(line) +
                       " | " + three(mod) + " | " + libCells + " | " + diff + " | " +
                       std::to_string(f.pairedModuleMs.size()) + " | " +
                       format("%.0f", summarize(f.moduleCpuUs).median) + " / " +
                       (lib.count ? format("%.0f", summarize(f.libCpuUs).median) : std::string("–")) + " |\n";
      // libmodbus's failures at a request it cannot make at all are the footnote, not a fault of the line.
      if (f.moduleFailures || (f.libFailures && f.libNote.empty()))
        exchangeTable += "|  | failed exchanges: module " + std::to_string(f.moduleFailures) +
                         ", libmodbus " + std::to_string(f.libFailures) + " ||||||\n";
    }
  }
  targets += "| Exchange overhead, worst p50 | ≤ 0.5 ms | " + ms(worstP50) + " ms | " +
             verdict(worstP50 <= 0.5) + " |\n";
  // Not slower than libmodbus: no kind's interval lies wholly above zero.
  targets += "| Exchange vs libmodbus, paired | no kind slower (95 %) | " + std::to_string(slower) + " of " +
             std::to_string(compared) + " slower, worst mean " + format("%+.3f", worstDiff) + " ms | " +
             verdict(slower == 0) + " |\n";
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
      "), then comes the fixed 500 ms pause: such a controller costs the cycle " +
      ms(exception.median + 500) + " ms where its block costs " +
      ms(exchangeFormulaMs(kPollBaud, Kind::ControllerBlock)) +
      " (line time); the attempt's own share beyond the exception's line time is " +
      ms(exception.median - exceptionWire - gapMs(kPollBaud)) +
      " ms. The reply's header is taken the moment its third byte is there; while the header read still "
      "slept "
      "through the whole expected reply, such an attempt took about 100 ms longer, and so did the cycle for "
      "every device that answered so.\n";

  // The module and the reference poller side by side, each on a simulated line of its own with the same
  // bus; the module loaded with a restored configuration by the lean host. `wrap` runs both under a
  // counting tool.
  struct Pair {
    HostRun module, reference;
    std::vector<RecordLine> moduleRecord, referenceRecord;
  };
  // A pair runs on lines of its own, so pairs whose figures do not depend on load (counts of
  // instructions and system calls) can run side by side: start both, then finish both.
  struct StartedPair {
    std::unique_ptr<Simulator> a, b;
    fs::path recordA, recordB;
    Running module, reference;
  };
  const auto startPair = [&](int n, double seconds, const Faults& faults, const std::string& noise,
                             const std::vector<std::string>& wrapModule,
                             const std::vector<std::string>& wrapReference, bool record) {
    StartedPair s;
    if (record) {
      s.recordA = work.file("record");
      s.recordB = work.file("record");
    }
    s.a = std::make_unique<Simulator>(work, n, kPollBaud, "", faults, s.recordA.string());
    s.b = std::make_unique<Simulator>(work, n, kPollBaud, "", faults, s.recordB.string());
    if (!noise.empty() && (s.a->process.command(noise) != "ok" || s.b->process.command(noise) != "ok"))
      fail("the simulator took no '" + noise + "'");
    const fs::path dir = restoredDir(work, n, s.a->pty);
    s.module = startHost(work, dir, "answer no", seconds, {}, wrapModule);
    s.reference = startReference(work, s.b->pty, n, seconds, wrapReference);
    return s;
  };
  const auto finishPair = [](StartedPair& s) {
    Pair p;
    p.module = finish(s.module);
    p.reference = finish(s.reference);
    if (!s.recordA.empty()) {
      p.moduleRecord = readRecord(s.recordA);
      p.referenceRecord = readRecord(s.recordB);
    }
    return p;
  };
  const auto runPair = [&](int n, double seconds, const Faults& faults, const std::string& noise,
                           const std::vector<std::string>& wrapModule,
                           const std::vector<std::string>& wrapReference, bool record) {
    StartedPair s = startPair(n, seconds, faults, noise, wrapModule, wrapReference, record);
    return finishPair(s);
  };
  // What one side of a pair cost: its cycle, and per cycle its wake-ups and CPU time.
  struct Cost {
    Summary cycle;
    double meanCycle = NAN, cycles = NAN, wakes = NAN, cpuMs = NAN, share = NAN, queuedMs = NAN;
  };
  const auto costOf = [](const HostRun& r, bool module) {
    Cost c;
    const auto found = r.values.find("cycle_ms");
    if (found == r.values.end() || found->second.empty()) fail("a run completed no cycle");
    c.cycle = summarize(found->second);
    double sum = 0;
    for (double v : found->second) sum += v;
    c.meanCycle = sum / static_cast<double>(found->second.size());
    const double window = r.get("cpu", 0);
    c.cycles = window * 1000 / c.meanCycle;
    c.cpuMs = r.get("cpu", 1) / c.cycles;
    c.wakes = r.get("cpu", module ? 4 : 2) / c.cycles;
    c.share = r.get("cpu", 1) / (window * 1000) * 100;
    if (module) c.queuedMs = r.get("cpu", 5) / c.cycles;
    return c;
  };
  const auto mb = [](double kb) { return format("%.1f MB", kb / 1024); };

  // 2. The cycle at the full bus: three runs, each of at least 30 cycles.
  const int full = o.tiny ? 5 : 31;
  const double fullFormula = cycleFormulaMs(full, kPollBaud);
  const int fullFloor = wakeUpFloor(full);
  std::vector<Pair> fullRuns;
  std::vector<Cost> fullModule, fullReference;
  std::string cycleTable =
      "| Run | cycles | formula ms | module cycle p50 [IQR] | p99 | max | deviation | module overhead ms a "
      "cycle | "
      "of it waiting for a CPU | reference cycle p50 | reference deviation | module − reference ms |\n"
      "|---|---|---|---|---|---|---|---|---|---|---|---|\n";
  std::vector<double> besideReference;
  double worstDeviation = 0;
  std::string deviations;
  if (o.wants(2) || o.wants(3)) {
    const int runs = o.tiny ? 1 : 3, cycles = o.tiny ? 3 : 30;
    for (int run = 1; run <= runs; ++run) {
      progress("polling %d instruments, run %d of %d (%d cycles)\n", full, run, runs, cycles);
      fullRuns.push_back(runPair(full, (cycles + 0.6) * fullFormula / 1000, {}, "", {}, {}, false));
      const Cost m = costOf(fullRuns.back().module, true), r = costOf(fullRuns.back().reference, false);
      fullModule.push_back(m);
      fullReference.push_back(r);
      const double deviation = (m.cycle.median - fullFormula) / fullFormula * 100;
      if (std::fabs(deviation) > std::fabs(worstDeviation)) worstDeviation = deviation;
      deviations += (deviations.empty() ? "" : " / ") + format("%+.2f", deviation);
      cycleTable += "| " + std::to_string(run) + " | " + std::to_string(m.cycle.count) + " | " +
                    ms(fullFormula) + " | " + spread(m.cycle) + " | " + ms(m.cycle.p99) + " | " +
                    ms(m.cycle.max) + " | " + format("%+.2f %%", deviation) + " | " +
                    ms(m.cycle.median - fullFormula) + " | " + ms(m.queuedMs) + " | " + ms(r.cycle.median) +
                    " | " + format("%+.2f %%", (r.cycle.median - fullFormula) / fullFormula * 100) + " | " +
                    format("%+.2f", m.cycle.median - r.cycle.median) + " |\n";
      besideReference.push_back(m.cycle.median - r.cycle.median);
    }
    targets += "| Cycle, " + std::to_string(full) + " instruments, " + std::to_string(runs) +
               " runs | within 0.5 % of the formula | " + deviations + " % | " +
               verdict(std::fabs(worstDeviation) <= 0.5) + " |\n";
    std::vector<double> over, queued;
    for (const Cost& m : fullModule) {
      over.push_back(m.cycle.median - fullFormula);
      queued.push_back(m.queuedMs);
    }
    targets += "| Module overhead a cycle (cycle − formula) | shown, no target | " +
               ms(summarize(over).median) + " ms, " + ms(summarize(queued).median) +
               " of it waiting for a CPU | – |\n";
    std::string beside;
    for (double d : besideReference) beside += (beside.empty() ? "" : " / ") + format("%+.1f", d);
    // The reference runs at the same time under the same load: what both exceed by is the machine's.
    targets += "| Cycle beside the reference, same runs | not longer | " + beside + " ms | " +
               verdict(summarize(besideReference).max <= 0) + " |\n";
  }

  // 3. Cost that does not depend on the machine: wake-ups (above), system calls (strace) and user-space
  // instructions (callgrind), each beside the reference.
  std::string costTable, callTable, profiles;
  // The module's own count leaves out the host's callbacks, which it calls to publish: they are the
  // host's work (this host's, a table under a mutex), and the reference publishes nothing.
  struct Instructions {
    double module = NAN, host = NAN, reference = NAN;
    std::string moduleProfile, referenceProfile;
  };
  // Instructions a cycle: callgrind counts only inside the per-device poll procedures (the module's three
  // read procedures, the reference's one), and the cycles are the polls of address 1 in the records.
  struct Counting {
    int n;
    fs::path outA, outB;
    StartedPair pair;
  };
  const auto startCounting = [&](int n) {
    Counting c{n, work.file("callgrind"), work.file("callgrind"), {}};
    const fs::path &outA = c.outA, &outB = c.outB;
    const std::vector<std::string> grind = {onPath("valgrind"), "--tool=callgrind", "--collect-atstart=no"};
    std::vector<std::string> wrapA = grind, wrapB = grind;
    for (const char* f : {"duz::PollController(duz::Module&)", "duz::PollAlarmInstrument(duz::Module&)",
                          "duz::PollTransducer(duz::Module&)"})
      wrapA.push_back(std::string("--toggle-collect=") + f);
    wrapA.push_back("--callgrind-out-file=" + outA.string());
    wrapB.insert(wrapB.end(), {"--toggle-collect=*refPollDevice*", "--callgrind-out-file=" + outB.string()});
    progress("counting instructions at %d instruments\n", n);
    c.pair = startPair(n, (o.tiny ? 2 : 4) * cycleFormulaMs(n, kPollBaud) / 1000, {}, "", wrapA, wrapB, true);
    return c;
  };
  const auto finishCounting = [&](Counting& c) {
    const Pair p = finishPair(c.pair);
    const int n = c.n;
    const fs::path &outA = c.outA, &outB = c.outB;
    Instructions i;
    // Per request made, times the requests of a cycle: a run ends inside a cycle, which polls of address 1
    // would count whole.
    const auto perCycle = [n](double instructions, const std::vector<RecordLine>& record) {
      const auto requests = std::count_if(record.begin(), record.end(), [](const RecordLine& r) {
        return r.what == "rx" && kindOfRequest(r.bytes).has_value();
      });
      return instructions * transactionsOf(n) / static_cast<double>(std::max<std::ptrdiff_t>(1, requests));
    };
    i.host = perCycle(callgrindInclusive(outA, {"exposeAnTag", "exposeBitTag"}), p.moduleRecord);
    i.module = perCycle(callgrindInstructions(outA), p.moduleRecord) - i.host;
    i.reference = perCycle(callgrindInstructions(outB), p.referenceRecord);
    i.moduleProfile = callgrindProfile(outA, 12);
    i.referenceProfile = callgrindProfile(outB, 12);
    return i;
  };
  const auto countInstructions = [&](int n) {
    Counting c = startCounting(n);
    return finishCounting(c);
  };
  Instructions fullInstructions;
  if (!fullRuns.empty() && o.wants(3)) {
    // Counts do not depend on load: instructions and system calls are counted side by side.
    Counting counting = startCounting(full);
    progress("counting system calls at %d instruments\n", full);
    const fs::path logA = work.file("strace"), logB = work.file("strace");
    StartedPair traced = startPair(full, (o.tiny ? 2 : 4) * fullFormula / 1000, {}, "",
                                   {onPath("strace"), "-f", "-ttt", "-qq", "-o", logA.string()},
                                   {onPath("strace"), "-f", "-ttt", "-qq", "-o", logB.string()}, false);
    fullInstructions = finishCounting(counting);
    const Pair p = finishPair(traced);
    const Cost m = costOf(p.module, true), r = costOf(p.reference, false);
    const auto moduleCalls = systemCalls(logA, static_cast<int>(p.module.get("polling_tid")),
                                         p.module.get("window_unix", 0), p.module.get("window_unix", 1));
    const auto referenceCalls =
        systemCalls(logB, 0, p.reference.get("window_unix", 0), p.reference.get("window_unix", 1));
    const double moduleCallsPerCycle = total(moduleCalls) / m.cycles,
                 referenceCallsPerCycle = total(referenceCalls) / r.cycles;
    std::map<std::string, std::pair<double, double>> byName;
    for (const auto& [name, n] : moduleCalls) byName[name].first = n / m.cycles;
    for (const auto& [name, n] : referenceCalls) byName[name].second = n / r.cycles;
    callTable = "| System call | module a cycle | reference a cycle |\n|---|---|---|\n";
    for (const auto& [name, n] : byName)
      callTable +=
          "| `" + name + "` | " + format("%.1f", n.first) + " | " + format("%.1f", n.second) + " |\n";
    const auto perCycle = [&byName](const char* name, bool module) {
      const auto found = byName.find(name);
      return found == byName.end() ? 0.0 : module ? found->second.first : found->second.second;
    };
    callTable +=
        "\nThe calls that sleep are the wake-ups. The module's: `futex` " +
        format("%.1f", perCycle("futex", true)) +
        " (the fixed sleeps, made on a condition variable so that an unload can end them, 1 + " +
        std::to_string(full) + " + " + std::to_string(transactionsOf(full)) + " = " +
        std::to_string(1 + full + transactionsOf(full)) +
        " a cycle; the rest wait for locks shared with the host's threads), `ppoll` " +
        format("%.1f", perCycle("ppoll", true)) + " (the wait for a reply's first byte), `clock_nanosleep` " +
        format("%.1f", perCycle("clock_nanosleep", true)) +
        " (sleeps through a reply that comes at the line's pace: to its header's end, to its body's end, one "
        "every 95 ms of a longer body, and the short probes that check the pace first). The stated floor "
        "counts "
        "one wait for a whole reply; `Transaction` reads the header and then the body whose "
        "length the header gives, and a read must end 100 ms after its last byte (the Win32 time-outs the "
        "module keeps), so it cannot sleep through a 250 ms body unseen: the second floor of the table is "
        "what that correctness costs. The reference wakes in `pselect6` " +
        format("%.1f", perCycle("pselect6", false)) +
        " times a cycle: libmodbus waits for whatever has come and reads it, so on a paced line it wakes for "
        "nearly every byte.\n\nBefore the read path was changed to end a read when the Win32 time-outs end "
        "it, "
        "this page measured 186 wake-ups a cycle. A controller's 221-byte reply at 9600 bit/s now costs its "
        "first byte, its header's end and a look every 95 ms of its 250 ms body, about five waits where it "
        "cost three (some 14 a cycle more for the " +
        std::to_string((full + 4) / 5) +
        " controllers); without those looks a pause of more than 100 ms inside a reply would not end the "
        "read "
        "as it must.\n";

    std::vector<double> mw, rw, ms_, rs, mc, rc;
    for (std::size_t i = 0; i < fullModule.size(); ++i) {
      mw.push_back(fullModule[i].wakes);
      rw.push_back(fullReference[i].wakes);
      ms_.push_back(fullModule[i].share);
      rs.push_back(fullReference[i].share);
      mc.push_back(fullModule[i].cpuMs);
      rc.push_back(fullReference[i].cpuMs);
    }
    const double wakes = summarize(mw).median, refWakes = summarize(rw).median;
    const HostRun& first = fullRuns.front().module;
    costTable = "| A cycle at " + std::to_string(full) +
                " instruments | module | reference (libmodbus) | target |\n|---|---|---|---|\n"
                "| wake-ups (runs " +
                [&] {
                  std::string each;
                  for (double w : mw) each += (each.empty() ? "" : ", ") + format("%.0f", w);
                  return each;
                }() +
                ") | " + format("%.0f", wakes) + " | " + format("%.0f", refWakes) + " | ≤ " +
                format("%.0f", 1.15 * fullFloor) + " (1.15 × floor " + std::to_string(fullFloor) +
                ") and ≤ reference |\n" +
                "| the floor, with a reply's header and body read apart and a look "
                "every 95 ms of a long body | " +
                std::to_string(twoReadWakeUpFloor(full, kPollBaud)) + " | | |\n| system calls | " +
                format("%.0f", moduleCallsPerCycle) + " | " + format("%.0f", referenceCallsPerCycle) +
                " | ≤ reference |\n" + "| user-space instructions, the module's own | " +
                format("%.0f", fullInstructions.module) + " | " + format("%.0f", fullInstructions.reference) +
                " | ≤ reference |\n" +
                "| user-space instructions in the host's `exposeAnTag` and `exposeBitTag` | " +
                format("%.0f", fullInstructions.host) + " | – | – |\n" + "| CPU time | " +
                format("%.3f ms", summarize(mc).median) + " | " + format("%.3f ms", summarize(rc).median) +
                " | – |\n" + "| CPU, share of one core | " + format("%.4f %%", summarize(ms_).median) +
                " | " + format("%.4f %%", summarize(rs).median) + " | < 0.1 % |\n" + "| resident memory | " +
                mb(first.get("rss_kb", 2)) + " (host alone " + mb(first.get("rss_kb", 0)) + ") | " +
                mb(fullRuns.front().reference.get("rss_kb")) + " | – |\n";
    targets += "| Wake-ups a cycle, " + std::to_string(full) + " instruments | ≤ 1.15 × floor " +
               std::to_string(fullFloor) + " | " + format("%.0f", wakes) + " (" +
               format("%.2f", wakes / fullFloor) + " ×) | " + verdict(wakes <= 1.15 * fullFloor) + " |\n";
    // What this page measured before the read path's change, at 31 instruments.
    if (full == 31)
      targets += "| Wake-ups vs 186 before the read path change | ≤ 186 | " + format("%.0f", wakes) + " (" +
                 format("%+.0f", wakes - 186) + ", section 3 says why) | " + verdict(wakes <= 186) + " |\n";
    targets += "| Wake-ups vs reference | ≤ reference | " + format("%.0f", wakes) + " vs " +
               format("%.0f", refWakes) + " | " + verdict(wakes <= refWakes) + " |\n";
    targets += "| System calls a cycle vs reference | ≤ reference | " + format("%.0f", moduleCallsPerCycle) +
               " vs " + format("%.0f", referenceCallsPerCycle) + " | " +
               verdict(moduleCallsPerCycle <= referenceCallsPerCycle) + " |\n";
    targets += "| Instructions a cycle (the module's own) vs reference | ≤ reference | " +
               format("%.0f", fullInstructions.module) + " vs " + format("%.0f", fullInstructions.reference) +
               " | " + verdict(fullInstructions.module <= fullInstructions.reference) + " |\n";
    targets +=
        "| CPU share, " + std::to_string(full) + " instruments (virtual machine) | < 0.1 % of one core | " +
        format("%.4f %%", summarize(ms_).median) + " | " + verdict(summarize(ms_).median < 0.1) + " |\n";
    profiles =
        "The module's procedures also decode every value (`std::from_chars` of the controller's texts) and "
        "hand it to the host (`exposeAnTag`, `exposeBitTag`), which the reference, making the exchanges "
        "alone, does not; both check CRCs bit by bit (`duz::Crc16`). The host's callbacks, where this host "
        "stores each value under its mutex, are the host's work, counted apart (their inclusive count) and "
        "left out of the module's own.\n\n"
        "Module, instructions of each function itself over the whole counting run:\n\n```\n" +
        fullInstructions.moduleProfile + "```\n\nReference:\n\n```\n" + fullInstructions.referenceProfile +
        "```\n";
  }

  // 4. Scaling: 1, 5 and the full bus.
  std::string scaleTable =
      "| Instruments | transactions | formula ms | cycle p50 ms | deviation | wake-ups (floor) | reference "
      "wake-ups | instructions module (own) / reference | resident: host alone, with the module | reference "
      "|\n"
      "|---|---|---|---|---|---|---|---|---|---|\n";
  if (o.wants(4)) {
    for (int n : {1, 5, full}) {
      const double formula = cycleFormulaMs(n, kPollBaud);
      Pair p;
      Instructions i;
      if (n == full && !fullRuns.empty()) {
        p = fullRuns.front();
        i = fullInstructions;
      } else {
        const int cycles = o.tiny ? 2 : 10;
        progress("polling %d instruments (%d cycles)\n", n, cycles);
        p = runPair(n, (cycles + 0.6) * formula / 1000, {}, "", {}, {}, false);
        i = countInstructions(n);
      }
      if (n == full && o.tiny) continue;  // the tiny full bus is 5 already
      const Cost m = costOf(p.module, true), r = costOf(p.reference, false);
      scaleTable += "| " + std::to_string(n) + " | " + std::to_string(transactionsOf(n)) + " | " +
                    ms(formula) + " | " + ms(m.cycle.median) + " | " +
                    format("%+.2f %%", (m.cycle.median - formula) / formula * 100) + " | " +
                    format("%.0f", m.wakes) + " (" + std::to_string(wakeUpFloor(n)) + ") | " +
                    format("%.0f", r.wakes) + " | " + format("%.0f", i.module) + " / " +
                    format("%.0f", i.reference) + " | " + mb(p.module.get("rss_kb", 0)) + ", " +
                    mb(p.module.get("rss_kb", 2)) + " | " + mb(p.reference.get("rss_kb")) + " |\n";
    }
  }

  // 5. A sick bus: three silent instruments (a controller, the alarm instrument, a transducer), one
  // answering with bad CRCs, noise on the line.
  std::string sickTable;
  if (o.wants(5)) {
    const Faults faults{.silent = {6, 7, 8}, .badCrc = {9}};
    const int n = o.tiny ? 9 : 31, cycles = o.tiny ? 2 : 6;
    const double formula = cycleFormulaMs(n, kPollBaud, faults);
    progress("a sick bus of %d instruments (%d cycles)\n", n, cycles);
    const Pair p = runPair(n, (cycles + 0.6) * formula / 1000, faults, "noise 500", {}, {}, true);
    // A poll of address 1 that failed publishes nothing, so the interval between its publications
    // would span two cycles (or, in a short run, there may be none): the cycle here is the record's, from
    // one poll of address 1 to the next.
    Cost m, r;
    for (auto [cost, record, run, module] : {std::tuple{&m, &p.moduleRecord, &p.module, true},
                                             std::tuple{&r, &p.referenceRecord, &p.reference, false}}) {
      if (const auto found = run->values.find("cycle_ms"); found != run->values.end())
        cost->cycle = summarize(found->second);
      cost->meanCycle = recordedCycleMs(*record);
      const double window = run->get("cpu", 0);
      cost->cycles = window * 1000 / cost->meanCycle;
      cost->wakes = run->get("cpu", module ? 4 : 2) / cost->cycles;
      cost->cpuMs = run->get("cpu", 1) / cost->cycles;
      cost->share = run->get("cpu", 1) / (window * 1000) * 100;
    }
    const auto interval = [](const Summary& c) {
      return c.count == 0 ? std::string("none completed")
                          : ms(c.median) + " / " + ms(c.p99) + " / " + ms(c.max);
    };
    // The formula over the requests each line carried: noise is random, and a failure ends a poll early.
    double moduleHits = 0, referenceHits = 0;
    const double moduleFormula = recordedCycleFormulaMs(p.moduleRecord, kPollBaud, n, faults, &moduleHits),
                 referenceFormula =
                     recordedCycleFormulaMs(p.referenceRecord, kPollBaud, n, faults, &referenceHits);
    const int floor = wakeUpFloor(n, faults);
    const double deviation = (m.meanCycle - moduleFormula) / moduleFormula * 100;
    sickTable =
        "| | module | reference (libmodbus) |\n|---|---|---|\n| polls of address 1 recorded | " +
        std::to_string(requestsTo(p.moduleRecord, 1)) + " | " +
        std::to_string(requestsTo(p.referenceRecord, 1)) + " |\n| formula without noise, ms | " +
        ms(formula) + " | " + ms(formula) +
        " |\n| transactions failed a cycle beyond the bad CRCs (the record shows the pause after them) | " +
        format("%.2f", moduleHits) + " | " + format("%.2f", referenceHits) +
        " |\n| formula over the requests on the line, ms | " + ms(moduleFormula) + " | " +
        ms(referenceFormula) + " |\n| cycle mean ms (the record's) | " + ms(m.meanCycle) + " | " +
        ms(r.meanCycle) + " |\n| deviation of the mean | " + format("%+.2f %%", deviation) + " | " +
        format("%+.2f %%", (r.meanCycle - referenceFormula) / referenceFormula * 100) +
        " |\n| publication interval of address 1 p50 / p99 / max ms | " + interval(m.cycle) + " | " +
        interval(r.cycle) + " |\n| wake-ups a cycle (floor " + std::to_string(floor) +
        " + one a failure) | " + format("%.0f", m.wakes) + " | " + format("%.0f", r.wakes) +
        " |\n| CPU a cycle | " + format("%.3f ms", m.cpuMs) + " | " + format("%.3f ms", r.cpuMs) +
        " |\n| CPU, share of one core | " + format("%.4f %%", m.share) + " | " + format("%.4f %%", r.share) +
        " |\n";
    const double sickFloor = (floor + moduleHits) * 1.15;
    targets += "| Sick bus cycle, mean | within 0.5 % of the formula | " + format("%+.2f %%", deviation) +
               " | " + verdict(std::fabs(deviation) <= 0.5) + " |\n";
    targets += "| Sick bus wake-ups a cycle | ≤ 1.15 × floor, ≤ reference | " + format("%.0f", m.wakes) +
               " (" + format("%.0f", sickFloor) + ", " + format("%.0f", r.wakes) + ") | " +
               verdict(m.wakes <= sickFloor && m.wakes <= r.wakes) + " |\n";
  }

  // 6. Write latency while the full bus is polled: from the host's call to the write's last byte on the
  // line, as the simulator recorded it.
  std::string writeTable;
  if (o.wants(6)) {
    const fs::path recordPath = work.file("record");
    Simulator sim(work, full, kPollBaud, "", {}, recordPath.string());
    const fs::path dir = restoredDir(work, full, sim.pty);
    const double seconds = o.tiny ? 4 : 30;
    progress("writes while polling %d instruments for %.0f s\n", full, seconds);
    const HostRun run = runHost(work, dir, "answer no", seconds, {"--write", "1"});
    // The simulator records a request 3.5 characters after its last byte, or later when it woke late.
    std::vector<double> lastBytes;
    for (const RecordLine& r : readRecord(recordPath))
      if (r.what == "rx" && r.bytes.size() == 8 && r.bytes[1] == 5)
        lastBytes.push_back(r.us / 1000 - gapMs(kPollBaud));
    std::vector<double> toWire, toReturn;
    int ok = 0;
    for (const auto& w : run.writes) {
      if (w.size() < 3) continue;
      toReturn.push_back(w[1]);
      if (w[2] == 1) ++ok;
      const auto at = std::lower_bound(lastBytes.begin(), lastBytes.end(), w[0]);
      if (at != lastBytes.end()) toWire.push_back(*at - w[0]);
    }
    const Summary wire = summarize(toWire), back = summarize(toReturn);
    const double longest = exchangeFormulaMs(kPollBaud, Kind::ControllerBlock);
    const double own = exchangeFormulaMs(kPollBaud, Kind::WriteCoil);
    const double wireTarget = longest + 10 + 20 + wireMs(kPollBaud, requestBytes(Kind::WriteCoil), 0);
    const double returnTarget = longest + 10 + 20 + own;
    writeTable =
        "| | p50 ms | p99 ms | max ms | target (p99) ms |\n|---|---|---|---|---|\n| call → last byte on the "
        "line | " +
        format("%.3f", wire.median) + " | " + format("%.3f", wire.p99) + " | " + format("%.3f", wire.max) +
        " | " + ms(wireTarget) + " |\n| call → return | " + format("%.3f", back.median) + " | " +
        format("%.3f", back.p99) + " | " + format("%.3f", back.max) + " | " + ms(returnTarget) + " |\n\n" +
        std::to_string(run.writes.size()) + " writes (" + std::to_string(ok) +
        " confirmed) to the alarm instrument at address 2 while " + std::to_string(full) +
        " instruments were polled at " + std::to_string(kPollBaud) +
        " bit/s. The call's time is the host's clock (µs); the last byte's comes from the simulator's "
        "record (µs, the same clock): it records a request 3.5 characters after its last byte, so that "
        "much is taken off (a late wake-up of the simulator would show as latency). Target: the longest "
        "exchange on this bus by the formula (" +
        ms(longest) +
        " ms, a controller block), which a write may have to wait out, + the fixed 10 ms + 20 ms + "
        "the write's own request on the wire; the return adds the write's reply.\n";
    targets += "| Write latency p99, " + std::to_string(full) + " instruments | ≤ " + ms(wireTarget) +
               " ms to the line | " + ms(wire.p99) + " ms | " +
               verdict(wire.count > 0 && wire.p99 <= wireTarget && back.p99 <= returnTarget) + " |\n";
  }

  // 9. The gateway, publishing the full bus.
  std::string gatewayText =
      "Not measured: this build has no gateway (it needs libmosquitto-dev and nlohmann-json3-dev).\n";
#ifdef DUZ_MQTT
  if (o.wants(9)) {
    const double seconds = o.tiny ? 4 : 30;
    progress("the JSON and the Sparkplug B gateway side by side, publishing %d instruments for %.0f s\n",
             full, seconds);
    GatewayRun jsonRun(work, full, {}, "bench/#", jsonValueTimeMs),
        sparkplugRun(work, full, {"--sparkplug", "bench", "--edge-node", "bench"}, "spBv1.0/bench/DDATA/#",
                     sparkplugValueTimeMs);
    // From their first cycle on.
    usleep(static_cast<useconds_t>(cycleFormulaMs(full, kPollBaud) * 1000));
    jsonRun.begin();
    sparkplugRun.begin();
    usleep(static_cast<useconds_t>(seconds * 1e6));
    jsonRun.end();
    sparkplugRun.end();
    usleep(200'000);
    const GatewayFigures json = jsonRun.figures(), sparkplug = sparkplugRun.figures();
    const auto row = [&](const char* name, const GatewayFigures& g) {
      return std::string("| ") + name + " | " + std::to_string(g.messages) +
             (g.unmatched ? " (" + std::to_string(g.unmatched) + " unmatched)" : "") + " | " +
             ms(g.latency.median) + " | " + ms(g.latency.p99) + " | " + ms(g.latency.max) + " | " +
             format("%.3f %%", g.cpuShare) + " | " + mb(g.residentKb) + " |\n";
    };
    gatewayText =
        "`duzevod-mqtt` loads the module, polls " + std::to_string(full) +
        " instruments (every transducer's value moving, so that every poll publishes) and publishes to a "
        "mosquitto of its own on 127.0.0.1 at QoS 1; a subscriber (libmosquitto) takes the time of each "
        "message's receipt in its callback. The two gateways run side by side, each with a simulated line "
        "and a broker of its own. The value's reply is the last one the simulator recorded before "
        "the value's timestamp; latency runs from that reply's last byte on the line (its record time + its "
        "length at 11 bits a character) to the receipt. CPU and memory are the gateway process's (module "
        "included) over " +
        format("%.0f", json.seconds) +
        " s.\n\n| Payload | messages | p50 ms | p99 ms | max ms | gateway CPU, share of one core | resident "
        "|\n"
        "|---|---|---|---|---|---|---|\n" +
        row("JSON", json) + row("Sparkplug B (DDATA)", sparkplug) +
        "\nA Sparkplug B message is one device's DDATA; its time is its newest tag value's. Sparkplug B "
        "sends by exception, a device's DDATA only when one of its values or qualities changed (here each "
        "transducer's swing, once every 7 to 11 s), where JSON sends every poll's value with its new "
        "timestamp: hence far fewer messages. The OPC UA "
        "server's figures (8 gateways of 31 instruments, one broker, one server) are on "
        "[their own page](performance-opcua.md), made by `scripts/bench-opcua.sh`.\n";
    targets += "| Gateway latency p99, JSON, " + std::to_string(full) + " instruments | shown, no target | " +
               ms(json.latency.p99) + " ms | – |\n";
    targets += "| Gateway latency p99, Sparkplug B, " + std::to_string(full) +
               " instruments | shown, no target | " + ms(sparkplug.latency.p99) + " ms | – |\n";
  }
#endif

  // 7. Search.
  std::string searchTable = "| Limit | present | search s | budget s | difference |\n|---|---|---|---|---|\n";
  const std::vector<std::pair<int, int>> searches = !o.wants(7) ? std::vector<std::pair<int, int>>{}
                                                    : o.tiny
                                                        ? std::vector<std::pair<int, int>>{{3, 3}}
                                                        : std::vector<std::pair<int, int>>{{6, 4}, {31, 31}};
  for (const auto& [limit, present] : searches) {
    Simulator sim(work, present, kPollBaud);
    const fs::path dir = work.file("search");
    fs::create_directories(dir);
    progress("search of %d addresses with %d instruments\n", limit, present);
    const std::string script = "dialog port=" + sim.pty + " speed=" + std::to_string(kPollBaud) +
                               " parity=N stop=2 limit=" + std::to_string(limit) + " search\ndialog exit";
    const HostRun run = runHost(work, dir, script, 0.2, {});
    const double measured = run.get("load_ms") / 1000,
                 budget = searchBudgetMs(kPollBaud, limit, present) / 1000;
    searchTable += "| " + std::to_string(limit) + " | " + std::to_string(present) + " | " +
                   format("%.2f", measured) + " | " + format("%.2f", budget) + " | " +
                   format("%+.2f %%", (measured - budget) / budget * 100) + " |\n";
  }

  // 8. Load time.
  std::string loadTable;
  if (o.wants(8)) {
    const int n = 5;
    Simulator sim(work, n, kPollBaud);
    std::vector<double> loads, firsts;
    const int reps = o.tiny ? 1 : 5;
    progress("%d loads with a restored configuration\n", reps);
    for (int r = 0; r < reps; ++r) {
      const fs::path dir = restoredDir(work, n, sim.pty);
      const HostRun run = runHost(work, dir, "answer no", 0.1, {});
      loads.push_back(run.get("load_ms"));
      firsts.push_back(run.get("first_value_ms"));
    }
    const double expected = 1000 + 50 + 10 + exchangeFormulaMs(kPollBaud, Kind::ControllerBlock);
    const Summary l = summarize(loads), f = summarize(firsts);
    loadTable = "| | median ms | min–max ms |\n|---|---|---|\n| load call (the whole start-up) | " +
                ms(l.median) + " | " + ms(l.min) + "–" + ms(l.max) +
                " |\n| load call → first published value | " + ms(f.median) + " | " + ms(f.min) + "–" +
                ms(f.max) + " |\n| expected: 1000 + 50 + 10 ms + the first exchange | " + ms(expected) +
                " | |\n";
  }

  const double minutes = (monotonicMs() - started) / 60000;
  wakeCostUs.push_back(cpuPerWakeUpUs(o.tiny ? 50 : 500));
  const std::string fullText = std::to_string(full);
  page =
      "# Performance\n\nWritten by `scripts/bench.sh`" + std::string(o.tiny ? " --tiny" : "") +
      " (the program `duzevod-bench`, built from `bench/`); rerun it to measure your machine. Everything "
      "runs on the bus simulator's paced line (`duzevod-sim --pace --turnaround 0`: wire time at 11 bits a "
      "character, replies 3.5 characters after a request's end) at " +
      std::to_string(kPollBaud) +
      " bit/s unless a table says otherwise. The module is compared with `duzevod-bench-ref`, a poller built "
      "on "
      "libmodbus " LIBMODBUS_VERSION_STRING
      " that makes the same requests with the same waits (1000 ms a cycle, 50 ms a device, 10 ms before each "
      "request, 500 ms after a failed one), run at the same time on a simulated line of its own with the "
      "same "
      "bus.\n\n"
      "*Formula* of a cycle, with nothing measured from the module: 1000 ms, and per device 50 ms, and per "
      "transaction 10 ms + request and reply at 11 bits a character + the instrument's 3.5 characters; a "
      "silent device's transaction is 10 ms + the read time-out of its 3-byte header (500 + 2 × 3 ms) + the "
      "500 ms pause, a reply with a bad CRC adds the pause to its exchange, and a failed transaction ends "
      "the device's poll. The module's overhead is the measured cycle less the formula.\n\n"
      "## Verdicts\n\n| Target | wanted | figure | |\n|---|---|---|---|\n" +
      targets + "\n## Machine\n\n" + machine(stolenMs() - stealBefore) + "- Load average: " + loadBefore +
      " before, " + loadAverage() + " after the run (" + format("%.1f", minutes) + " min)\n" +
      "- CPU of one sleep and wake-up of a thread (a plain 1 ms sleep), before / after: " +
      format("%.1f", wakeCostUs[0]) + " / " + format("%.1f", wakeCostUs[1]) + " µs\n" +
      (o.note.empty() ? "" : "- " + o.note + "\n") +
      "\nTimes and CPU shares depend on this machine and its load; wake-ups, system calls and instructions "
      "do not.\n"
      "\n## 1. Exchanges\n\nOne `Transaction` of the module (from the call to the checked reply) and "
      "libmodbus making the same request on the same paced line, " +
      std::to_string(o.reps) +
      " times each, turn about (who goes first alternates), each request after 10 ms of a quiet line, as "
      "polling makes them. *Line*: request and reply at 11 bits a character and the instrument's 3.5 "
      "characters, in ms. *Overhead*: an exchange's time less the line's, p50 / p99 / max in ms. *Module − "
      "libmodbus*: the mean of the differences of the two exchanges of one turn, with its 95 % interval "
      "(Student's t); an interval that includes 0 shows no difference. The module sleeps through a reply "
      "that comes at the line's pace and looks again 50 µs after its last byte should have come, where "
      "libmodbus wakes for nearly every byte (section 3): it trades a fraction of a millisecond of an "
      "exchange for a tenth of the wake-ups.\n\n" +
      exchangeTable + "\n## 2. Cycle, " + fullText +
      " instruments\n\nThree runs; the cycle is the interval between two publications of the first "
      "instrument's first tag, from the timestamps the module gave them. *Waiting for a CPU*: the time the "
      "polling thread was ready to run but another program had the processor (the kernel's scheduler "
      "statistics), which load adds and the formula cannot know.\n\n" +
      cycleTable + "\n## 3. Cost a cycle that does not depend on the machine\n\n" +
      "*Wake-ups*: the polling thread's voluntary context switches (the kernel's count), per cycle, median "
      "of the runs of section 2. The *floor* is what the fixed waits need at the least: 1 (the cycle's "
      "sleep) + " +
      fullText + " (a device's sleep) + " + std::to_string(transactionsOf(full)) +
      " (the sleep before a request) + " + std::to_string(transactionsOf(full)) +
      " (one wait for its reply) = " + std::to_string(fullFloor) +
      ". *System calls*: those the polling thread (the reference: its only thread) began within the measured "
      "window, from a separate run under `strace -f`, which slows system calls but does not change their "
      "number. *Instructions*: user-space instructions inside the per-device poll procedures "
      "(`PollController`, `PollAlarmInstrument`, `PollTransducer`; the reference's `refPollDevice`) and "
      "everything they call, from a separate run under `valgrind --tool=callgrind` (at the same time as the "
      "`strace` run, each pair on lines of its own: neither count depends on load), per request the "
      "simulator's record shows, times the requests of a cycle; the module's own leave out the host's "
      "callbacks (`exposeAnTag`, `exposeBitTag` and what they call), shown in a row of their own. CPU time "
      "is the kernel's accounting of the "
      "thread; on a virtual "
      "machine that does not report stolen time it includes what the hypervisor spends waking an idle "
      "processor, so it is shown but cannot be judged here.\n\n" +
      costTable + "\n" + callTable + "\nWhere the instructions go:\n\n" + profiles + "\n## 4. Scaling\n\n" +
      "Runs of 10 cycles for 1 and 5 instruments (the full bus: run 1 of section 2); instructions as in "
      "section 3; memory is the host's resident set before the load and with the module polling, beside the "
      "reference poller's.\n\n" +
      scaleTable + "\n## 5. A sick bus\n\n" + std::to_string(o.tiny ? 9 : 31) +
      " instruments, of which the controller at 6, the alarm instrument at 7 and the "
      "thermocouple at 8 are silent and the resistance thermometer at 9 answers with bad CRCs; noise on the "
      "line (`noise 500`: bursts of 1 to 16 bytes every 500 ms on average, and 1 to 4 bytes inside 10 % of "
      "the replies). The noise is random and a failed transaction ends its device's poll, so the formula "
      "here goes over the requests the simulator's record shows on each line: 10 ms and the exchange's line "
      "time each (a silent device's: the header's time-out, which noise ends sooner: at its third byte, or "
      "100 ms after its last), the 500 ms pause after a bad CRC and after a "
      "transaction that failed (which the record shows: the next request came the pause later than the "
      "fixed waits bring it), 1000 ms and 50 ms a device a cycle. A failed attempt is taken as long as a "
      "clean exchange though noise may end it sooner, so the formula is the longer side. The cycle is the "
      "record's, from one request to address 1 to the next (a failed poll publishes nothing, so the "
      "publication interval can span two cycles), and the mean is compared.\n\n" +
      sickTable + "\n## 6. Write latency\n\n" + writeTable +
      "\n## 7. Search\n\nThe whole load with a scripted operator who searches and leaves; the budget is 10 "
      "ms "
      "an address and, for a silent one, five attempts of 506 ms read time-out + 500 ms pause, for a present "
      "one its identification (and a transducer's parameter) exchange; the module's inter-frame gap once, "
      "before its first request (every later one follows a line quiet for longer).\n\n" +
      searchTable + "\n## 8. Load time\n\nFive instruments, restored configuration.\n\n" + loadTable +
      "\n## 9. The gateway\n\n" + gatewayText;

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
