// Where the configuration file lives on Windows: the host executable's directory, or DUZEVOD_DIR.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/system.h"

namespace duz {

namespace {

bool isSeparator(char c) {
  return c == '\\' || c == '/';
}

class ExeDirectory : public HostDirectory {
 public:
  std::string path() override {
    if (const char* dir = std::getenv("DUZEVOD_DIR"); dir && *dir) {
      std::string out(dir);
      if (!isSeparator(out.back())) out += '\\';
      return out;
    }
    return executableDirectory();
  }

  // Written through to the disk before the call returns, so the new file is there after a power cut.
  bool replaceFile(const std::string& from, const std::string& to) override {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }

 private:
  // The main module's full path up to its last separator (whatever the executable is called).
  static std::string executableDirectory() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
      const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (n == 0) return {};
      if (n < buffer.size()) {
        std::string exe(buffer.data(), n);
        std::size_t cut = exe.size();
        while (cut > 0 && !isSeparator(exe[cut - 1])) --cut;
        return exe.substr(0, cut);
      }
      if (buffer.size() >= 32768) return {};  // longer than any Windows path
      buffer.resize(buffer.size() * 2);       // the path was cut: try again with more room
    }
  }
};

}  // namespace

std::unique_ptr<HostDirectory> makeSystemHostDirectory() {
  return std::make_unique<ExeDirectory>();
}

}  // namespace duz
