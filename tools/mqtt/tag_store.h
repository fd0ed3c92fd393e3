// The latest state of every tag, between the module's polling thread and the broker. The polling thread
// puts values in and never waits for anything but this store's own short lock; the network side takes
// what changed when it can send it. Memory is bounded by the number of tags, however long the broker is
// away: a tag that changes again before it was sent is simply overwritten.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace duz::mqtt {

struct TagValue {
  const void* handle = nullptr;  // the tag's identity: its handle record in the module
  int kind = 0;                  // TessarinAnalog, TessarinBit or TessarinInt
  double value = 0;
  std::uint32_t quality = 0;
  std::uint64_t timestamp = 0;
};

class TagStore {
 public:
  // `capacity`: the most tags kept (the module has 3 × 31 × 60 handle records); `wake` is called when
  // the first change arrives after the last take, from the publishing thread, and must return at once.
  TagStore(std::size_t capacity, std::function<void()> wake);

  // A publication. Kept and marked for sending when value, quality or timestamp differ from the last.
  void put(const TagValue& v);
  // Up to `max` tags changed since they were last taken, oldest change first.
  std::vector<TagValue> takeChanged(std::size_t max);
  // Marks every tag as changed, so that all of them are sent again (after a reconnect).
  void markAllChanged();
  // Publications dropped because the store was full (never, with the module's own handle records).
  std::size_t dropped() const;

 private:
  struct Entry {
    TagValue v;
    bool changed = false;
  };
  mutable std::mutex mutex_;
  std::size_t capacity_;
  std::function<void()> wake_;
  std::vector<Entry> entries_;
  std::unordered_map<const void*, std::size_t> index_;
  std::vector<std::size_t> changed_;  // indexes into entries_, each at most once
  std::size_t dropped_ = 0;
};

}  // namespace duz::mqtt
