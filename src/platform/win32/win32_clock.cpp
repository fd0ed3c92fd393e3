#include <windows.h>

#include "platform/win32/win32_platform.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace duz {

namespace {

std::int64_t performanceCounter() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

std::int64_t performanceFrequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

// Sleeps most of a short pause on a high-resolution timer (Windows 10 1803 and later); false where
// there is none. Plain Sleep cannot do it: its granularity is up to 15.6 ms.
bool timerSleep(std::uint32_t us) {
  HANDLE timer =
      CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
  if (!timer) return false;
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(us) * 10;  // relative, 100 ns units
  const bool ok = SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
                  WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
  CloseHandle(timer);
  return ok;
}

// The system timer's period calls, taken from winmm where they are needed: only systems without a
// high-resolution timer sleep this way, and the DLL need not bring winmm into every host.
using PeriodCall = UINT(WINAPI*)(UINT);
struct TimerPeriod {
  PeriodCall begin = nullptr;
  PeriodCall end = nullptr;
};
// Looked up once, with the system's one-time initialisation: no guarded static (why: win32_entry.cpp).
TimerPeriod periodCalls;
INIT_ONCE periodLookedUp = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK lookUpPeriod(PINIT_ONCE, PVOID, PVOID*) {
  if (const HMODULE winmm = LoadLibraryW(L"winmm.dll")) {
    const auto call = [winmm](const char* name) {
      return reinterpret_cast<PeriodCall>(reinterpret_cast<void (*)()>(GetProcAddress(winmm, name)));
    };
    periodCalls.begin = call("timeBeginPeriod");
    periodCalls.end = call("timeEndPeriod");
  }
  return TRUE;
}

const TimerPeriod& timerPeriod() {
  InitOnceExecuteOnce(&periodLookedUp, lookUpPeriod, nullptr, nullptr);
  return periodCalls;
}

// A stop's wake-up as an event that is set once and never reset. The polling thread sleeps on it rather
// than on a condition variable: its waits never reach the C++ thread library, which would otherwise keep
// bookkeeping for the thread that an unload cannot free (see win32_entry.cpp).
class EventWaiter final : public StopSignal::Waiter {
 public:
  explicit EventWaiter(HANDLE event) : event_(event) {}
  ~EventWaiter() override { CloseHandle(event_); }
  EventWaiter(const EventWaiter&) = delete;
  EventWaiter& operator=(const EventWaiter&) = delete;
  void wake() override { SetEvent(event_); }
  bool sleep(std::uint32_t ms) override { return WaitForSingleObject(event_, ms) == WAIT_OBJECT_0; }

 private:
  const HANDLE event_;
};

}  // namespace

std::unique_ptr<StopSignal::Waiter> makeEventWaiter() {
  const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!event) return nullptr;
  return std::make_unique<EventWaiter>(event);
}

bool Win32Clock::sleepMs(std::uint32_t ms, StopSignal* stop) {
  if (stop) return !stop->waitFor(ms, makeEventWaiter);
  Sleep(ms);
  return true;
}

void Win32Clock::sleepAtLeast(std::uint32_t us) {
  const std::int64_t frequency = performanceFrequency();
  const std::int64_t deadline = performanceCounter() + static_cast<std::int64_t>(us) * frequency / 1'000'000;
  // A gap is a least silence: a little longer does no harm, yielding in a loop would burn a core.
  const TimerPeriod& period = timerPeriod();
  const bool fineTimer = period.begin && period.end && period.begin(1) == 0;  // TIMERR_NOERROR
  for (std::int64_t left; (left = deadline - performanceCounter()) > 0;)
    Sleep(static_cast<DWORD>((left * 1000 + frequency - 1) / frequency));
  if (fineTimer) period.end(1);
}

void Win32Clock::pauseMicroseconds(std::uint32_t us) {
  const std::int64_t frequency = performanceFrequency();
  const std::int64_t deadline = performanceCounter() + static_cast<std::int64_t>(us) * frequency / 1'000'000;
  if (!timerSleep(us)) {
    sleepAtLeast(us);
    return;
  }
  // The timer may end a few microseconds early; the counter decides.
  while (performanceCounter() < deadline) SwitchToThread();
}

std::uint64_t Win32Clock::monotonicMs() {
  return GetTickCount64();
}

std::uint64_t Win32Clock::fileTimeNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
}

}  // namespace duz
