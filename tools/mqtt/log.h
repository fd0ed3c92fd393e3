// Messages of the gateway on standard error. Under systemd standard error is the journal: there each line
// carries its priority, so that `journalctl -p err` finds the errors.
#pragma once

#include <string>

namespace duz::mqtt {

enum class Level { Error = 3, Warning = 4, Info = 6 };

void log(Level level, const std::string& message);
inline void logError(const std::string& message) {
  log(Level::Error, message);
}
inline void logWarning(const std::string& message) {
  log(Level::Warning, message);
}
inline void logInfo(const std::string& message) {
  log(Level::Info, message);
}

}  // namespace duz::mqtt
