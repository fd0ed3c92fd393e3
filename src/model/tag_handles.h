// The three tag-handle arrays: 31 x 60 records each, slot-major, alive from load to unload.
#pragma once

#include <array>
#include <cstdlib>
#include <cstring>

#include "model/tables.h"

namespace duz {

// Gives a handle record its name: releases the old one, stores a heap copy of text (null for null text,
// or when the allocation fails). Touches nothing but the record's name.
template <typename Handle>
void tagName(Handle& handle, const char* text) {
  std::free(handle.name);
  handle.name = nullptr;
  if (!text) return;
  const std::size_t n = std::strlen(text) + 1;
  if (auto* copy = static_cast<char*>(std::malloc(n))) {
    std::memcpy(copy, text, n);
    handle.name = copy;
  }
}

template <typename Handle>
class TagHandleArray {
 public:
  // Every record zero with a null name, in index order.
  TagHandleArray() {
    for (auto& h : records_) std::memset(static_cast<void*>(&h), 0, sizeof h);
  }
  // Destroying a record releases its name.
  ~TagHandleArray() {
    for (auto& h : records_) tagName(h, nullptr);
  }
  TagHandleArray(const TagHandleArray&) = delete;
  TagHandleArray& operator=(const TagHandleArray&) = delete;

  Handle* row(int slot) { return records_.data() + slot * kTagsPerKind; }
  Handle& at(int slot, int index) { return records_[slot * kTagsPerKind + index]; }
  Handle* data() { return records_.data(); }

 private:
  std::array<Handle, kSlots * kTagsPerKind> records_;
};

}  // namespace duz
