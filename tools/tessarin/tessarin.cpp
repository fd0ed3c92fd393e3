#include "tessarin.h"

#include <atomic>
#include <mutex>
#include <type_traits>

namespace {

std::mutex& recordsMutex() {
  static std::mutex m;
  return m;
}

std::atomic<std::uint64_t> publications{0};
// Both guarded by recordsMutex().
TessarinObserver observer = nullptr;
void* observerContext = nullptr;

template <typename Handle>
constexpr int kindOf() {
  if constexpr (std::is_same_v<Handle, duz::AnalogTagHandle>) return TessarinAnalog;
  if constexpr (std::is_same_v<Handle, duz::BitTagHandle>) return TessarinBit;
  return TessarinInt;
}

// Stores one publication into its record: value, quality, FILETIME (low half first).
template <typename Handle, typename Value>
void store(Handle* handle, Value value, std::uint32_t quality, std::uint32_t timestampLow,
           std::uint32_t timestampHigh) {
  if (!handle) return;
  std::lock_guard lock(recordsMutex());
  publications.fetch_add(1, std::memory_order_relaxed);
  if constexpr (std::is_same_v<Handle, duz::BitTagHandle>) {
    // The module also writes this byte after a write command, without our lock.
    std::atomic_ref<std::uint8_t>(handle->value)
        .store(static_cast<std::uint8_t>(value), std::memory_order_relaxed);
  } else {
    handle->value = value;
  }
  handle->quality = quality;
  handle->timestamp = (std::uint64_t{timestampHigh} << 32) | timestampLow;
  if (observer)
    observer(observerContext, kindOf<Handle>(), handle, static_cast<double>(value), quality,
             handle->timestamp);
}

}  // namespace

extern "C" {

void TESSARIN_CDECL exposeAnTag(duz::AnalogTagHandle* handle, float value, std::uint32_t quality,
                                std::uint32_t timestampLow, std::uint32_t timestampHigh) {
  store(handle, value, quality, timestampLow, timestampHigh);
}

void TESSARIN_CDECL exposeBitTag(duz::BitTagHandle* handle, std::int32_t value, std::uint32_t quality,
                                 std::uint32_t timestampLow, std::uint32_t timestampHigh) {
  store(handle, value, quality, timestampLow, timestampHigh);
}

void TESSARIN_CDECL exposeIntTag(duz::IntTagHandle* handle, std::int32_t value, std::uint32_t quality,
                                 std::uint32_t timestampLow, std::uint32_t timestampHigh) {
  store(handle, value, quality, timestampLow, timestampHigh);
}

void TESSARIN_CDECL tessarinLock() {
  recordsMutex().lock();
}
void TESSARIN_CDECL tessarinUnlock() {
  recordsMutex().unlock();
}
std::uint64_t TESSARIN_CDECL tessarinPublications() {
  return publications.load(std::memory_order_relaxed);
}

void TESSARIN_CDECL tessarinObserve(TessarinObserver newObserver, void* context) {
  std::lock_guard lock(recordsMutex());
  observer = newObserver;
  observerContext = context;
}
}
