// The frame trace on Windows: whole lines appended to the file DUZEVOD_TRACE names.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/system.h"

namespace duz {

namespace {

// Opened for appending only: every write lands at the end of the file.
class FileTrace : public AppendOnlyFile {
 public:
  explicit FileTrace(HANDLE file) : file_(file) {}
  ~FileTrace() override { CloseHandle(file_); }
  FileTrace(const FileTrace&) = delete;
  FileTrace& operator=(const FileTrace&) = delete;

  std::size_t writeSome(const char* bytes, std::size_t count) override {
    DWORD written = 0;
    const DWORD chunk = count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(count);
    return WriteFile(file_, bytes, chunk, &written, nullptr) ? written : 0;
  }

 private:
  HANDLE file_;
};

}  // namespace

std::unique_ptr<AppendOnlyFile> openSystemTraceFile() {
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
