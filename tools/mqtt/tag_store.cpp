#include "tag_store.h"

#include <algorithm>

namespace duz::mqtt {

TagStore::TagStore(std::size_t capacity, std::function<void()> wake)
    : capacity_(capacity), wake_(std::move(wake)) {
  entries_.reserve(capacity);
  changed_.reserve(capacity);
  index_.reserve(capacity);
}

void TagStore::put(const TagValue& v) {
  bool first = false;
  {
    std::lock_guard lock(mutex_);
    auto [it, added] = index_.try_emplace(v.handle, entries_.size());
    if (added) {
      if (entries_.size() >= capacity_) {
        index_.erase(it);
        ++dropped_;
        return;
      }
      entries_.push_back({v, false});
    }
    Entry& e = entries_[it->second];
    if (!added && e.v.value == v.value && e.v.quality == v.quality && e.v.timestamp == v.timestamp &&
        e.v.kind == v.kind)
      return;
    e.v = v;
    if (!e.changed) {
      e.changed = true;
      first = changed_.empty();
      changed_.push_back(it->second);
    }
  }
  if (first && wake_) wake_();
}

std::vector<TagValue> TagStore::takeChanged(std::size_t max) {
  std::lock_guard lock(mutex_);
  const std::size_t n = std::min(max, changed_.size());
  std::vector<TagValue> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    Entry& e = entries_[changed_[i]];
    e.changed = false;
    out.push_back(e.v);
  }
  changed_.erase(changed_.begin(), changed_.begin() + static_cast<std::ptrdiff_t>(n));
  return out;
}

void TagStore::markAllChanged() {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (!entries_[i].changed) {
      entries_[i].changed = true;
      changed_.push_back(i);
    }
}

std::size_t TagStore::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace duz::mqtt
