#include "log.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace duz::mqtt {

namespace {

// systemd names the journal stream it connects as "device:inode"; a stderr that is that stream takes
// "<N>" priority prefixes, a terminal or a file does not.
bool stderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat st {};
  return fstat(2, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

}  // namespace

void log(Level level, const std::string& message) {
  static const bool journal = stderrIsJournal();
  static std::mutex m;
  std::lock_guard lock(m);
  const char* word = level == Level::Error ? "error: " : level == Level::Warning ? "warning: " : "";
  if (journal)
    std::fprintf(stderr, "<%d>%s%s\n", static_cast<int>(level), word, message.c_str());
  else
    std::fprintf(stderr, "duzevod-mqtt: %s%s\n", word, message.c_str());
  std::fflush(stderr);
}

}  // namespace duz::mqtt
