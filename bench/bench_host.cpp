// duzevod-bench-host: a lean host for the benchmark. Loads the module as the host does, watches the
// published timestamps, the polling thread's CPU time and the process's memory, optionally writes a
// command bit now and then, and prints what it saw as "key value…" lines for duzevod-bench.
#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/shell/exports.h"
#include "model/tables.h"
#include "module_library.h"
#include "tessarin.h"

namespace {

const char kHelp[] = R"(Usage: duzevod-bench-host --module PATH --seconds S [--write SLOT] [--quiet-reader]

Loads the module (DUZEVOD_DIR, DUZEVOD_OPERATOR, DUZEVOD_TRACE as for the module), runs S seconds after
the first published value (or S seconds after the load when none comes), unloads it, and prints:
  load_ms MS                 the load call (the module's whole start-up)
  first_value_ms MS          from the load call to the first published value
  rss_kb BEFORE LOADED END   resident memory before the load, right after it, at the end
  cycle_ms MS…               the intervals between the publications of slot 0's first tag
  refresh_ms MS…             the intervals between the publications of every data tag
  cpu WINDOW_S THREAD_MS PROCESS_MS READER_MS WAKES QUEUED_MS   CPU time after the first value: the polling
                             thread's, the whole process's, this program's own reader's; how
                             often the polling thread slept and was woken, and how long in all it
                             waited for a CPU when it could have run (QUEUED_MS)
  write CALL_UNIX_MS RETURN_MS RESULT          one line per write (with --write)
  window_unix START END      the window above in Unix seconds (to pick its part of a system-call log)
  polling_tid TID            the polling thread's thread id
--write SLOT writes the alarm instrument's last bit ("Mode of blocking") through SetBitTagValue,
alternating 1 and 0, every 0.2 to 0.9 s.
Used by duzevod-bench; the exit status is 0 after a complete run, 1 when the module cannot be loaded.
)";

std::int64_t nowNs(clockid_t clock = CLOCK_MONOTONIC) {
  timespec t{};
  clock_gettime(clock, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

std::set<int> threadIds() {
  std::set<int> ids;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ids.insert(std::atoi(e->d_name));
    closedir(d);
  }
  return ids;
}

// CPU time of another thread of this process: the kernel's per-thread clock id for its thread id.
std::int64_t threadCpuNs(int tid) {
  if (tid <= 0) return 0;
  const clockid_t clock = static_cast<clockid_t>(~static_cast<unsigned>(tid) << 3) | 6;
  return nowNs(clock);
}

// The polling thread's voluntary context switches: how often it went to sleep and was woken again.
long wakeUps(int tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "voluntary_ctxt_switches:") {
      status >> value;
      return value;
    }
    status.ignore(1 << 16, '\n');
  }
  return 0;
}

// Time the thread has spent runnable but waiting for a CPU (the kernel's scheduler statistics), in ms:
// on a loaded machine, the part of every wait that is the machine's and not the module's.
double runQueueMs(int tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  double running = 0, waiting = 0;
  stat >> running >> waiting;
  return waiting / 1e6;
}

long residentKb() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(1 << 16, '\n');
  }
  return 0;
}

// Each data tag's last seen FILETIME; an interval is recorded whenever it changes.
struct Watch {
  std::vector<std::uint64_t> last;
  std::vector<double> refreshMs;
  std::vector<double> cycleMs;
  bool anyValue = false;

  void look(const duz::DeviceStatusRecord* table) {
    std::size_t k = 0;
    tessarinLock();
    for (int slot = 0; slot < duz::kSlots; ++slot) {
      const duz::DeviceStatusRecord& r = table[slot];
      const auto see = [&](std::uint64_t stamp, bool reference) {
        if (k == last.size()) last.push_back(0);
        if (stamp != 0 && stamp != last[k]) {
          anyValue = true;
          if (last[k] != 0) {
            const double ms = static_cast<double>(stamp - last[k]) / 1e4;
            refreshMs.push_back(ms);
            if (reference) cycleMs.push_back(ms);
          }
          last[k] = stamp;
        }
        ++k;
      };
      const unsigned analogs = std::min<unsigned>(r.analogCount, duz::kTagsPerKind);
      const unsigned bits = std::min<unsigned>(r.bitCount, duz::kTagsPerKind);
      for (unsigned i = 0; i < analogs; ++i) see(r.analogTags[i].timestamp, slot == 0 && i == 0);
      for (unsigned i = 0; i < bits; ++i) see(r.bitTags[i].timestamp, slot == 0 && analogs == 0 && i == 0);
    }
    tessarinUnlock();
  }
};

void printList(const char* key, const std::vector<double>& values) {
  std::printf("%s", key);
  for (double v : values) std::printf(" %.3f", v);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string modulePath;
  double seconds = 5;
  int writeSlot = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--module" && i + 1 < argc) {
      modulePath = argv[++i];
    } else if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (a == "--write" && i + 1 < argc) {
      writeSlot = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "duzevod-bench-host: bad argument '%s' (see --help)\n", a.c_str());
      return 2;
    }
  }
  if (modulePath.empty() || seconds <= 0 || writeSlot >= duz::kSlots) {
    std::fprintf(stderr, "duzevod-bench-host: --module PATH and --seconds S > 0 are needed (see --help)\n");
    return 2;
  }

  const long rssBefore = residentKb();
  const std::set<int> before = threadIds();
  std::string error;
  const std::int64_t loadStart = nowNs();
  auto library = duz::tools::ModuleLibrary::load(modulePath, error);
  const std::int64_t loadEnd = nowNs();
  if (!library) {
    std::fprintf(stderr, "duzevod-bench-host: cannot load %s: %s\n", modulePath.c_str(), error.c_str());
    return 1;
  }
  const long rssLoaded = residentKb();
  int pollingTid = 0;
  for (int id : threadIds())
    if (!before.count(id)) pollingTid = id;
  const auto getData = library->function<duz::GetDataForDUZEvoderFn>("GetDataForDUZEvoder");
  const auto setBit = library->function<duz::SetTagValueFn>("SetBitTagValue");
  if (!getData || !setBit) {
    std::fprintf(stderr, "duzevod-bench-host: %s is not the module\n", modulePath.c_str());
    return 1;
  }
  const auto* table = static_cast<const duz::DeviceStatusRecord*>(getData());
  std::printf("load_ms %.3f\n", static_cast<double>(loadEnd - loadStart) / 1e6);

  // The first value: looked for every millisecond, for at most the given time (a bus with no device
  // publishes nothing).
  Watch watch;
  const std::int64_t patience = loadEnd + static_cast<std::int64_t>(std::max(seconds, 5.0) * 1e9);
  while (!watch.anyValue && nowNs() < patience) {
    watch.look(table);
    if (!watch.anyValue) usleep(1000);
  }
  if (watch.anyValue) std::printf("first_value_ms %.3f\n", static_cast<double>(nowNs() - loadStart) / 1e6);

  // The window: CPU times and tag intervals from here on; a host looks at its tags every 100 ms.
  const std::int64_t windowStart = nowNs();
  const std::int64_t windowUnix = nowNs(CLOCK_REALTIME);
  const std::int64_t threadStart = threadCpuNs(pollingTid);
  const long wakeStart = wakeUps(pollingTid);
  const double queueStart = runQueueMs(pollingTid);
  const std::int64_t processStart = nowNs(CLOCK_PROCESS_CPUTIME_ID);
  const std::int64_t readerStart = nowNs(CLOCK_THREAD_CPUTIME_ID);
  const std::int64_t end = windowStart + static_cast<std::int64_t>(seconds * 1e9);

  std::atomic<bool> stop{false};
  std::vector<std::string> writes;
  std::thread writer;
  if (writeSlot >= 0) {
    const std::uint32_t writeBit = table[writeSlot].bitCount - 1u;
    writer = std::thread([&] {
      std::mt19937 random(12345);
      std::uniform_int_distribution<int> pauseMs(200, 900);
      std::uint32_t value = 1;
      while (!stop) {
        const std::int64_t wakeAt = nowNs() + std::int64_t{pauseMs(random)} * 1'000'000;
        while (!stop && nowNs() < wakeAt) usleep(10'000);
        if (stop) break;
        const std::int64_t callUnix = nowNs(CLOCK_REALTIME);
        const std::int64_t call = nowNs();
        const std::uint32_t result = setBit((static_cast<std::uint32_t>(writeSlot) << 16) | writeBit, value);
        const std::int64_t back = nowNs();
        char line[128];
        std::snprintf(line, sizeof line, "write %.3f %.3f %u", static_cast<double>(callUnix) / 1e6,
                      static_cast<double>(back - call) / 1e6, result & 0xFF);
        writes.emplace_back(line);
        value ^= 1;
      }
    });
  }
  while (nowNs() < end) {
    watch.look(table);
    usleep(100'000);
  }
  stop = true;
  if (writer.joinable()) writer.join();
  const std::int64_t windowEnd = nowNs();
  const double threadMs = static_cast<double>(threadCpuNs(pollingTid) - threadStart) / 1e6;
  const long wakes = wakeUps(pollingTid) - wakeStart;
  const double queued = runQueueMs(pollingTid) - queueStart;
  const double processMs = static_cast<double>(nowNs(CLOCK_PROCESS_CPUTIME_ID) - processStart) / 1e6;
  const double readerMs = static_cast<double>(nowNs(CLOCK_THREAD_CPUTIME_ID) - readerStart) / 1e6;
  const long rssEnd = residentKb();

  std::printf("rss_kb %ld %ld %ld\n", rssBefore, rssLoaded, rssEnd);
  std::printf("window_unix %.6f %.6f\npolling_tid %d\n", static_cast<double>(windowUnix) / 1e9,
              static_cast<double>(windowUnix + (windowEnd - windowStart)) / 1e9, pollingTid);
  printList("cycle_ms", watch.cycleMs);
  printList("refresh_ms", watch.refreshMs);
  std::printf("cpu %.3f %.3f %.3f %.3f %ld %.3f\n", static_cast<double>(windowEnd - windowStart) / 1e9,
              threadMs, processMs, readerMs, wakes, queued);
  for (const std::string& w : writes) std::printf("%s\n", w.c_str());
  std::fflush(stdout);
  if (!library->unload(error)) {
    std::fprintf(stderr, "duzevod-bench-host: cannot unload: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
