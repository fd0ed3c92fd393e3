// Win32 implementations of the platform interfaces.
#pragma once

#include "platform/platform.h"

namespace duz {

class Win32Clock : public Clock {
 public:
  // The loader's calls the clock makes (the system's LoadLibraryW and GetProcAddress by default).
  struct Loader {
    void* (*load)(const wchar_t* library);
    void (*(*find)(void* library, const char* name))();
  };
  static const Loader systemLoader;

  // Made on the loading thread, inside the load, and whatever the clock needs of other libraries is
  // looked up here and only here: the polling thread must never wait for the loader lock, which an
  // unload holds while it waits for that thread. Without a high-resolution timer (systems before
  // Windows 10 1803) that is the system timer's period calls.
  explicit Win32Clock(const Loader& loader = systemLoader,
                      bool highResolutionTimer = hasHighResolutionTimer());

  bool sleepMs(std::uint32_t ms, StopSignal* stop = nullptr) override;
  void pauseMicroseconds(std::uint32_t us) override;
  std::uint64_t monotonicMs() override;
  std::uint64_t monotonicUs() override;
  std::uint64_t fileTimeNow() override;

  // A pause of `us` microseconds without a high-resolution timer: slept in whole milliseconds at a 1 ms
  // system timer, never shorter than asked and without spinning.
  void sleepAtLeast(std::uint32_t us);

  static bool hasHighResolutionTimer();

 private:
  void (*timeBeginPeriod_)() = nullptr;  // winmm's, when looked up
  void (*timeEndPeriod_)() = nullptr;
};

// A waiter on an event that is set once and never reset; null when no event could be made.
std::unique_ptr<StopSignal::Waiter> makeEventWaiter();

}  // namespace duz
