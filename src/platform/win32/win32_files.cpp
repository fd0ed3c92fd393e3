// Whole files on Windows: the configuration file and its copies.
#include <windows.h>

#include "platform/system.h"

namespace duz {

namespace {

class Win32WrittenFile : public WrittenFile {
 public:
  explicit Win32WrittenFile(HANDLE file) : file_(file) {}
  ~Win32WrittenFile() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }
  Win32WrittenFile(const Win32WrittenFile&) = delete;
  Win32WrittenFile& operator=(const Win32WrittenFile&) = delete;

  std::size_t write(const std::uint8_t* bytes, std::size_t count) override {
    DWORD written = 0;
    const DWORD chunk = count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(count);
    return WriteFile(file_, bytes, chunk, &written, nullptr) ? written : 0;
  }

  // On the disk before the caller puts the file in place of the old one.
  bool close() override {
    const bool flushed = FlushFileBuffers(file_) != 0;
    const bool closed = CloseHandle(file_) != 0;
    file_ = INVALID_HANDLE_VALUE;
    return flushed && closed;
  }

 private:
  HANDLE file_;
};

class Win32Files : public Files {
 public:
  std::optional<std::vector<std::uint8_t>> read(const std::string& path, std::size_t limit) override {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::vector<std::uint8_t> bytes(limit + 1);
    std::size_t got = 0;
    bool ok = true;
    while (got < bytes.size()) {
      DWORD n = 0;
      if (!ReadFile(file, bytes.data() + got, static_cast<DWORD>(bytes.size() - got), &n, nullptr))
        ok = false;
      if (!ok || n == 0) break;
      got += n;
    }
    CloseHandle(file);
    if (!ok) return std::nullopt;
    bytes.resize(got);
    return bytes;
  }

  std::unique_ptr<WrittenFile> create(const std::string& path) override {
    const HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32WrittenFile>(file);
  }

  void remove(const std::string& path) override { DeleteFileA(path.c_str()); }
};

}  // namespace

std::unique_ptr<Files> makeSystemFiles() {
  return std::make_unique<Win32Files>();
}

}  // namespace duz
