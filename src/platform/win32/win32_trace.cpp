// The frame trace on Windows: whole lines appended to the file DUZEVOD_TRACE names.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "link/trace.h"
#include "platform/system.h"

namespace duz {

namespace {

class FileTrace : public TraceSink {
 public:
  explicit FileTrace(HANDLE file) : file_(file) {}
  ~FileTrace() override { CloseHandle(file_); }
  FileTrace(const FileTrace&) = delete;
  FileTrace& operator=(const FileTrace&) = delete;

  void append(std::string_view lines) override {
    // Opened for appending only: every write lands at the end of the file. The lock keeps this
    // module's threads from splitting each other's lines.
    std::lock_guard hold(mutex_);
    const char* p = lines.data();
    std::size_t left = lines.size();
    while (left > 0) {
      DWORD written = 0;
      if (!WriteFile(file_, p, static_cast<DWORD>(left), &written, nullptr) || written == 0)
        return;  // a full disk loses trace lines, never an exchange
      p += written;
      left -= written;
    }
  }

 private:
  HANDLE file_;
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<TraceSink> makeSystemTraceSink() {
  const char* path = std::getenv("DUZEVOD_TRACE");
  if (!path || !*path) return nullptr;
  // Others may read the trace while it grows, or delete it.
  const HANDLE file =
      CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "duzevod: no frame trace: cannot open DUZEVOD_TRACE=%s (error %lu)\n", path,
                 static_cast<unsigned long>(GetLastError()));
    return nullptr;
  }
  return std::make_unique<FileTrace>(file);
}

}  // namespace duz
