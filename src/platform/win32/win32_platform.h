// Win32 implementations of the platform interfaces.
#pragma once

#include "platform/platform.h"

namespace duz {

class Win32Clock : public Clock {
 public:
  bool sleepMs(std::uint32_t ms, StopSignal* stop = nullptr) override;
  void pauseMicroseconds(std::uint32_t us) override;
  std::uint64_t monotonicMs() override;
  std::uint64_t fileTimeNow() override;

  // A pause of `us` microseconds without a high-resolution timer (systems before Windows 10 1803):
  // slept in whole milliseconds at a 1 ms system timer, never shorter than asked and without spinning.
  static void sleepAtLeast(std::uint32_t us);
};

// A waiter on an event that is set once and never reset; null when no event could be made.
std::unique_ptr<StopSignal::Waiter> makeEventWaiter();

}  // namespace duz
