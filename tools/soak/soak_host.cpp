#include "soak_host.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "host/shell/exports.h"
#include "module_library.h"
#include "tessarin.h"

namespace duz::soak {

namespace {

constexpr int kCommandFd = 500;
constexpr int kReportFd = 501;
constexpr int kSecondWriterFd = 502;  // writes only, carried out on a second host thread

// The observer is a plain C callback: what it needs is set before the module may publish.
std::atomic<const DeviceStatusRecord*> table{nullptr};

std::uint64_t realtimeUs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return std::uint64_t(t.tv_sec) * 1'000'000 + std::uint64_t(t.tv_nsec) / 1000;
}

void send(const Report& r) {
  // One record is far below PIPE_BUF: written whole, never mixed with the other thread's.
  while (::write(kReportFd, &r, sizeof r) < 0 && errno == EINTR) {
  }
}

template <typename Handle>
int indexIn(const Handle* row, std::uint16_t count, const void* handle) {
  const auto at = reinterpret_cast<std::uintptr_t>(handle), base = reinterpret_cast<std::uintptr_t>(row);
  if (!row || at < base || (at - base) % sizeof(Handle)) return -1;
  const std::uintptr_t i = (at - base) / sizeof(Handle);
  return i < count ? static_cast<int>(i) : -1;
}

void TESSARIN_CDECL observe(void*, int tagKind, const void* handle, double value, std::uint32_t quality,
                            std::uint64_t timestamp) {
  const char kind = tagKind == TessarinAnalog ? 'a' : tagKind == TessarinBit ? 'b' : 'i';
  Report r;
  r.type = 'p';
  r.kind = kind;
  r.slot = 0xFF;  // a handle of no slot: the checker says so
  // A float or a 32-bit integer, both exact in the double they came as.
  r.value = kind == 'a' ? std::bit_cast<std::uint32_t>(static_cast<float>(value))
                        : static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
  r.quality = quality;
  r.timestamp = timestamp;
  if (const DeviceStatusRecord* t = table.load()) {
    for (int s = 0; s < kSlots && r.slot == 0xFF; ++s) {
      const int i = kind == 'a'   ? indexIn(t[s].analogTags, t[s].analogCount, handle)
                    : kind == 'b' ? indexIn(t[s].bitTags, t[s].bitCount, handle)
                                  : indexIn(t[s].intTags, t[s].intCount, handle);
      if (i >= 0) {
        r.slot = static_cast<std::uint8_t>(s);
        r.index = static_cast<std::uint16_t>(i);
      }
    }
  }
  send(r);
}

[[noreturn]] void runHost(const HostSetup& setup) {
  setenv("DUZEVOD_DIR", setup.dir.c_str(), 1);
  setenv("DUZEVOD_PORTS", setup.port.c_str(), 1);
  setenv("DUZEVOD_TRACE", setup.trace.c_str(), 1);
  const std::string script = "dialog port=" + setup.port + " limit=31 search; dialog exit";
  setenv("DUZEVOD_OPERATOR", script.c_str(), 1);

  tessarinObserve(observe, nullptr);
  std::string error;
  auto module = tools::ModuleLibrary::load(setup.module, error);
  auto getData = module ? module->function<GetDataForDUZEvoderFn>("GetDataForDUZEvoder") : nullptr;
  auto setBit = module ? module->function<SetTagValueFn>("SetBitTagValue") : nullptr;
  const DeviceStatusRecord* t = getData ? getData() : nullptr;
  if (!t || !setBit) {
    std::fprintf(stderr, "soak host: cannot load %s: %s\n", setup.module.c_str(),
                 module ? "no exports" : error.c_str());
    send(Report{.type = 'x'});
    _exit(1);
  }
  table.store(t);
  for (int s = 0; s < kSlots; ++s) {
    Report r{.type = 't', .slot = static_cast<std::uint8_t>(s)};
    r.counts[0] = t[s].analogCount;
    r.counts[1] = t[s].bitCount;
    r.counts[2] = t[s].intCount;
    send(r);
  }
  send(Report{.type = 'r'});

  // Host threads write at any time, also two at once.
  auto write = [setBit](const Command& c, char lane) {
    Report r{.type = 'w', .kind = lane, .slot = c.slot, .index = c.bit, .value = c.value};
    r.timestamp = realtimeUs();
    r.quality = setBit((std::uint32_t{c.slot} << 16) | c.bit, c.value) & 0xFF;
    r.until = realtimeUs();
    send(r);
  };
  std::thread second([&] {
    for (Command c; ::read(kSecondWriterFd, &c, sizeof c) == sizeof c;)
      if (c.type == 'w') write(c, 1);
  });
  for (Command c; ::read(kCommandFd, &c, sizeof c) == sizeof c && c.type != 'q';) {
    if (c.type == 'w') {
      write(c, 0);
    } else if (c.type == 's') {
      for (int s = 0; s < kSlots; ++s) {
        Report r{.type = 'o', .slot = static_cast<std::uint8_t>(s)};
        tessarinLock();
        r.online = t[s].online;
        for (int i = 0; i < t[s].analogCount; ++i)
          r.counts[0] += t[s].analogTags[i].quality == QualityDeviceFailure;
        for (int i = 0; i < t[s].bitCount; ++i)
          r.counts[1] += t[s].bitTags[i].quality == QualityDeviceFailure;
        tessarinUnlock();
        send(r);
      }
      send(Report{.type = 'e'});
    }
  }
  // The soak closes the second writer's pipe before it asks us to end.
  second.join();
  tessarinObserve(nullptr, nullptr);
  const int status = module->unload(error) ? 0 : 1;
  _exit(status);
}

}  // namespace

std::unique_ptr<tools::Child> startHost(const HostSetup& setup, int (&commands)[2], int& reports) {
  int toHost[2], toSecond[2], fromHost[2];
  if (pipe2(toHost, O_CLOEXEC) != 0 || pipe2(toSecond, O_CLOEXEC) != 0 || pipe2(fromHost, O_CLOEXEC) != 0)
    return nullptr;
  // Only what a host would have open: the standard streams (its output in the log) and the two pipes.
  // It goes with the soak, however the soak ends.
  auto host = std::make_unique<tools::Child>(tools::ChildSetup{
      .input = false,
      .errorFile = setup.log,
      .appendErrors = true,
      .outputToErrors = true,
      .parentDeathSignal = SIGKILL,
      .descriptors = {{toHost[0], kCommandFd}, {fromHost[1], kReportFd}, {toSecond[0], kSecondWriterFd}},
      .body = [setup] { runHost(setup); }});
  ::close(toHost[0]);
  ::close(toSecond[0]);
  ::close(fromHost[1]);
  commands[0] = toHost[1];
  commands[1] = toSecond[1];
  reports = fromHost[0];
  if (!host->started()) {
    ::close(commands[0]);
    ::close(commands[1]);
    ::close(reports);
    return nullptr;
  }
  return host;
}

}  // namespace duz::soak
