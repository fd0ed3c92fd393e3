// Programs the benchmark runs (the simulator, the configuration tool, the lean host): standard output on
// a pipe, standard error in a file, always ended and reaped.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace duz::bench {

class Child {
 public:
  // `env` adds to (or replaces in) this process's environment.
  Child(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env,
        const std::string& errorFile);
  ~Child();  // SIGTERM, then SIGKILL if it has not ended within two seconds
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  // The next line of standard output; nothing when none came in time or the output ended.
  std::optional<std::string> readLine(int timeoutMs);
  // Waits for the end: the exit status, or -1 when it did not end in time (or was killed).
  int wait(int timeoutMs);

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
  int status_ = -2;
};

double monotonicMs();

}  // namespace duz::bench
