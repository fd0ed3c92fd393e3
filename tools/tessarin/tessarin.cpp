#include "tessarin.h"

#include <atomic>
#include <mutex>

namespace {

std::mutex& recordsMutex() {
  static std::mutex m;
  return m;
}

std::uint64_t fileTime(std::uint32_t low, std::uint32_t high) {
  return (std::uint64_t{high} << 32) | low;
}

}  // namespace

extern "C" {

void TESSARIN_CDECL exposeAnTag(duz::AnalogTagHandle* handle, float value, std::uint32_t quality,
                                std::uint32_t timestampLow, std::uint32_t timestampHigh) {
  if (!handle) return;
  std::lock_guard lock(recordsMutex());
  handle->value = value;
  handle->quality = quality;
  handle->timestamp = fileTime(timestampLow, timestampHigh);
}

void TESSARIN_CDECL exposeBitTag(duz::BitTagHandle* handle, std::int32_t value, std::uint32_t quality,
                                 std::uint32_t timestampLow, std::uint32_t timestampHigh) {
  if (!handle) return;
  std::lock_guard lock(recordsMutex());
  // The module also writes this byte after a write command, without our lock.
  std::atomic_ref<std::uint8_t>(handle->value)
      .store(static_cast<std::uint8_t>(value), std::memory_order_relaxed);
  handle->quality = quality;
  handle->timestamp = fileTime(timestampLow, timestampHigh);
}

void TESSARIN_CDECL exposeIntTag(duz::IntTagHandle* handle, std::int32_t value, std::uint32_t quality,
                                 std::uint32_t timestampLow, std::uint32_t timestampHigh) {
  if (!handle) return;
  std::lock_guard lock(recordsMutex());
  handle->value = value;
  handle->quality = quality;
  handle->timestamp = fileTime(timestampLow, timestampHigh);
}

void TESSARIN_CDECL tessarinLock() {
  recordsMutex().lock();
}
void TESSARIN_CDECL tessarinUnlock() {
  recordsMutex().unlock();
}
}
