#include "startup/config_file.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
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

constexpr std::size_t kSettingsField = sizeof(Settings::portSettings);
constexpr std::size_t kPortField = sizeof(Settings::portName);

// Where a byte of the plain contents (n bytes) stands, in the contents and in the stored file.
std::string where(std::size_t pos, std::size_t n) {
  return "contents byte " + std::to_string(pos) + " (file byte " + std::to_string(n + 1 - pos) + ")";
}

// Reads the plain contents front to back; every read is checked against what is left, and a refusal
// says what and where.
class Reader {
 public:
  Reader(const std::vector<std::uint8_t>& bytes, std::string& error) : bytes_(bytes), error_(error) {}

  bool int32(std::int32_t& value, const char* what) {
    if (left() < 4) return fail("the contents end before the " + std::string(what) + " at " + here());
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | bytes_[pos_ + i];
    value = static_cast<std::int32_t>(v);
    pos_ += 4;
    return true;
  }
  bool bytes(void* out, std::size_t count, const std::string& what) {
    if (left() < count)
      return fail("the contents end inside " + what + ": " + std::to_string(count) + " bytes needed at " +
                  here() + ", " + std::to_string(left()) + " left");
    std::memcpy(out, bytes_.data() + pos_, count);
    pos_ += count;
    return true;
  }
  // A length-prefixed text of 1..max bytes (its NUL included), cut at its first NUL.
  bool text(std::string& out, std::size_t max, const char* what) {
    const std::size_t at = pos_;
    std::int32_t length = 0;
    if (!int32(length, (std::string("length of the ") + what).c_str())) return false;
    if (length < 1 || static_cast<std::size_t>(length) > max)
      return fail("the " + std::string(what) + " length " + std::to_string(length) + " at " +
                  where(at, bytes_.size()) + " is outside 1.." + std::to_string(max));
    if (left() < static_cast<std::size_t>(length))
      return fail("the contents end inside the " + std::string(what) + ": " + std::to_string(length) +
                  " bytes announced at " + where(at, bytes_.size()) + ", " + std::to_string(left()) +
                  " left");
    const char* start = reinterpret_cast<const char*>(bytes_.data() + pos_);
    out.assign(start, strnlen(start, static_cast<std::size_t>(length)));
    pos_ += static_cast<std::size_t>(length);
    return true;
  }
  std::size_t left() const { return bytes_.size() - pos_; }
  std::string here() const { return where(pos_, bytes_.size()); }
  bool fail(const std::string& message) {
    error_ = message;
    return false;
  }

 private:
  const std::vector<std::uint8_t>& bytes_;
  std::string& error_;
  std::size_t pos_ = 0;
};

bool parse(const std::vector<std::uint8_t>& plain, ConfigContents& out, std::string& error) {
  Reader in(plain, error);
  if (!in.int32(out.count, "device count")) return false;
  if (out.count < 1 || out.count > kSlots)
    return in.fail("the device count " + std::to_string(out.count) + " at " + where(0, plain.size()) +
                   " is outside 1.." + std::to_string(kSlots));
  for (int k = 0; k < out.count; ++k)
    if (!in.bytes(&out.records[k], sizeof(DeviceConfig),
                  "device record " + std::to_string(k + 1) + " of " + std::to_string(out.count)))
      return false;
  if (!in.text(out.portSettings, kSettingsField, "port settings")) return false;
  if (!in.text(out.portName, kPortField, "port name")) return false;
  if (!in.text(out.description, kDescriptionField, "description")) return false;
  if (in.left() != 0)
    return in.fail(std::to_string(in.left()) + " bytes follow the description, from " + in.here());
  return true;
}

void putInt32(std::vector<std::uint8_t>& out, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Length (NUL included) and bytes of a text.
void putText(std::vector<std::uint8_t>& out, const std::string& text) {
  putInt32(out, static_cast<std::int32_t>(text.size() + 1));
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

template <std::size_t N>
std::string fieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N - 1));
}

// The plain contents of a stored file (n + 2 bytes): reversed and unmasked, without the checksum that
// the first two bytes hold. Returns the stored checksum.
std::uint16_t unmask(const std::vector<std::uint8_t>& file, std::vector<std::uint8_t>& plain) {
  const std::size_t n = file.size() - 2;
  plain.resize(n);
  for (std::size_t k = 0; k < n; ++k) plain[k] = file[file.size() - 1 - k] ^ kMask;
  return static_cast<std::uint16_t>(((file[0] ^ kMask) << 8) | (file[1] ^ kMask));
}

std::string sizeProblem(std::size_t size) {
  char text[96] = "";
  if (size < 2) {
    std::snprintf(text, sizeof text, "the file has %zu bytes: too short for a configuration", size);
  } else if (size > kConfigMaxFileSize) {
    std::snprintf(text, sizeof text, "the file has %zu bytes, more than a configuration can hold (%zu)", size,
                  kConfigMaxFileSize);
  }
  return text;
}

// Writes a whole file, short writes continued; a file that could not be written completely is removed
// again.
bool writeFile(Files& files, const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::unique_ptr<WrittenFile> file = files.create(path);
  if (!file) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t n = file->write(bytes.data() + done, bytes.size() - done);
    if (n == 0) break;
    done += n;
  }
  const bool ok = file->close() && done == bytes.size();
  if (!ok) files.remove(path);
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

DecodedConfig decodeConfigFile(const std::vector<std::uint8_t>& file) {
  DecodedConfig out;
  out.error = sizeProblem(file.size());
  if (!out.error.empty()) return out;
  std::vector<std::uint8_t> plain;
  out.storedChecksum = unmask(file, plain);
  out.computedChecksum = Crc16(static_cast<int>(plain.size()), plain.data());
  out.checksumValid = out.storedChecksum == out.computedChecksum;
  if (!out.checksumValid) {
    char text[96];
    std::snprintf(text, sizeof text,
                  "checksum mismatch: file bytes 0 and 1 hold 0x%04X, the contents give 0x%04X",
                  unsigned{out.storedChecksum}, unsigned{out.computedChecksum});
    out.error = text;
    return out;
  }
  if (!parse(plain, out.contents, out.error)) out.contents = ConfigContents{};
  return out;
}

std::vector<std::uint8_t> encodeConfigFile(const ConfigContents& contents) {
  std::vector<std::uint8_t> plain;
  plain.reserve(kConfigMaxFileSize);
  putInt32(plain, contents.count);
  const auto* records = reinterpret_cast<const std::uint8_t*>(contents.records.data());
  plain.insert(plain.end(), records,
               records + sizeof(DeviceConfig) * static_cast<std::size_t>(contents.count));
  putText(plain, contents.portSettings);
  putText(plain, contents.portName);
  putText(plain, contents.description);

  // The checksum (low, high) follows the contents; then everything is reversed and masked.
  const std::uint16_t crc = Crc16(static_cast<int>(plain.size()), plain.data());
  plain.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  plain.push_back(static_cast<std::uint8_t>(crc >> 8));
  std::vector<std::uint8_t> masked(plain.rbegin(), plain.rend());
  for (auto& b : masked) b ^= kMask;
  return masked;
}

std::string storedDescription(std::string description) {
  for (char& c : description) {
    if (static_cast<unsigned char>(c) == kSoftSign) {
      c = static_cast<char>(kYa);
      break;
    }
  }
  return description;
}

bool LoadConfiguration(Module& module, const ConfigPaths& paths) {
  Files& files = module.platform.files;
  const std::optional<std::vector<std::uint8_t>> read = files.read(paths.config, kConfigMaxFileSize);
  if (!read) return false;
  const std::vector<std::uint8_t>& file = *read;

  auto damaged = [&] {
    files.remove(paths.temporary);
    warn(module, kDamaged);
    return false;
  };
  if (!sizeProblem(file.size()).empty()) return damaged();

  // The file is the plain contents plus the checksum (low, high), reversed as a whole and masked.
  std::vector<std::uint8_t> plain;
  const std::uint16_t stored = unmask(file, plain);

  // The plain copy exists only while the file is being read.
  if (!writeFile(files, paths.temporary, plain)) {
    warn(module, kNoTemporaryFile);
    return false;
  }
  if (Crc16(static_cast<int>(plain.size()), plain.data()) != stored) return damaged();

  // Checked in full before any of it is taken over: a refused file leaves the module as it was.
  auto contents = std::make_unique<ConfigContents>();
  std::string problem;
  if (!parse(plain, *contents, problem)) return damaged();

  module.currentDevice = contents->count;
  std::memcpy(module.deviceConfig.data(), contents->records.data(),
              sizeof(DeviceConfig) * static_cast<std::size_t>(contents->count));
  copyField(module.settings.portSettings, contents->portSettings.c_str());
  copyField(module.settings.portName, contents->portName.c_str());
  module.configDescription = contents->description;
  files.remove(paths.temporary);
  return true;
}

void SaveConfiguration(Module& module, const ConfigPaths& paths) {
  const std::int32_t count = module.configuredCount;
  if (count < 1 || count > kSlots) return;  // a configuration without devices is never stored

  auto contents = std::make_unique<ConfigContents>();
  contents->count = count;
  std::memcpy(contents->records.data(), module.deviceConfig.data(),
              sizeof(DeviceConfig) * static_cast<std::size_t>(count));
  contents->portSettings = fieldText(module.settings.portSettings);
  contents->portName = fieldText(module.settings.portName);
  module.configDescription = describeCreation(module.platform.locale);
  contents->description = storedDescription(module.configDescription);
  const std::vector<std::uint8_t> masked = encodeConfigFile(*contents);

  // Written whole beside the old file, then put in its place in one step: an interrupted or failed
  // save never leaves a damaged or missing configuration. The new file has a name of its own: the
  // restore's plain copy may be stuck (a directory of that name, a read-only leftover), and a search
  // result must not be lost for it. A leftover of an interrupted save goes first.
  Files& files = module.platform.files;
  const std::string fresh = paths.config + ".new";
  files.remove(fresh);
  bool saved = writeFile(files, fresh, masked);
  if (saved && !module.platform.directory.replaceFile(fresh, paths.config)) {
    files.remove(fresh);
    saved = false;
  }
  if (!saved) {
    module.platform.op.messageBox(std::string(kCannotSave.view()), std::string(kCaption.view()),
                                  BoxIcon::Information, BoxButtons::Ok, BoxAnswer::Ok);
  }
}

}  // namespace duz
