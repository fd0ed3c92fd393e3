// Checks the Win32 clock where a Windows (or Wine) system runs it: the precise pause lasts at least
// what was asked, a stop request cuts a long sleep short, timestamps are FILETIMEs of today, and the
// loader is called only while the clock is made, never by the thread that sleeps on it.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <thread>

#include "platform/system.h"
#include "platform/win32/win32_platform.h"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what);
  if (!ok) ++failures;
}

// This thread's processor time, microseconds.
std::int64_t busyMicroseconds() {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  const auto us = [](const FILETIME& t) {
    return static_cast<std::int64_t>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 10;
  };
  return us(kernel) + us(user);
}

// The system's loader, counting the calls made on threads other than the one that made the clock.
struct CountingLoader {
  static inline DWORD maker = 0;
  static inline std::atomic<int> calls{0}, callsElsewhere{0};
  static void count() {
    ++calls;
    if (GetCurrentThreadId() != maker) ++callsElsewhere;
  }
  static void* load(const wchar_t* library) {
    count();
    return duz::Win32Clock::systemLoader.load(library);
  }
  static void (*find(void* library, const char* name))() {
    count();
    return duz::Win32Clock::systemLoader.find(library, name);
  }
  static constexpr duz::Win32Clock::Loader loader{load, find};
};

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

  // Without a high-resolution timer the gap is slept, not spun: 200 gaps of 1.75 ms cost the processor
  // a small part of their time. The timer period's calls were looked up as the clock was made: the
  // thread that sleeps (the polling thread) never calls the loader, whose lock an unload may hold.
  CountingLoader::maker = GetCurrentThreadId();
  duz::Win32Clock coarse(CountingLoader::loader, false);
  check(CountingLoader::calls == 3, "without a high-resolution timer, winmm's calls are looked up at once");
  duz::Win32Clock fine(CountingLoader::loader, true);
  check(CountingLoader::calls == 3, "with a high-resolution timer, nothing is looked up");
  bool sleptLongEnough = true;
  std::int64_t wall = 0, busy = 0;
  std::thread sleeper([&] {
    const std::int64_t wallStart = microsecondsNow();
    const std::int64_t busyStart = busyMicroseconds();
    for (int i = 0; i < 200; ++i) {
      const std::int64_t start = microsecondsNow();
      coarse.sleepAtLeast(1750);
      sleptLongEnough = sleptLongEnough && microsecondsNow() - start >= 1750;
    }
    wall = microsecondsNow() - wallStart;
    busy = busyMicroseconds() - busyStart;
    for (duz::Win32Clock* made : {&coarse, &fine}) {
      made->pauseMicroseconds(1750);
      made->sleepMs(2);
    }
  });
  sleeper.join();
  std::printf("200 slept gaps: %lld us, %lld us of processor time\n", static_cast<long long>(wall),
              static_cast<long long>(busy));
  check(sleptLongEnough, "a slept gap lasts at least the time asked");
  check(busy * 4 < wall, "a slept gap does not keep the processor busy");
  check(CountingLoader::callsElsewhere == 0, "the sleeping thread made no loader call");

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
