// The frame trace on POSIX: whole lines appended to the file DUZEVOD_TRACE names.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "link/trace.h"
#include "platform/system.h"

namespace duz {

namespace {

class FileTrace : public TraceSink {
 public:
  explicit FileTrace(int fd) : fd_(fd) {}
  ~FileTrace() override { ::close(fd_); }
  FileTrace(const FileTrace&) = delete;
  FileTrace& operator=(const FileTrace&) = delete;

  void append(std::string_view lines) override {
    // O_APPEND puts each write at the end, also when another process traces into the same file; the
    // lock keeps this module's threads from splitting each other's lines.
    std::lock_guard hold(mutex_);
    const char* p = lines.data();
    std::size_t left = lines.size();
    while (left > 0) {
      const ssize_t n = ::write(fd_, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // a full disk loses trace lines, never an exchange
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_;
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<TraceSink> makeSystemTraceSink() {
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
