#include "startup/config_file.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "host/module.h"
#include "link/link.h"
#include "model/cp1251.h"

namespace duz {

namespace {

constexpr std::uint8_t kMask = 0xA7;
constexpr std::size_t kDescriptionField = 256;

constexpr auto kCaption = cp1251("Инициализация устройств");
constexpr auto kNoTemporaryFile = cp1251(
    "Внимание ! \nНевозможно создать временный файл. \nПредыдущая конфигурация не может быть "
    "восстановлена.");
constexpr auto kDamaged = cp1251(
    "Внимание ! \nФайл конфигурации DUZEvod.sys поврежден\nили имеет неверный формат.\nПредыдущая "
    "конфигурация не может быть восстановлена.");
constexpr auto kCannotSave = cp1251("Невозможно создать файл конфигурации.");

constexpr unsigned char kSoftSign = 0xFC;  // ь
constexpr unsigned char kYa = 0xFF;        // я

void warn(Module& module, std::string_view text) {
  module.platform.op.messageBox(std::string(text), std::string(kCaption.view()), BoxIcon::Warning,
                                BoxButtons::Ok, BoxAnswer::Ok);
}

// Everything a file holds, parsed before any of it reaches the module.
struct Contents {
  std::int32_t count = 0;
  std::array<DeviceConfig, kSlots> records{};
  char portSettings[sizeof(Settings::portSettings)] = {};
  char portName[sizeof(Settings::portName)] = {};
  std::string description;
};

// Reads the plain contents front to back; every read is checked against what is left.
class Reader {
 public:
  explicit Reader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}

  bool int32(std::int32_t& value) {
    if (left() < 4) return false;
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | bytes_[pos_ + i];
    value = static_cast<std::int32_t>(v);
    pos_ += 4;
    return true;
  }
  bool bytes(void* out, std::size_t count) {
    if (left() < count) return false;
    std::memcpy(out, bytes_.data() + pos_, count);
    pos_ += count;
    return true;
  }
  // A length-prefixed text of 1..max bytes (its NUL included), cut at its first NUL.
  bool text(std::string& out, std::size_t max) {
    std::int32_t length = 0;
    if (!int32(length) || length < 1 || static_cast<std::size_t>(length) > max) return false;
    if (left() < static_cast<std::size_t>(length)) return false;
    const char* start = reinterpret_cast<const char*>(bytes_.data() + pos_);
    out.assign(start, strnlen(start, static_cast<std::size_t>(length)));
    pos_ += static_cast<std::size_t>(length);
    return true;
  }
  std::size_t left() const { return bytes_.size() - pos_; }

 private:
  const std::vector<std::uint8_t>& bytes_;
  std::size_t pos_ = 0;
};

template <std::size_t N>
void setText(char (&field)[N], const std::string& text) {
  copyField(field, text.c_str());
}

bool parse(const std::vector<std::uint8_t>& plain, Contents& out) {
  Reader in(plain);
  if (!in.int32(out.count) || out.count < 1 || out.count > kSlots) return false;
  if (!in.bytes(out.records.data(), sizeof(DeviceConfig) * static_cast<std::size_t>(out.count))) return false;
  std::string settings, port;
  if (!in.text(settings, sizeof out.portSettings)) return false;
  if (!in.text(port, sizeof out.portName)) return false;
  if (!in.text(out.description, kDescriptionField)) return false;
  if (in.left() != 0) return false;
  setText(out.portSettings, settings);
  setText(out.portName, port);
  return true;
}

void putInt32(std::vector<std::uint8_t>& out, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Length (NUL included) and bytes of a text.
void putText(std::vector<std::uint8_t>& out, const char* text, std::size_t length) {
  putInt32(out, static_cast<std::int32_t>(length + 1));
  out.insert(out.end(), text, text + length);
  out.push_back(0);
}

template <std::size_t N>
void putField(std::vector<std::uint8_t>& out, const char (&field)[N]) {
  putText(out, field, strnlen(field, N - 1));
}

// Reads a whole file of at most `limit` bytes; the result holds one byte more when the file is longer.
bool readFile(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  out.resize(limit + 1);
  const std::size_t got = std::fread(out.data(), 1, out.size(), f);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  out.resize(got);
  return ok;
}

// Writes a whole file; a file that could not be written completely is removed again.
bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok) std::remove(path.c_str());
  return ok;
}

std::string decimal(int value, const char* format = "%d") {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

}  // namespace

ConfigPaths configPaths(HostDirectory& directory) {
  const std::string dir = directory.path();
  return {dir + "DUZEvod.sys", dir + "~DUZEvod.sys"};
}

std::string describeCreation(Locale& locale) {
  const LocalTime t = locale.now();
  std::string text;
  text += cp1251("от ").view();
  text += decimal(t.day);
  text += cp1251("-го ").view();
  text += locale.monthName(t.month);
  text += " (";
  text += locale.weekdayName(t.weekday);
  text += ") ";
  text += decimal(t.year, "%04d");
  text += cp1251(" года;\nсоздана в ").view();
  text += decimal(t.hour);
  // The "a" of "чaс" is Latin, as in every description written so far.
  text += cp1251(" ч").view();
  text += 'a';
  text += cp1251("с. ").view();
  text += decimal(t.minute, "%02d");
  text += cp1251(" мин.").view();
  // The file keeps the text in a 256-byte field.
  if (text.size() > kDescriptionField - 1) text.resize(kDescriptionField - 1);
  return text;
}

bool LoadConfiguration(Module& module, const ConfigPaths& paths) {
  std::vector<std::uint8_t> file;
  if (!readFile(paths.config, kConfigMaxFileSize, file)) return false;

  auto damaged = [&] {
    std::remove(paths.temporary.c_str());
    warn(module, kDamaged);
    return false;
  };
  if (file.size() < 2 || file.size() > kConfigMaxFileSize) return damaged();

  // The file is the plain contents plus the checksum (low, high), reversed as a whole and masked.
  const std::uint16_t stored = static_cast<std::uint16_t>(((file[0] ^ kMask) << 8) | (file[1] ^ kMask));
  const std::size_t n = file.size() - 2;
  std::vector<std::uint8_t> plain(n);
  for (std::size_t k = 0; k < n; ++k) plain[k] = file[file.size() - 1 - k] ^ kMask;

  // The plain copy exists only while the file is being read.
  if (!writeFile(paths.temporary, plain)) {
    warn(module, kNoTemporaryFile);
    return false;
  }
  if (Crc16(static_cast<int>(n), plain.data()) != stored) return damaged();

  // Checked in full before any of it is taken over: a refused file leaves the module as it was.
  auto contents = std::make_unique<Contents>();
  if (!parse(plain, *contents)) return damaged();

  module.currentDevice = contents->count;
  std::memcpy(module.deviceConfig.data(), contents->records.data(),
              sizeof(DeviceConfig) * static_cast<std::size_t>(contents->count));
  std::memcpy(module.settings.portSettings, contents->portSettings, sizeof contents->portSettings);
  std::memcpy(module.settings.portName, contents->portName, sizeof contents->portName);
  module.configDescription = contents->description;
  std::remove(paths.temporary.c_str());
  return true;
}

void SaveConfiguration(Module& module, const ConfigPaths& paths) {
  const std::int32_t count = module.configuredCount;
  if (count < 1 || count > kSlots) return;  // a configuration without devices is never stored

  std::vector<std::uint8_t> plain;
  plain.reserve(kConfigMaxFileSize);
  putInt32(plain, count);
  const auto* records = reinterpret_cast<const std::uint8_t*>(module.deviceConfig.data());
  plain.insert(plain.end(), records, records + sizeof(DeviceConfig) * static_cast<std::size_t>(count));
  putField(plain, module.settings.portSettings);
  putField(plain, module.settings.portName);

  module.configDescription = describeCreation(module.platform.locale);
  // The stored copy turns the nominative month name into the genitive: its first ь becomes я.
  std::string stored = module.configDescription;
  for (char& c : stored) {
    if (static_cast<unsigned char>(c) == kSoftSign) {
      c = static_cast<char>(kYa);
      break;
    }
  }
  putText(plain, stored.data(), stored.size());

  const std::uint16_t crc = Crc16(static_cast<int>(plain.size()), plain.data());
  plain.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  plain.push_back(static_cast<std::uint8_t>(crc >> 8));
  std::vector<std::uint8_t> masked(plain.rbegin(), plain.rend());
  for (auto& b : masked) b ^= kMask;

  // Written whole beside the old file, then put in its place in one step: an interrupted or failed
  // save never leaves a damaged or missing configuration.
  bool saved = writeFile(paths.temporary, masked);
  if (saved && !module.platform.directory.replaceFile(paths.temporary, paths.config)) {
    std::remove(paths.temporary.c_str());
    saved = false;
  }
  if (!saved) {
    module.platform.op.messageBox(std::string(kCannotSave.view()), std::string(kCaption.view()),
                                  BoxIcon::Information, BoxButtons::Ok, BoxAnswer::Ok);
  }
}

}  // namespace duz
