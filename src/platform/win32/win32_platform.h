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
};

}  // namespace duz
