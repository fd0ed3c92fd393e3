// The frame trace on POSIX: whole lines appended to the file DUZEVOD_TRACE names.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/system.h"

namespace duz {

namespace {

// O_APPEND puts each write at the end, also when another process traces into the same file.
class FileTrace : public AppendOnlyFile {
 public:
  explicit FileTrace(int fd) : fd_(fd) {}
  ~FileTrace() override { ::close(fd_); }
  FileTrace(const FileTrace&) = delete;
  FileTrace& operator=(const FileTrace&) = delete;

  std::size_t writeSome(const char* bytes, std::size_t count) override {
    for (;;) {
      const ssize_t n = ::write(fd_, bytes, count);
      if (n < 0 && errno == EINTR) continue;
      return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<AppendOnlyFile> openSystemTraceFile() {
  const char* path = std::getenv("DUZEVOD_TRACE");
  if (!path || !*path) return nullptr;
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "duzevod: no frame trace: cannot open DUZEVOD_TRACE=%s: %s\n", path,
                 std::strerror(errno));
    return nullptr;
  }
  return std::make_unique<FileTrace>(fd);
}

}  // namespace duz
