// Whole files on POSIX: the configuration file and its copies.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/system.h"

namespace duz {

namespace {

class PosixWrittenFile : public WrittenFile {
 public:
  explicit PosixWrittenFile(int fd) : fd_(fd) {}
  ~PosixWrittenFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  PosixWrittenFile(const PosixWrittenFile&) = delete;
  PosixWrittenFile& operator=(const PosixWrittenFile&) = delete;

  std::size_t write(const std::uint8_t* bytes, std::size_t count) override {
    for (;;) {
      const ssize_t n = ::write(fd_, bytes, count);
      if (n < 0 && errno == EINTR) continue;
      return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
  }

  // On the disk before the caller puts the file in place of the old one: a power cut after the
  // rename must not leave an empty configuration.
  bool close() override {
    const bool synced = ::fsync(fd_) == 0;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    return synced && closed;
  }

 private:
  int fd_;
};

class PosixFiles : public Files {
 public:
  std::optional<std::vector<std::uint8_t>> read(const std::string& path, std::size_t limit) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::vector<std::uint8_t> bytes(limit + 1);
    std::size_t got = 0;
    bool ok = true;
    while (got < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    bytes.resize(got);
    return bytes;
  }

  std::unique_ptr<WrittenFile> create(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixWrittenFile>(fd);
  }

  void remove(const std::string& path) override { ::unlink(path.c_str()); }
};

}  // namespace

std::unique_ptr<Files> makeSystemFiles() {
  return std::make_unique<PosixFiles>();
}

}  // namespace duz
