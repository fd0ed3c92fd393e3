#include "snapshot.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "model/cp1251.h"
#include "tessarin.h"

namespace duz::host {

namespace {

// Tables are CP1251; what we print is UTF-8.
std::string text(const char* bytes, std::size_t max) {
  return cp1251ToUtf8({bytes, strnlen(bytes, max)});
}

template <typename Handle>
std::vector<TagSnapshot> readRow(const Handle* row, unsigned count) {
  std::vector<TagSnapshot> tags;
  if (!row) return tags;
  // A count beyond the row would read the next slot's records.
  count = std::min<unsigned>(count, kTagsPerKind);
  for (unsigned i = 0; i < count; ++i) {
    const Handle& h = row[i];
    TagSnapshot tag;
    if (h.name) tag.name = cp1251ToUtf8(h.name);
    if constexpr (std::is_same_v<Handle, BitTagHandle>) {
      // Also written by the module's write commands, outside the library's lock.
      tag.value =
          std::atomic_ref<std::uint8_t>(const_cast<std::uint8_t&>(h.value)).load(std::memory_order_relaxed);
    } else {
      tag.value = h.value;
    }
    tag.quality = h.quality;
    tag.timestamp = h.timestamp;
    tags.push_back(std::move(tag));
  }
  return tags;
}

void appendJsonString(std::string& out, const std::string& s) {
  out += '"';
  for (const char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

// Shortest text that reads back as the same float; null for values JSON cannot hold.
std::string analogValue(double v) {
  const auto f = static_cast<float>(v);
  if (!std::isfinite(f)) return "null";
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, f);
  return ec == std::errc() ? std::string(buf, end) : "null";
}

std::string integerValue(double v) {
  return std::to_string(static_cast<long long>(v));
}

void appendTags(std::string& out, const char* kind, const std::vector<TagSnapshot>& tags, bool analog) {
  out += ",\"";
  out += kind;
  out += "\":[";
  for (std::size_t i = 0; i < tags.size(); ++i) {
    const TagSnapshot& t = tags[i];
    if (i) out += ',';
    out += "{\"name\":";
    if (t.name)
      appendJsonString(out, *t.name);
    else
      out += "null";
    out += ",\"value\":" + (analog ? analogValue(t.value) : integerValue(t.value));
    out += ",\"quality\":" + std::to_string(t.quality);
    out += ",\"timestamp\":" + std::to_string(t.timestamp) + "}";
  }
  out += ']';
}

}  // namespace

Snapshot takeSnapshot(const DeviceStatusRecord* table, std::uint64_t t) {
  Snapshot s;
  s.t = t;
  s.devices.resize(kSlots);
  tessarinLock();
  for (int slot = 0; slot < kSlots; ++slot) {
    const DeviceStatusRecord& r = table[slot];
    DeviceSnapshot& d = s.devices[slot];
    d.slot = slot;
    // Written by the polling thread at any time.
    d.online =
        std::atomic_ref<std::uint8_t>(const_cast<std::uint8_t&>(r.online)).load(std::memory_order_relaxed);
    d.analog = readRow(r.analogTags, r.analogCount);
    d.bit = readRow(r.bitTags, r.bitCount);
    d.integer = readRow(r.intTags, r.intCount);
  }
  tessarinUnlock();
  for (int slot = 0; slot < kSlots; ++slot)
    s.devices[slot].name = text(table[slot].deviceName, sizeof table[slot].deviceName);
  return s;
}

std::string snapshotJson(const Snapshot& s) {
  std::string out = "{\"t\":" + std::to_string(s.t) + ",\"devices\":[";
  for (std::size_t i = 0; i < s.devices.size(); ++i) {
    const DeviceSnapshot& d = s.devices[i];
    if (i) out += ',';
    out += "{\"slot\":" + std::to_string(d.slot) + ",\"name\":";
    appendJsonString(out, d.name);
    out += ",\"online\":" + std::to_string(d.online);
    appendTags(out, "analog", d.analog, true);
    appendTags(out, "bit", d.bit, false);
    appendTags(out, "int", d.integer, false);
    out += '}';
  }
  out += "]}\n";
  return out;
}

std::string writeJson(std::uint64_t t, std::uint32_t slot, std::uint32_t bit, std::uint32_t value,
                      unsigned result) {
  return "{\"t\":" + std::to_string(t) + ",\"write\":{\"slot\":" + std::to_string(slot) +
         ",\"bit\":" + std::to_string(bit) + ",\"value\":" + std::to_string(value) +
         ",\"result\":" + std::to_string(result) + "}}\n";
}

std::string writeText(std::uint64_t t, std::uint32_t slot, std::uint32_t bit, std::uint32_t value,
                      unsigned result) {
  return "t = " + std::to_string(t) + " ms  write slot " + std::to_string(slot) + " bit " +
         std::to_string(bit) + " value " + std::to_string(value) + ": " +
         (result ? "done (1)" : "refused or failed (0)") + "\n";
}

}  // namespace duz::host
