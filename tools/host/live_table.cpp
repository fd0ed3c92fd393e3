#include "live_table.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace duz::host {

namespace {

constexpr const char* kModels[] = {"LUMA-12", "DEK-04", "VEKS-1", "VEKS-2", "ORTA"};
constexpr const char* kReset = "Reset";
constexpr const char* kCancellation = "Cancellation of the signal system";
constexpr const char* kBlocking = "Mode of blocking";
constexpr std::size_t kMaxNameWidth = 52;

// One line under a device: tag name, value, limits, quality, age.
struct Row {
  std::string name, value, limits, quality, age;
};

// Display width of UTF-8 text: its code points.
std::size_t width(const std::string& s) {
  return static_cast<std::size_t>(std::count_if(
      s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string padRight(const std::string& s, std::size_t w) {
  const std::size_t n = width(s);
  return n >= w ? s : s + std::string(w - n, ' ');
}

std::string padLeft(const std::string& s, std::size_t w) {
  const std::size_t n = width(s);
  return n >= w ? s : std::string(w - n, ' ') + s;
}

// Cuts text to `w` code points, marking the cut.
std::string cut(const std::string& s, std::size_t w) {
  if (width(s) <= w) return s;
  std::string out;
  std::size_t n = 0;
  for (char c : s) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 && ++n > w - 1) break;
    out += c;
  }
  return out + "~";
}

std::string fixed(double value, int decimals) {
  char buffer[64];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  return ec == std::errc() ? std::string(buffer, end) : "?";
}

std::string shortest(double value) {
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(value));
  return ec == std::errc() ? std::string(buffer, end) : "?";
}

std::string ageText(std::uint64_t now, std::uint64_t timestamp) {
  if (timestamp == 0) return "never";
  const double seconds = now > timestamp ? static_cast<double>(now - timestamp) / 1e7 : 0.0;
  char text[32];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%s s", fixed(seconds, 1).c_str());
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%d min", static_cast<int>(seconds / 60));
  } else {
    std::snprintf(text, sizeof text, "%d h", static_cast<int>(seconds / 3600));
  }
  return text;
}

bool published(const TagSnapshot& t) {
  return t.timestamp != 0;
}

std::string analogText(const TagSnapshot& t, const std::string& model) {
  if (!published(t)) return "-";
  if (model == "VEKS-1" || model == "VEKS-2") return fixed(t.value, 1) + " °C";
  if (model == "ORTA") return fixed(t.value, 2) + " %";
  return shortest(t.value);
}

std::string qualityText(const TagSnapshot& t) {
  return published(t) ? qualityWords(t.quality) : "waiting";
}

const std::string& nameOf(const TagSnapshot& t) {
  static const std::string none = "(no name)";
  return t.name ? *t.name : none;
}

// A name ending in a number: the text before it and the number.
std::optional<std::pair<std::string, long>> numbered(const std::string& name) {
  std::size_t i = name.size();
  while (i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1]))) --i;
  if (i == name.size() || name.size() - i > 6) return std::nullopt;
  return std::make_pair(name.substr(0, i), std::stol(name.substr(i)));
}

// Bits that belong to an analog tag as its limits: "<name>: Limit k" or "<name without .Value>.Limit k".
int limitBit(const std::vector<TagSnapshot>& bits, std::vector<bool>& used, const std::string& analog,
             int k) {
  std::vector<std::string> names = {analog + ": Limit " + std::to_string(k)};
  if (analog.size() > 6 && analog.ends_with(".Value"))
    names.push_back(analog.substr(0, analog.size() - 6) + ".Limit " + std::to_string(k));
  for (std::size_t i = 0; i < bits.size(); ++i)
    if (!used[i] && bits[i].name && std::find(names.begin(), names.end(), *bits[i].name) != names.end()) {
      used[i] = true;
      return static_cast<int>(i);
    }
  return -1;
}

void deviceRows(const DeviceSnapshot& d, const std::string& model, std::uint64_t now,
                std::vector<Row>& rows) {
  std::vector<bool> used(d.bit.size(), false);
  for (const TagSnapshot& a : d.analog) {
    Row row{nameOf(a), analogText(a, model), "", qualityText(a), ageText(now, a.timestamp)};
    for (int k = 1; k <= 2; ++k) {
      const int b = a.name ? limitBit(d.bit, used, *a.name, k) : -1;
      if (b >= 0 && published(d.bit[b]) && d.bit[b].value != 0)
        row.limits += (row.limits.empty() ? "limit " : ", ") + std::to_string(k);
    }
    rows.push_back(row);
  }

  // Runs of bits numbered 1, 2, 3 ... under one name show as one row of 0s and 1s.
  for (std::size_t i = 0; i < d.bit.size();) {
    if (used[i]) {
      ++i;
      continue;
    }
    const TagSnapshot& first = d.bit[i];
    const auto head = first.name ? numbered(*first.name) : std::nullopt;
    std::size_t end = i + 1;
    while (head && end < d.bit.size() && !used[end] && d.bit[end].name) {
      const auto next = numbered(*d.bit[end].name);
      if (!next || next->first != head->first || next->second != head->second + static_cast<long>(end - i))
        break;
      ++end;
    }
    Row row;
    if (end - i == 1) {
      row = {nameOf(first), published(first) ? std::to_string(static_cast<int>(first.value)) : "-", "",
             qualityText(first), ageText(now, first.timestamp)};
    } else {
      row.name = *first.name + ".." + std::to_string(head->second + static_cast<long>(end - i) - 1);
      std::uint64_t oldest = d.bit[i].timestamp;
      row.quality = qualityText(first);
      for (std::size_t k = i; k < end; ++k) {
        if (k > i && (k - i) % 4 == 0) row.value += ' ';
        row.value += published(d.bit[k]) ? (d.bit[k].value != 0 ? '1' : '0') : '-';
        if (qualityText(d.bit[k]) != row.quality) row.quality = "mixed";
        oldest = std::min(oldest, d.bit[k].timestamp);
      }
      row.age = ageText(now, oldest);
    }
    rows.push_back(row);
    i = end;
  }

  for (const TagSnapshot& t : d.integer) {
    if (t.name && *t.name == "Device number") continue;  // shown as the address
    rows.push_back({nameOf(t), published(t) ? std::to_string(static_cast<long long>(t.value)) : "-", "",
                    qualityText(t), ageText(now, t.timestamp)});
  }
}

std::string addressOf(const DeviceSnapshot& d) {
  for (const TagSnapshot& t : d.integer)
    if (t.name && *t.name == "Device number" && published(t))
      return std::to_string(static_cast<long long>(t.value));
  return "-";
}

bool hasTags(const DeviceSnapshot& d) {
  return !d.analog.empty() || !d.bit.empty() || !d.integer.empty();
}

}  // namespace

std::string modelOf(const DeviceSnapshot& d) {
  for (const auto* tags : {&d.analog, &d.bit})
    for (const TagSnapshot& t : *tags)
      for (const char* model : kModels)
        if (t.name && t.name->starts_with(model) &&
            (t.name->size() == std::string_view(model).size() ||
             !std::isalnum(static_cast<unsigned char>((*t.name)[std::string_view(model).size()]))))
          return model;
  return commandBits(d) ? "DEK-04" : "";
}

std::string qualityWords(std::uint32_t quality) {
  switch (quality) {
    case 0x800000C0u:
      return "good";
    case 0x8000000Cu:
      return "device failure";
    case 0x80000010u:
      return "sensor failure";
    case 0x80000050u:
      return "not accurate";
    case 0x80000004u:
      return "configuration error";
    default: {
      char text[16];
      std::snprintf(text, sizeof text, "0x%08X", quality);
      return text;
    }
  }
}

std::optional<CommandBits> commandBits(const DeviceSnapshot& d) {
  CommandBits bits;
  for (std::size_t i = 0; i < d.bit.size(); ++i) {
    if (!d.bit[i].name) continue;
    const std::string& name = *d.bit[i].name;
    if (name == kReset) bits.reset = static_cast<int>(i);
    if (name == kCancellation) bits.cancellation = static_cast<int>(i);
    if (name == kBlocking) bits.blocking = static_cast<int>(i);
  }
  if (bits.reset < 0 || bits.cancellation < 0 || bits.blocking < 0) return std::nullopt;
  return bits;
}

std::vector<std::string> liveTable(const Snapshot& s, std::uint64_t now, int selected) {
  struct Block {
    std::string header;
    std::vector<Row> rows;
  };
  std::vector<Block> blocks;
  std::vector<std::string> lines;
  int devices = 0;
  for (std::size_t slot = 0; slot < s.devices.size();) {
    const DeviceSnapshot& d = s.devices[slot];
    if (!hasTags(d)) {
      // Slots without tags hold no device: one line for each run of them.
      std::size_t end = slot + 1;
      while (end < s.devices.size() && !hasTags(s.devices[end])) ++end;
      const std::string range = end - slot == 1 ? d.name : d.name + " .. " + s.devices[end - 1].name;
      blocks.push_back({"  " + range + ": no device", {}});
      slot = end;
      continue;
    }
    ++devices;
    const std::string model = modelOf(d);
    char header[160];
    std::snprintf(header, sizeof header, "%s %-9s slot %-2d  address %-3s %-8s %s",
                  d.slot == selected ? ">" : " ", d.name.c_str(), d.slot, addressOf(d).c_str(),
                  model.empty() ? "unknown" : model.c_str(), d.online ? "online" : "OFFLINE");
    Block block{header, {}};
    deviceRows(d, model, now, block.rows);
    blocks.push_back(block);
    ++slot;
  }

  std::size_t nameWidth = 4, valueWidth = 5, limitWidth = 0, qualityWidth = 7;
  for (const Block& b : blocks)
    for (const Row& r : b.rows) {
      nameWidth = std::max(nameWidth, std::min(width(r.name), kMaxNameWidth));
      valueWidth = std::max(valueWidth, width(r.value));
      limitWidth = std::max(limitWidth, width(r.limits));
      qualityWidth = std::max(qualityWidth, width(r.quality));
    }

  char title[96];
  std::snprintf(title, sizeof title, "duzevod-host  %d device%s  t = %s s", devices, devices == 1 ? "" : "s",
                fixed(static_cast<double>(s.t) / 1000.0, 1).c_str());
  lines.push_back(title);
  for (const Block& b : blocks) {
    lines.push_back(b.header);
    for (const Row& r : b.rows) {
      std::string line =
          "      " + padRight(cut(r.name, kMaxNameWidth), nameWidth) + "  " + padLeft(r.value, valueWidth);
      if (limitWidth) line += "  " + padRight(r.limits, limitWidth);
      line += "  " + padRight(r.quality, qualityWidth) + "  " + r.age;
      lines.push_back(line);
    }
  }
  return lines;
}

}  // namespace duz::host
