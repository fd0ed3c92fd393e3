// Load and unload, again and again, in one process, as a host that reloads its modules for months:
// each cycle loads libduzevod.so (its start-up restores the configuration and opens the simulator's
// line), writes a command bit (the line must be free again, i.e. the last unload let go of it), lets
// it poll a while and unloads it. Memory, descriptors and threads must stay flat, and nothing may be
// published once an unload has returned. Prints its figures; exit status 1 on any violation.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "link_harness.h"
#include "model/tables.h"
#include "module_library.h"
#include "tessarin.h"

namespace {

int failures = 0;

void fail(const std::string& what) {
  std::printf("FAIL: %s\n", what.c_str());
  ++failures;
}

int countEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n - (std::strcmp(dir, "/proc/self/fd") == 0 ? 1 : 0);  // the listing's own descriptor
}

long residentKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

struct Usage {
  long kb;
  int fds;
  int threads;
};
Usage usage() {
  return {residentKb(), countEntries("/proc/self/fd"), countEntries("/proc/self/task")};
}

using GetData = duz::DeviceStatusRecord* (*)();
using SetBit = std::uint32_t (*)(std::uint32_t, std::uint32_t);

}  // namespace

int main(int argc, char** argv) {
  int cycles = 500;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help") {
      std::printf(
          "usage: %s [--cycles N]\n"
          "Loads the module, lets it poll the simulator's sample bus, unloads it; N times (500) in one\n"
          "process. Checks that the line is free after every unload, that nothing is published after an\n"
          "unload, and that memory, descriptors and threads stay flat. Needs DUZ_SIM, DUZ_MODULE and\n"
          "DUZ_SAMPLE_BUS as built in.\n",
          argv[0]);
      return 0;
    }
    if (a == "--cycles" && i + 1 < argc) {
      cycles = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "unknown argument %s (see --help)\n", a.c_str());
      return 2;
    }
  }
  if (cycles < 1) cycles = 1;

  duz::tools::Simulator sim(DUZ_SIM, {"--bus", DUZ_SAMPLE_BUS});
  const std::string pty = sim.path();
  if (!sim.started()) {
    std::printf("FAIL: the simulator did not start\n");
    return 1;
  }
  char pattern[] = "/tmp/duzevod-reload-XXXXXX";
  const std::string dir = mkdtemp(pattern) ? pattern : "";
  setenv("DUZEVOD_DIR", dir.c_str(), 1);
  setenv("DUZEVOD_PORTS", pty.c_str(), 1);
  // The first load searches and saves; every later one restores without asking.
  setenv("DUZEVOD_OPERATOR", ("dialog port=" + pty + " limit=5 search; dialog exit").c_str(), 1);
  unsetenv("DUZEVOD_TRACE");

  Usage warm{};
  const double start = duz::test::nowMs();
  std::uint64_t published = tessarinPublications();
  int polled = 0;
  for (int cycle = 0; cycle <= cycles; ++cycle) {
    if (tessarinPublications() != published)
      fail("published after the unload of cycle " + std::to_string(cycle - 1));
    std::string error;
    auto module = duz::tools::ModuleLibrary::load(DUZ_MODULE, error);
    if (!module) {
      fail("load: " + error);
      break;
    }
    const auto table = module->function<GetData>("GetDataForDUZEvoder")();
    const auto setBit = module->function<SetBit>("SetBitTagValue");
    if (cycle == 0) {
      setenv("DUZEVOD_OPERATOR", "answer no", 1);
    } else {
      // Slot 1 is the alarm instrument: "Reset" off is harmless, and answers only over an open line.
      if (setBit((1u << 16) | 14u, 0) != 1) fail("cycle " + std::to_string(cycle) + ": the line is not free");
      // Most cycles end before the first poll or inside it; every 25th polls until values are published.
      const bool poll = cycle % 25 == 0;
      const std::uint64_t before = tessarinPublications();
      if (poll) {
        // The first cycle begins a second after the load; a busy machine may take a while longer.
        ++polled;
        const double until = duz::test::nowMs() + 5000;
        while (tessarinPublications() == before && duz::test::nowMs() < until)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        // The polling thread writes the byte as it runs: read it as a host does, atomically.
        const std::uint8_t online = std::atomic_ref<std::uint8_t>(const_cast<std::uint8_t&>(table[0].online))
                                        .load(std::memory_order_relaxed);
        if (tessarinPublications() == before || online != 1)
          fail("cycle " + std::to_string(cycle) + ": nothing polled");
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds((cycle * 37) % 120));
      }
    }
    if (!module->unload(error)) fail("unload: " + error);
    published = tessarinPublications();
    if (cycle == 20 || (cycle == cycles && cycles < 20)) warm = usage();
  }
  // A late publication would come within a cycle.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  if (tessarinPublications() != published) fail("published after the last unload");

  const Usage end = usage();
  std::printf("%d cycles (%d of them polling) in %.1f s\n", cycles, polled,
              (duz::test::nowMs() - start) / 1000);
  std::printf("after warm-up: %ld kB resident, %d descriptors, %d threads\n", warm.kb, warm.fds,
              warm.threads);
  std::printf("at the end:    %ld kB resident, %d descriptors, %d threads\n", end.kb, end.fds, end.threads);
  if (end.fds != warm.fds) fail("descriptors grew");
  if (end.threads != warm.threads) fail("threads grew");
#if defined(DUZ_ASAN) || defined(DUZ_TSAN)
  // Sanitizers hold freed memory back on purpose (and find leaks themselves, at exit).
  std::printf("resident memory not judged in a sanitizer build\n");
#else
  // A few pages of allocator slack are not growth; a leak of one module per cycle would be megabytes.
  if (end.kb > warm.kb + 2048) fail("memory grew");
#endif
  std::filesystem::remove_all(dir);
  std::printf("%d failure(s)\n", failures);
  return failures ? 1 : 0;
}
