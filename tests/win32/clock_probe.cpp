// Checks the Win32 clock where a Windows (or Wine) system runs it: the precise pause lasts at least
// what was asked, a stop request cuts a long sleep short, and timestamps are FILETIMEs of today.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <thread>

#include "platform/system.h"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what);
  if (!ok) ++failures;
}

std::int64_t microsecondsNow() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return now.QuadPart * 1'000'000 / frequency.QuadPart;
}

}  // namespace

int main() {
  auto clock = duz::makeSystemClock();

  bool pausesLongEnough = true;
  for (std::uint32_t us : {1750u, 4010u, 250u}) {
    const std::int64_t start = microsecondsNow();
    clock->pauseMicroseconds(us);
    pausesLongEnough = pausesLongEnough && microsecondsNow() - start >= us;
  }
  check(pausesLongEnough, "pauseMicroseconds lasts at least the time asked");

  const std::uint64_t before = clock->monotonicMs();
  check(clock->sleepMs(20), "a sleep without stop signal runs to its end");
  check(clock->monotonicMs() >= before, "monotonicMs never goes back");

  duz::StopSignal stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.request();
  });
  const std::uint64_t sleepStart = clock->monotonicMs();
  const bool completed = clock->sleepMs(60'000, &stop);
  stopper.join();
  check(!completed && clock->monotonicMs() - sleepStart < 30'000, "a stop request ends a long sleep early");
  check(!clock->sleepMs(1000, &stop), "a sleep after a stop request ends at once");

  // FILETIME: 100 ns units since 1601; the Unix epoch is 116444736000000000 in these units.
  const std::uint64_t unixSeconds = static_cast<std::uint64_t>(std::time(nullptr));
  const std::uint64_t fromFileTime = (clock->fileTimeNow() - 116444736000000000ull) / 10'000'000;
  check(fromFileTime + 2 >= unixSeconds && fromFileTime <= unixSeconds + 2,
        "fileTimeNow is the current UTC time");

  std::printf("%d failure(s)\n", failures);
  return failures ? 1 : 0;
}
