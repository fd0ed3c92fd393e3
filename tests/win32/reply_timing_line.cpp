// The far end of the reply-timing table for the Windows port under Wine, and its judge. It makes a
// pseudo-terminal, points LINK at it (the Wine prefix maps a COM port to LINK), starts COMMAND (the
// Windows reading end, reply_timing_probe.exe under Wine) and, for every row of the table, answers the
// probe's request byte with the row's reply, each byte at its planned moment. The probe reports when
// its reads started and ended; Wine's performance counter is Linux's CLOCK_MONOTONIC_RAW, so both ends'
// moments are on one clock and each read is judged against the Win32 time-out rules as the POSIX
// port's test judges it.
// Wine keeps a serial read's time-outs in its server: the total one as the read's own deadline from the
// moment it is queued, the interval one as a timer started each time the read waits for bytes again
// (it ends only a read that has some), that is from when the server last handed bytes over, which on a
// pseudo-terminal is their arrival within the server's wake-up. So every row can be timed under Wine as on
// Windows; the server's waits for a processor count as the machine's disturbance, with the probe's.
//   reply_timing_line LINK COMMAND...
// Exit status 0 when every row that can be judged ends as Win32 ends it, 1 otherwise, 2 when the run
// itself failed.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/reply_timings.h"

extern char** environ;

namespace {

using duz::test::ReplyTiming;
using duz::test::RowRun;

[[noreturn]] void broken(const std::string& what) {
  std::printf("FAIL: %s\n", what.c_str());
  std::fflush(stdout);
  std::exit(2);
}

double clockMs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}
double rawMs() {
  return clockMs(CLOCK_MONOTONIC_RAW);
}

// Time the threads of a process have waited for a processor while ready to run (ms).
double runQueueMs(pid_t pid) {
  double total = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (!dir) return 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
    double running = 0, waiting = 0;
    if (stat >> running >> waiting) total += waiting / 1e6;
  }
  closedir(dir);
  return total;
}

// The Wine server of this prefix: every serial read of the probe passes through it.
pid_t wineServer() {
  const char* prefix = std::getenv("WINEPREFIX");
  if (!prefix) return 0;
  const std::string wanted = std::string("WINEPREFIX=") + prefix;
  DIR* proc = opendir("/proc");
  pid_t found = 0;
  while (const dirent* entry = proc ? readdir(proc) : nullptr) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!(comm >> name) || name.rfind("wineserver", 0) != 0) continue;
    std::ifstream environment("/proc/" + std::to_string(pid) + "/environ");
    std::string variable;
    while (std::getline(environment, variable, '\0'))
      if (variable == wanted) found = pid;
  }
  if (proc) closedir(proc);
  return found;
}

class Probe {
 public:
  Probe(char** command) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) broken("no pipes");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (posix_spawnp(&pid_, command[0], &actions, nullptr, command, environ) != 0)
      broken(std::string("cannot start ") + command[0]);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    toProbe_ = in[1];
    fromProbe_ = out[0];
  }
  pid_t pid() const { return pid_; }

  void tell(const char* line) {
    if (::write(toProbe_, line, std::strlen(line)) < 0) broken("the probe's input is closed");
  }

  // The probe's next line that starts with `word`, within `seconds`; what else it prints goes through.
  std::string expect(const std::string& word, int seconds) {
    const double deadline = rawMs() + seconds * 1000.0;
    for (;;) {
      const std::size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        if (line.rfind(word, 0) == 0) return line;
        std::printf("probe: %s\n", line.c_str());
        if (line.rfind("FAIL", 0) == 0) broken("the probe failed");
        continue;
      }
      pollfd p{fromProbe_, POLLIN, 0};
      const int wait = static_cast<int>(deadline - rawMs());
      if (wait <= 0 || poll(&p, 1, wait) <= 0)
        broken("the probe said nothing for " + std::to_string(seconds) + " s");
      char chunk[4096];
      const ssize_t n = ::read(fromProbe_, chunk, sizeof chunk);
      if (n <= 0) broken("the probe ended before the table did");
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  int finish() {
    tell("end\n");
    close(toProbe_);
    int status = 0;
    waitpid(pid_, &status, 0);
    close(fromProbe_);
    return status;
  }

 private:
  pid_t pid_ = 0;
  int toProbe_ = -1, fromProbe_ = -1;
  std::string buffer_;
};

// Waits for the probe's request byte on the line; its arrival, on the raw clock.
double awaitRequest(int master) {
  pollfd p{master, POLLIN, 0};
  if (poll(&p, 1, 30'000) <= 0) broken("no request on the line within 30 s");
  const double arrival = rawMs();
  std::uint8_t request[16];
  const ssize_t n = ::read(master, request, sizeof request);
  if (n != 1 || request[0] != 0xA5) broken("the request on the line is not the probe's one byte");
  return arrival;
}

// Sends the row's reply from `originRaw` on; when each byte went, ms after the origin.
std::vector<double> sendReply(int master, const ReplyTiming& row, double originRaw) {
  // CLOCK_MONOTONIC_RAW cannot be slept on; over a second its rate is CLOCK_MONOTONIC's to parts per
  // million, so the plan is moved over to that clock once.
  const double toMonotonic = clockMs(CLOCK_MONOTONIC) - rawMs();
  std::vector<double> sent(row.reply.size(), 0);
  for (std::size_t i = 0, piece = 1; i < row.reply.size(); i += piece) {
    piece = 1;  // bytes due at the same moment go in one write
    while (i + piece < row.reply.size() && row.dueMs[i + piece] == row.dueMs[i]) ++piece;
    const double dueMs = originRaw + row.dueMs[i] + toMonotonic;
    const auto dueNs = static_cast<std::int64_t>(dueMs * 1e6);
    const timespec at{static_cast<time_t>(dueNs / 1'000'000'000), static_cast<long>(dueNs % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
    if (::write(master, &row.reply[i], piece) != static_cast<ssize_t>(piece))
      broken("a write to the line failed");
    const double at_ = rawMs() - originRaw;
    for (std::size_t k = i; k < i + piece; ++k) sent[k] = at_;
  }
  return sent;
}

// The probe's report of one run, moments made relative to the origin. `lagMs` gets how long after the
// probe's write call ended its request arrived here.
RowRun parseRun(const std::string& line, double originRaw, double requestRaw, double& lagMs) {
  std::istringstream in(line.substr(4));
  RowRun run;
  double writeStart = 0, writeEnd = 0;
  in >> writeStart >> writeEnd;
  // A request that arrived before it was written: the two ends do not share a clock.
  if (requestRaw < writeStart - 1)
    broken("the probe's clock is not CLOCK_MONOTONIC_RAW: its request went out at " +
           std::to_string(writeStart) + " ms and arrived at " + std::to_string(requestRaw) + " ms");
  lagMs = requestRaw - writeEnd;
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  // Each read as START END BYTES, then the bytes taken in hex ("-" for none).
  if (words.empty() || words.size() % 3 != 1) broken("the probe's report is garbled: " + line);
  for (std::size_t k = 0; k + 1 < words.size(); k += 3) {
    run.startsMs.push_back(std::stod(words[k]) - originRaw);
    run.reads.push_back({std::stoi(words[k + 2]), std::stod(words[k + 1]) - originRaw});
  }
  const std::string& hex = words.back();
  for (std::size_t i = 0; hex != "-" && i + 1 < hex.size() && i / 2 < run.got.size(); i += 2)
    run.got[i / 2] = static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return run;
}

std::string describe(const RowRun& run) {
  std::string text;
  char part[64];
  for (std::size_t i = 0; i < run.reads.size(); ++i) {
    std::snprintf(part, sizeof part, "%sread %zu: %d bytes at %.1f ms", i ? "; " : "", i, run.reads[i].bytes,
                  run.reads[i].endMs);
    text += part;
  }
  return text;
}

std::string win32Describe(const ReplyTiming& row, const RowRun& run) {
  std::string text;
  char part[64];
  std::size_t next = 0;
  for (std::size_t i = 0; i < run.reads.size(); ++i) {
    const int count = i == 0 ? 3 : duz::test::bodyCount(run.got.data());
    const auto model = duz::test::win32Read(run.sentMs, next, count, run.startsMs[i]);
    std::snprintf(part, sizeof part, "%s%d at %.1f", i ? "; " : "", model.bytes, model.endMs);
    text += part;
  }
  (void)row;
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: reply_timing_line LINK COMMAND...\n");
    return 2;
  }
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::signal(SIGPIPE, SIG_IGN);  // a probe that died is reported, not a silent end
  const std::string link = argv[1];
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) broken("no pseudo-terminal");
  termios raw{};
  tcgetattr(master, &raw);
  cfmakeraw(&raw);
  tcsetattr(master, TCSANOW, &raw);
  const std::string slave = ptsname(master);
  // Held open here so that the line never hangs up between the probe's opens.
  const int holder = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (holder < 0) broken("the pseudo-terminal's line does not open");
  unlink((link + ".new").c_str());
  if (symlink(slave.c_str(), (link + ".new").c_str()) != 0 ||
      rename((link + ".new").c_str(), link.c_str()) != 0)
    broken("cannot point " + link + " at " + slave);

  Probe probe(argv + 2);
  std::printf("%s\n", probe.expect("port", 60).c_str());
  const pid_t server = wineServer();
  if (!server) std::printf("note: no Wine server of this prefix found; only the probe's waits are counted\n");

  const double tolerance = duz::test::timingToleranceMs();
  const std::vector<ReplyTiming> rows = duz::test::replyTimingRows();
  int failed = 0, unjudged = 0, reruns = 0;
  // ms from the end of the probe's write call to its request's arrival here
  double leastLag = 1e9, mostLag = 0;
  for (const ReplyTiming& row : rows) {
    RowRun best;
    double bestDisturbed = 1e9;
    for (int attempt = 0;
         attempt < duz::test::kRowAttempts && duz::test::runRowAgain(bestDisturbed, tolerance); ++attempt) {
      if (attempt > 0) ++reruns;
      probe.tell("go\n");
      const double request = awaitRequest(master);
      // A device answers after a turnaround; this one leaves the probe time to purge after its write.
      const double origin = request + 10;
      const double queued = runQueueMs(probe.pid()) + (server ? runQueueMs(server) : 0);
      const std::vector<double> sent = sendReply(master, row, origin);
      double lag = 0;
      RowRun run = parseRun(probe.expect("run", 30), origin, request, lag);
      leastLag = std::min(leastLag, lag);
      mostLag = std::max(mostLag, lag);
      run.sentMs = sent;
      const double waited = runQueueMs(probe.pid()) + (server ? runQueueMs(server) : 0) - queued;
      // A probe that began its read only after the reply's first byte may have purged bytes of it
      // after its write: that run did not test the row.
      const double readerLate = !run.startsMs.empty() && run.startsMs[0] > sent[0]
                                    ? duz::test::kUnjudgedMs + run.startsMs[0] - sent[0]
                                    : 0;
      const double disturbed = duz::test::writerLateMs(row, sent, 0) + waited + readerLate;
      if (disturbed < bestDisturbed) {
        best = std::move(run);
        bestDisturbed = disturbed;
      }
    }
    if (bestDisturbed >= duz::test::kUnjudgedMs) {
      std::printf("not judged  %s: this machine disturbed every run by %.1f ms or more\n", row.name,
                  bestDisturbed);
      ++unjudged;
      continue;
    }
    const std::vector<std::string> faults =
        duz::test::judgeRow(row, best, duz::test::allowedMs(bestDisturbed, tolerance));
    std::printf("%s  %s: %s (Win32: %s)%s\n", faults.empty() ? "ok  " : "FAIL", row.name,
                describe(best).c_str(), win32Describe(row, best).c_str(),
                duz::test::runRowAgain(bestDisturbed, tolerance) ? " [judged with more tolerance]" : "");
    for (const std::string& fault : faults) std::printf("      %s\n", fault.c_str());
    if (!faults.empty()) ++failed;
  }
  const int status = probe.finish();
  // This end may be kept from its processor now and then; never on every request, unless the two
  // ends' clocks differ.
  if (leastLag > 50)
    broken("the probe's clock is not CLOCK_MONOTONIC_RAW: every request arrived " + std::to_string(leastLag) +
           " ms or more after it was written");
  close(holder);
  close(master);
  unlink(link.c_str());
  std::printf("requests arrived %.1f to %.1f ms after the probe's write call\n", leastLag, mostLag);
  if (reruns > 0) std::printf("%d run(s) again: the machine delayed the writer or the reader\n", reruns);
  std::printf("%zu rows: %d failed, %d not judged (busy machine)\n", rows.size(), failed, unjudged);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::printf("FAIL: the probe ended with status %d\n", status);
    return 1;
  }
  if (unjudged >= static_cast<int>(rows.size()) / 2) {
    std::printf("FAIL: this machine is too busy to time a serial line\n");
    return 1;
  }
  return failed ? 1 : 0;
}
