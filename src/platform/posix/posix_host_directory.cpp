// Where the configuration file lives on POSIX: the host executable's directory, or DUZEVOD_DIR.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/system.h"

namespace duz {

namespace {

class ExeDirectory : public HostDirectory {
 public:
  std::string path() override {
    if (const char* dir = std::getenv("DUZEVOD_DIR"); dir && *dir) {
      std::string out(dir);
      if (out.back() != '/') out += '/';
      return out;
    }
    return executableDirectory();
  }

  // rename() replaces the target atomically: readers see the old file or the new one, never a mix.
  bool replaceFile(const std::string& from, const std::string& to) override {
    return std::rename(from.c_str(), to.c_str()) == 0;
  }

 private:
  static std::string executableDirectory() {
    std::vector<char> buffer(256);
    for (;;) {
      const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
      if (n < 0) return {};
      if (static_cast<std::size_t>(n) < buffer.size()) {
        const std::string exe(buffer.data(), static_cast<std::size_t>(n));
        const auto slash = exe.rfind('/');
        return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
      }
      buffer.resize(buffer.size() * 2);  // the path may have been cut: try again with more room
    }
  }
};

}  // namespace

std::unique_ptr<HostDirectory> makeSystemHostDirectory() {
  return std::make_unique<ExeDirectory>();
}

}  // namespace duz
