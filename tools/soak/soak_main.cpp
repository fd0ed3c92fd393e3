// duzevod-soak: the module on a full simulated bus under random faults, checked all the time.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "duz_version.h"
#include "simulator.h"
#include "soak_bus.h"
#include "soak_check.h"
#include "soak_host.h"

namespace {

using namespace duz::soak;
namespace fs = std::filesystem;

const char kHelp[] = R"(Usage: duzevod-soak [options]

Runs the module for a long time on a simulated bus of 31 instruments (controllers with 1 to 8
modules, alarm instruments of eight variants, both transducers, current loops) while faults come and
go at random: silent devices, bad CRCs, replies from the wrong address, exception replies, short
replies, slow replies (in time and too late), noise on the line between and inside frames, and the
line itself going away and coming back on a new pseudo-terminal (the module's port name is a symbolic
link that follows it, as /dev/serial/by-id/... follows an adapter plugged back in). Two host threads
write the alarm instruments' command bits at random moments. It checks all the time that:
  - the host process lives;
  - every value published with any quality but "device failure" is one the simulator served for that
    device, from a reply to the poll that published it (no torn, shifted or stale value), with the
    quality that reply calls for; so no faulty reply ever gives a good value;
  - a write never overlaps another exchange on the line (the module's frame trace), the simulator
    never receives a broken request, a write reported done sent the frame its command calls for and
    was echoed, and a write to a tag that is no command bit is refused;
  - at the end, with every fault cleared, every device is online with good quality within two cycles
    (three after a port loss);
  - after the warm-up, the host's memory, open descriptors and threads stay flat.
It prints the figures and exits 0 when nothing was violated, 1 when something was, 2 when the soak
could not run.

Options:
  --seconds S     how long faults are injected (default 600); the warm-up and the end come on top
  --seed N        the random choices (default: from the clock; printed, so a run can be repeated)
  --no-port-loss  never drop the line
  --module PATH   the module (default: the one built with this program)
  --sim PATH      the bus simulator (default: the one built with this program)
  --keep          keep the working directory (bus file, records, trace, logs) even after a pass
  --help          this text
  --version       the program's version
)";

// What the host's resident memory may move after the warm-up: the allocator's own breathing, far below
// what a leak of a few bytes an exchange adds up to over a long run.
constexpr long kRssSlackKb = 256;

volatile sig_atomic_t interrupted = 0;
void onInterrupt(int) {
  interrupted = 1;
}

std::int64_t nowMs() {
  return static_cast<std::int64_t>(duz::tools::monotonicMs());
}
std::int64_t realUs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return std::int64_t{t.tv_sec} * 1'000'000 + t.tv_nsec / 1000;
}

struct Options {
  long seconds = 600;
  unsigned long long seed = 0;
  bool portLoss = true;
  bool keep = false;
  std::string module = DUZ_SOAK_MODULE;
  std::string sim = DUZ_SOAK_SIM;
};

// A file read as it grows, line by line.
class Tail {
 public:
  explicit Tail(std::string path) : path_(std::move(path)) {}
  template <typename F>
  void lines(F each) {
    if (fd_ < 0 && (fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC)) < 0) return;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
      partial_.append(buffer, static_cast<std::size_t>(n));
      std::size_t start = 0;
      for (std::size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1)
        each(partial_.substr(start, end - start));
      partial_.erase(0, start);
    }
  }
  ~Tail() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  std::string path_;
  int fd_ = -1;
  std::string partial_;
};

// The host's footprint from /proc.
struct Footprint {
  long rssKb = 0;
  int threads = 0;
  int descriptors = 0;
};
std::optional<Footprint> footprint(pid_t pid) {
  Footprint f;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) f.rssKb = std::atol(line.c_str() + 6);
    if (line.starts_with("Threads:")) f.threads = std::atoi(line.c_str() + 8);
  }
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec))
    ++f.descriptors;
  if (!f.threads || ec) return std::nullopt;
  return f;
}

class Soak {
 public:
  Soak(const Options& o, std::string dir)
      : o_(o),
        dir_(std::move(dir)),
        random_(o.seed),
        checker_(soakInstruments()),
        record_(dir_ + "/sim.record"),
        trace_(dir_ + "/module.trace") {}
  int run();

 private:
  bool startSimulator();
  void simCommand(const std::string& text);
  void pump(int waitMs);
  void inject(std::int64_t now);
  void sample(bool atEnd);
  bool waitFor(const std::function<bool()>& done, std::int64_t timeoutMs);
  void figures(std::int64_t tookMs);
  long uniform(long low, long high) { return std::uniform_int_distribution<long>(low, high)(random_); }

  const Options& o_;
  std::string dir_;
  std::mt19937_64 random_;
  Checker checker_;
  Tail record_, trace_;
  // Whatever way the run ended, no child is left behind: the host goes first, then the simulator.
  std::unique_ptr<duz::tools::Simulator> sim_;
  std::unique_ptr<duz::tools::Child> host_;
  int commands_[2] = {-1, -1}, reports_ = -1;
  std::string reportBytes_;
  int simAwaiting_ = 0;
  bool simReaped_ = false, ready_ = false, snapshotDone_ = false, hostGone_ = false,
       writeBusy_[2] = {false, false}, quitting_ = false;
  std::vector<Report> snapshot_;
  int tableMismatches_ = 0;

  // Injection state.
  std::vector<std::int64_t> faultUntil_ = std::vector<std::int64_t>(31, 0);
  std::int64_t nextFault_ = 0, nextWrite_ = 0, noiseAt_ = 0, lineAt_ = 0;
  double cycleMs_ = 5000;  // a moving average of the cycle's length
  std::uint64_t cyclesSeen_ = 0;
  std::int64_t lastCycleAt_ = 0;
  bool noise_ = false, lineDown_ = false;
  std::map<std::string, int> injected_;
  int portLosses_ = 0, portRecoveries_ = 0;
  std::int64_t lineUpUs_ = 0;
  bool awaitingPortRecovery_ = false;

  // Footprint.
  std::int64_t warmUpEnd_ = 0, nextSample_ = 0;
  std::optional<Footprint> start_, baseline_, end_;
  long rssMaxKb_ = 0;
  bool threadsMoved_ = false, descriptorsGrew_ = false, memoryGrew_ = false;
};

bool Soak::startSimulator() {
  std::ofstream(dir_ + "/soak.bus") << busText(soakInstruments());
  // It goes with the soak, however the soak ends.
  sim_ = std::make_unique<duz::tools::Simulator>(
      o_.sim,
      std::vector<std::string>{"--bus", dir_ + "/soak.bus", "--record", dir_ + "/sim.record", "--link",
                               dir_ + "/line"},
      duz::tools::ChildSetup{
          .errorFile = dir_ + "/sim.log", .appendErrors = true, .parentDeathSignal = SIGTERM},
      10'000);
  return sim_->started();
}

void Soak::simCommand(const std::string& text) {
  if (!sim_->process().send(text)) checker_.violation("the simulator no longer takes commands");
  ++simAwaiting_;
}

// Everything that has arrived, in the order that makes the checks sound: the host's reports first,
// then the simulator's record (a reply is recorded before it is sent, so every reply the host has
// seen is in the record by now), then the module's trace.
void Soak::pump(int waitMs) {
  duz::tools::Child& sim = sim_->process();
  pollfd fds[2] = {{reports_, POLLIN, 0}, {sim.outputEnded() ? -1 : sim.outputFd(), POLLIN, 0}};
  ::poll(fds, 2, waitMs);
  char buffer[65536];
  if (reports_ >= 0)
    for (ssize_t n; (n = ::read(reports_, buffer, sizeof buffer)) > 0;) reportBytes_.append(buffer, n);
  record_.lines([&](const std::string& l) { checker_.record(l); });
  trace_.lines([&](const std::string& l) { checker_.trace(l); });
  std::size_t at = 0;
  for (; at + sizeof(Report) <= reportBytes_.size(); at += sizeof(Report)) {
    Report r;
    std::memcpy(&r, reportBytes_.data() + at, sizeof r);
    switch (r.type) {
      case 'p':
        checker_.publication(r);
        break;
      case 'w':
        checker_.write(r);
        writeBusy_[r.kind & 1] = false;
        break;
      case 't': {
        const Instrument& d = checker_.instrument(r.slot);
        if (r.counts[0] != d.analogCount() || r.counts[1] != d.bitCount() || r.counts[2] != 1) {
          ++tableMismatches_;
          checker_.violation("slot " + std::to_string(r.slot) + " has " + std::to_string(r.counts[0]) + "/" +
                             std::to_string(r.counts[1]) + "/" + std::to_string(r.counts[2]) +
                             " analog/bit/int tags, the bus calls for " + std::to_string(d.analogCount()) +
                             "/" + std::to_string(d.bitCount()) + "/1");
        }
        break;
      }
      case 'r':
        ready_ = true;
        break;
      case 'o':
        snapshot_.push_back(r);
        break;
      case 'e':
        snapshotDone_ = true;
        break;
      case 'x':
        hostGone_ = true;
        break;
    }
  }
  reportBytes_.erase(0, at);
  if (fds[1].revents & (POLLIN | POLLHUP)) {
    while (const auto line = sim.readLine(0)) {
      if (line->starts_with("error")) checker_.violation("the simulator refused a command: " + *line);
      // The line's new path, before the "ok" of "line up".
      if (line->starts_with("/dev/")) continue;
      if (simAwaiting_ > 0) --simAwaiting_;
    }
    // The simulator has ended (quit, or died): nothing more will come from it.
    if (sim.outputEnded() && !quitting_ && !simReaped_) {
      sim.wait(60'000);
      simReaped_ = true;
      checker_.violation("the simulator ended before its time (status " + std::to_string(sim.rawStatus()) +
                         "; see sim.log)");
    }
  }
  if (host_ && !hostGone_) {
    if (host_->ended()) {
      const int status = host_->rawStatus();
      hostGone_ = true;
      checker_.violation(WIFSIGNALED(status)
                             ? "the host process died of signal " + std::to_string(WTERMSIG(status))
                             : "the host process ended with status " + std::to_string(WEXITSTATUS(status)));
    }
  }
}

void Soak::inject(std::int64_t now) {
  static const char* const kFaults[] = {"silent", "badcrc", "wrongaddr", "exception",
                                        "short",  "slow",   "late"};
  for (int slot = 0; slot < 31; ++slot)
    if (faultUntil_[slot] && now >= faultUntil_[slot]) {
      simCommand(std::to_string(slot + 1) + " fault normal");
      faultUntil_[slot] = 0;
    }
  if (checker_.cycles != cyclesSeen_) {
    if (lastCycleAt_) cycleMs_ = 0.7 * cycleMs_ + 0.3 * static_cast<double>(now - lastCycleAt_);
    cyclesSeen_ = checker_.cycles;
    lastCycleAt_ = now;
  }
  if (now >= nextFault_) {
    nextFault_ = now + uniform(300, 2000);
    int faulty = 0;
    for (auto until : faultUntil_) faulty += until != 0;
    const int slot = static_cast<int>(uniform(0, 30));
    if (faulty < 6 && !faultUntil_[slot]) {
      const std::string fault = kFaults[uniform(0, 6)];
      // Slow replies either come within the read time-out or while the module sleeps after giving up.
      const std::string setting = fault == "slow"   ? "slow " + std::to_string(uniform(50, 300))
                                  : fault == "late" ? "slow " + std::to_string(uniform(650, 850))
                                                    : fault;
      simCommand(std::to_string(slot + 1) + " fault " + setting);
      // Half of them short enough that the device is only failing (up to two polls), half long enough
      // for it to be reported lost (three polls and more). In cycles, which a loaded machine stretches.
      const double cycles = uniform(0, 1) ? uniform(30, 180) / 100.0 : uniform(350, 600) / 100.0;
      faultUntil_[slot] = now + static_cast<std::int64_t>(cycles * cycleMs_);
      ++injected_[fault];
    }
  }
  if (now >= noiseAt_) {
    noise_ = !noise_;
    if (noise_) {
      simCommand("noise " + std::to_string(uniform(300, 1500)) + " " + std::to_string(uniform(5, 25)));
      ++injected_["noise"];
    } else {
      simCommand("noise off");
    }
    noiseAt_ = now + (noise_ ? uniform(5000, 20000) : uniform(10000, 40000));
  }
  if (o_.portLoss && now >= lineAt_) {
    lineDown_ = !lineDown_;
    simCommand(lineDown_ ? "line drop" : "line up");
    if (lineDown_) {
      ++portLosses_;
    } else {
      awaitingPortRecovery_ = true;
      lineUpUs_ = realUs();
    }
    lineAt_ = now + (lineDown_ ? uniform(1000, 6000) : uniform(30000, 90000));
  }
  if (awaitingPortRecovery_ &&
      *std::max_element(checker_.lastFreshUs.begin(), checker_.lastFreshUs.end()) > lineUpUs_) {
    // Back when some device has published fresh values after the line's return.
    ++portRecoveries_;
    awaitingPortRecovery_ = false;
  }
  // Two host threads write; now and then both at once.
  const int lane = static_cast<int>(uniform(0, 1));
  const int free = !writeBusy_[lane] ? lane : !writeBusy_[1 - lane] ? 1 - lane : -1;
  if (now >= nextWrite_ && free >= 0) {
    nextWrite_ = now + uniform(200, 2000);
    Command c{.type = 'w'};
    if (uniform(1, 100) <= 85) {
      const int slot = static_cast<int>(uniform(8, 15));  // the alarm instruments
      c.slot = static_cast<std::uint8_t>(slot);
      c.bit = static_cast<std::uint16_t>(checker_.instrument(slot).bitCount() - uniform(1, 3));
      c.value = static_cast<std::uint32_t>(uniform(0, 1));
    } else {
      // Not a command bit: an input of an alarm instrument, or a tag of another model.
      c.slot = static_cast<std::uint8_t>(uniform(0, 30));
      c.bit = 0;
      c.value = 1;
    }
    if (::write(commands_[free], &c, sizeof c) == sizeof c) writeBusy_[free] = true;
  }
}

void Soak::sample(bool atEnd) {
  const auto f = footprint(host_->pid());
  if (!f) return;
  const std::int64_t now = nowMs();
  if (!start_) start_ = f;
  if (now < warmUpEnd_ && !atEnd) return;
  if (!baseline_) baseline_ = f;
  rssMaxKb_ = std::max(rssMaxKb_, f->rssKb);
  if (f->threads != baseline_->threads && !threadsMoved_) {
    threadsMoved_ = true;
    checker_.violation("the host's threads went from " + std::to_string(baseline_->threads) + " to " +
                       std::to_string(f->threads));
  }
  if (f->descriptors > baseline_->descriptors && !descriptorsGrew_) {
    descriptorsGrew_ = true;
    checker_.violation("the host's open descriptors went from " + std::to_string(baseline_->descriptors) +
                       " to " + std::to_string(f->descriptors));
  }
  if (f->rssKb - baseline_->rssKb > kRssSlackKb && !memoryGrew_) {
    memoryGrew_ = true;
    checker_.violation("the host's memory grew from " + std::to_string(baseline_->rssKb) +
                       " KB after the warm-up to " + std::to_string(f->rssKb) + " KB");
  }
  if (atEnd) {
    end_ = f;
    if (f->descriptors != baseline_->descriptors)
      checker_.violation("the host holds " + std::to_string(f->descriptors) + " descriptors at the end, " +
                         std::to_string(baseline_->descriptors) + " after the warm-up");
  }
}

bool Soak::waitFor(const std::function<bool()>& done, std::int64_t timeoutMs) {
  const std::int64_t until = nowMs() + timeoutMs;
  while (!done() && !hostGone_ && nowMs() < until) pump(20);
  return done();
}

int Soak::run() {
  if (!startSimulator()) {
    std::fprintf(stderr, "duzevod-soak: the simulator did not start (see %s/sim.log)\n", dir_.c_str());
    return 2;
  }
  HostSetup setup{o_.module, dir_, dir_ + "/line", dir_ + "/module.trace", dir_ + "/host.log"};
  host_ = startHost(setup, commands_, reports_);
  if (!host_) return 2;
  fcntl(reports_, F_SETFL, fcntl(reports_, F_GETFL) | O_NONBLOCK);
  std::fprintf(stderr, "duzevod-soak: %ld s, seed %llu, port loss %s, files in %s\n", o_.seconds, o_.seed,
               o_.portLoss ? "on" : "off", dir_.c_str());
  // The start-up searches all 31 addresses inside the load.
  if (!waitFor([&] { return ready_; }, 180'000) || tableMismatches_) {
    std::fprintf(stderr, "duzevod-soak: the module did not start on the bus (see %s/host.log)\n",
                 dir_.c_str());
    return 2;
  }

  const std::int64_t begin = nowMs();
  const std::int64_t stop = begin + o_.seconds * 1000;
  warmUpEnd_ = begin + std::min<std::int64_t>(60'000, std::max<std::int64_t>(10'000, o_.seconds * 200));
  nextFault_ = begin + 3000;
  nextWrite_ = begin + 1000;
  noiseAt_ = begin + uniform(5000, 15000);
  lineAt_ = warmUpEnd_ + uniform(5000, 15000);
  std::int64_t nextReport = begin + 60'000;
  while (!interrupted && !hostGone_ && !simReaped_ && nowMs() < stop) {
    pump(20);
    const std::int64_t now = nowMs();
    inject(now);
    if (now >= nextSample_) {
      sample(false);
      nextSample_ = now + 1000;
    }
    if (now >= nextReport) {
      std::fprintf(stderr, "duzevod-soak: %3lld s: %llu cycles, %llu values checked, %zu violations\n",
                   static_cast<long long>((now - begin) / 1000),
                   static_cast<unsigned long long>(checker_.cycles),
                   static_cast<unsigned long long>(checker_.valuesChecked), checker_.violations().size());
      nextReport += 60'000;
    }
  }

  if (interrupted || simReaped_) {
    std::fprintf(stderr, "duzevod-soak: %s, no end checks\n", interrupted ? "interrupted" : "no simulator");
    figures(nowMs() - begin);
    return interrupted ? 2 : 1;
  }
  // The end: every fault cleared, then every device must be back within two cycles.
  bool wasDown = lineDown_;
  for (int slot = 0; slot < 31; ++slot)
    if (faultUntil_[slot]) simCommand(std::to_string(slot + 1) + " fault normal");
  simCommand("noise off");
  if (lineDown_) {
    simCommand("line up");
    awaitingPortRecovery_ = true;
    lineUpUs_ = realUs();
  }
  waitFor([&] { return simAwaiting_ == 0; }, 10'000);
  const std::int64_t clearedUs = realUs();
  const std::uint64_t cyclesAtClear = checker_.cycles;
  const std::uint64_t within = wasDown || awaitingPortRecovery_ ? 3 : 2;
  if (!hostGone_ &&
      !waitFor([&] { return checker_.cycles >= cyclesAtClear + within && !writeBusy_[0] && !writeBusy_[1]; },
               180'000))
    checker_.violation("polling did not complete " + std::to_string(within) +
                       " cycles within 3 minutes of the end");
  if (!hostGone_) {
    Command c{.type = 's'};
    if (::write(commands_[0], &c, sizeof c) != sizeof c || !waitFor([&] { return snapshotDone_; }, 10'000))
      checker_.violation("the host did not answer for its status table");
    for (const Report& r : snapshot_) {
      if (r.slot >= 31) continue;
      const std::string slot = "slot " + std::to_string(r.slot);
      if (!r.online)
        checker_.violation(slot + " is not online " + std::to_string(within) +
                           " cycles after the faults ended");
      if (r.counts[0] || r.counts[1])
        checker_.violation(slot + " still has " + std::to_string(r.counts[0] + r.counts[1]) +
                           " tags with quality \"device failure\" at the end");
      if (checker_.lastFreshUs[r.slot] < clearedUs)
        checker_.violation(slot + " published no fresh value after the faults ended");
    }
    sample(true);
    if (awaitingPortRecovery_ &&
        *std::max_element(checker_.lastFreshUs.begin(), checker_.lastFreshUs.end()) > lineUpUs_)
      ++portRecoveries_;
  }
  const std::int64_t took = nowMs() - begin;

  // Unload as the host does at its end; the module must let go of everything.
  if (!hostGone_) {
    Command c{.type = 'q'};
    ::close(commands_[1]);  // the second writer ends
    [[maybe_unused]] auto n = ::write(commands_[0], &c, sizeof c);
    host_->wait(15'000);
    hostGone_ = true;  // its end is expected now, not a violation
    if (!host_->ended()) {
      checker_.violation("the host did not finish unloading the module within 15 s");
    } else if (const int status = host_->rawStatus(); !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      checker_.violation("unloading the module failed (host status " + std::to_string(status) + ")");
    }
  }
  pump(0);
  quitting_ = true;
  simCommand("quit");
  sim_->process().wait(5000);
  figures(took);
  return checker_.violations().empty() ? 0 : 1;
}

void Soak::figures(std::int64_t tookMs) {
  const Checker& c = checker_;
  auto u = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
  std::printf("soak: %lld s (faults for %ld s), seed %llu, 31 instruments\n",
              static_cast<long long>(tookMs / 1000), o_.seconds, o_.seed);
  std::printf("  cycles %llu (the last ones %.1f s), exchanges %llu, broken requests %llu\n", u(c.cycles),
              cycleMs_ / 1000, u(c.requests), u(c.garbled));
  std::string faults;
  int total = 0;
  for (const auto& [name, count] : injected_) {
    faults += " " + name + " " + std::to_string(count);
    total += count;
  }
  std::printf("  faults injected %d:%s, port losses %d\n", total + portLosses_, faults.c_str(), portLosses_);
  std::printf("  recoveries: devices back from lost %llu, port back %d\n", u(c.recoveries), portRecoveries_);
  std::printf("  values checked %llu against the served replies, lost reports %llu, device numbers %llu\n",
              u(c.valuesChecked), u(c.lostReports), u(c.deviceNumbers));
  std::printf(
      "  writes: done %llu, not confirmed %llu, refused %llu; write/exchange pairs checked for overlap "
      "%llu\n",
      u(c.writesDone), u(c.writesFailed), u(c.writesRefused), u(c.overlapsChecked));
  if (start_ && baseline_ && end_)
    std::printf(
        "  host memory (RSS) start %ld KB, after warm-up %ld KB, end %ld KB (max %ld KB); descriptors %d -> "
        "%d; threads %d -> %d\n",
        start_->rssKb, baseline_->rssKb, end_->rssKb, rssMaxKb_, baseline_->descriptors, end_->descriptors,
        baseline_->threads, end_->threads);
  std::printf("  violations %zu\n", c.violations().size());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  o.seed = static_cast<unsigned long long>(std::chrono::system_clock::now().time_since_epoch().count()) %
           1000000007ull;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    char* end = nullptr;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (arg == "--version") {
      return duz::printVersion("duzevod-soak");
    } else if (arg == "--seconds" && value) {
      o.seconds = std::strtol(value, &end, 10);
      if (*end || o.seconds < 10 || o.seconds > 30 * 86400) {
        std::fprintf(stderr, "duzevod-soak: --seconds is 10 to 2592000\n");
        return 2;
      }
      ++i;
    } else if (arg == "--seed" && value) {
      o.seed = std::strtoull(value, &end, 10);
      if (*end) {
        std::fprintf(stderr, "duzevod-soak: --seed needs a number\n");
        return 2;
      }
      ++i;
    } else if ((arg == "--module" || arg == "--sim") && value) {
      (arg == "--module" ? o.module : o.sim) = value;
      ++i;
    } else if (arg == "--no-port-loss") {
      o.portLoss = false;
    } else if (arg == "--keep") {
      o.keep = true;
    } else {
      std::fprintf(stderr, "duzevod-soak: bad argument '%s' (see --help)\n", arg.c_str());
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, onInterrupt);
  signal(SIGTERM, onInterrupt);
  char pattern[] = "/tmp/duzevod-soak.XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (!dir) {
    std::perror("duzevod-soak: mkdtemp");
    return 2;
  }
  int status = 2;
  {
    Soak soak(o, dir);
    status = soak.run();
  }
  if (status == 0 && !o.keep) {
    std::error_code ec;
    fs::remove_all(dir, ec);
  } else {
    std::fprintf(
        stderr,
        "duzevod-soak: the bus file, the simulator's record, the module's trace and the logs are in %s\n",
        dir);
  }
  return status;
}
