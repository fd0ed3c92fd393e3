#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace duz::bench {

double monotonicMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

Child::Child(const std::vector<std::string>& argv,
             const std::vector<std::pair<std::string, std::string>>& env, const std::string& errorFile) {
  int outPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return;
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    bool replaced = false;
    for (const auto& [key, value] : env)
      if (std::strncmp(*e, key.c_str(), key.size()) == 0 && (*e)[key.size()] == '=') replaced = true;
    if (!replaced) environment.emplace_back(*e);
  }
  for (const auto& [key, value] : env) environment.push_back(key + "=" + value);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  out_ = outPipe[0];
}

Child::~Child() {
  if (pid_ > 0 && status_ == -2) {
    kill(pid_, SIGTERM);
    if (wait(2000) == -1 && status_ == -2) {
      kill(pid_, SIGKILL);
      wait(2000);
    }
  }
  if (out_ >= 0) close(out_);
}

std::optional<std::string> Child::readLine(int timeoutMs) {
  const double end = monotonicMs() + timeoutMs;
  for (;;) {
    const auto lf = pending_.find('\n');
    if (lf != std::string::npos) {
      std::string line = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      return line;
    }
    const double left = end - monotonicMs();
    if (left <= 0 || out_ < 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left) + 1) <= 0) continue;
    char buffer[65536];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

int Child::wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  if (status_ != -2) return status_;
  const double end = monotonicMs() + timeoutMs;
  for (;;) {
    int raw = 0;
    const pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      return status_;
    }
    if (r < 0 || monotonicMs() >= end) return -1;
    usleep(5000);
  }
}

}  // namespace duz::bench
