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

HANDLE highResolutionTimer() {
  return CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
}

// Sleeps most of a short pause on a high-resolution timer (Windows 10 1803 and later); false where
// there is none. Plain Sleep cannot do it: its granularity is up to 15.6 ms.
bool timerSleep(std::uint32_t us) {
  HANDLE timer = highResolutionTimer();
  if (!timer) return false;
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(us) * 10;  // relative, 100 ns units
  const bool ok = SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
                  WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
  CloseHandle(timer);
  return ok;
}

using PeriodCall = UINT(WINAPI*)(UINT);

PeriodCall periodCall(void (*call)()) {
  return reinterpret_cast<PeriodCall>(call);
}

void* loadSystemLibrary(const wchar_t* name) {
  return LoadLibraryW(name);
}

void (*findProcedure(void* library, const char* name))() {
  return reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(library), name));
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

const Win32Clock::Loader Win32Clock::systemLoader{loadSystemLibrary, findProcedure};

bool Win32Clock::hasHighResolutionTimer() {
  const HANDLE timer = highResolutionTimer();
  if (!timer) return false;
  CloseHandle(timer);
  return true;
}

// winmm is taken only where its period calls are needed, so that the DLL does not bring it into every
// host. The reference is kept: giving it back would happen at the unload, under the loader lock.
Win32Clock::Win32Clock(const Loader& loader, bool highResolutionTimer) {
  if (highResolutionTimer) return;
  void* winmm = loader.load(L"winmm.dll");
  if (!winmm) return;
  timeBeginPeriod_ = loader.find(winmm, "timeBeginPeriod");
  timeEndPeriod_ = loader.find(winmm, "timeEndPeriod");
  if (!timeBeginPeriod_ || !timeEndPeriod_) timeBeginPeriod_ = timeEndPeriod_ = nullptr;
}

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
  const bool fineTimer = timeBeginPeriod_ && periodCall(timeBeginPeriod_)(1) == 0;  // TIMERR_NOERROR
  for (std::int64_t left; (left = deadline - performanceCounter()) > 0;)
    Sleep(static_cast<DWORD>((left * 1000 + frequency - 1) / frequency));
  if (fineTimer) periodCall(timeEndPeriod_)(1);
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

std::uint64_t Win32Clock::monotonicUs() {
  const std::int64_t count = performanceCounter();
  const std::int64_t frequency = performanceFrequency();
  if (frequency <= 0) return GetTickCount64() * 1000;
  // Whole seconds apart: counts times a million would overflow after a few weeks of uptime.
  return static_cast<std::uint64_t>(count / frequency * 1'000'000 +
                                    count % frequency * 1'000'000 / frequency);
}

std::uint64_t Win32Clock::fileTimeNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
}

}  // namespace duz
