#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace duz::tools {

namespace {

std::string temporaryFile() {
  char pattern[] = "/tmp/duzevod-child-XXXXXX";
  const int fd = mkstemp(pattern);
  if (fd < 0) return "/dev/null";
  close(fd);
  return pattern;
}

std::vector<std::string> environmentWith(const ChildSetup& setup) {
  std::vector<std::string> out;
  for (char** e = environ; *e; ++e) {
    const bool changed = std::any_of(setup.env.begin(), setup.env.end(), [&](const auto& change) {
      const std::string& key = change.first;
      return std::strncmp(*e, key.c_str(), key.size()) == 0 && (*e)[key.size()] == '=';
    });
    if (!changed) out.emplace_back(*e);
  }
  for (const auto& [key, value] : setup.env)
    if (value) out.push_back(key + "=" + *value);
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

void closePair(int (&fds)[2]) {
  for (int& fd : fds)
    if (fd >= 0) close(fd);
}

// In the forked child, before exec or the body: only async-signal-safe calls.
[[noreturn]] void becomeChild(const ChildSetup& s, int in, int out, const char* errorFile, int errorFlags,
                              char** argv, char** envp, int failurePipe, const std::vector<int>& kept) {
  if (s.parentDeathSignal) prctl(PR_SET_PDEATHSIG, s.parentDeathSignal);
  const int input = s.input ? in : open("/dev/null", O_RDONLY);
  const int errors = open(errorFile, errorFlags, 0644);
  if (input >= 0) dup2(input, 0);
  if (errors >= 0) dup2(errors, 2);
  dup2(s.outputToErrors ? 2 : out, 1);
  for (const auto& [ours, theirs] : s.descriptors) dup2(ours, theirs);
  if (s.body) {
    // Only what the body is given stays open, as in a program just started.
    int from = 3;
    for (int fd : kept) {
      if (fd > from) close_range(static_cast<unsigned>(from), static_cast<unsigned>(fd - 1), 0);
      from = std::max(from, fd + 1);
    }
    close_range(static_cast<unsigned>(from), ~0u, 0);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    s.body();
    _exit(1);
  }
  execve(argv[0], argv, envp);
  const int error = errno;
  [[maybe_unused]] auto n = write(failurePipe, &error, sizeof error);
  _exit(127);
}

}  // namespace

double monotonicMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

Child::Child(const std::vector<std::string>& argv) : Child(ChildSetup{.argv = argv}) {}

Child::Child(ChildSetup s) : errorFile_(s.errorFile) {
  if (errorFile_.empty()) {
    errorFile_ = temporaryFile();
    ownErrorFile_ = errorFile_ != "/dev/null";
  }
  if (s.argv.empty() && !s.body) return;
  std::vector<std::string> args = s.argv, environment = environmentWith(s);
  if (args.empty()) args.emplace_back();
  std::vector<char*> argv = pointers(args), envp = pointers(environment);
  int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
  if ((s.input && pipe2(inPipe, O_CLOEXEC) != 0) || (!s.outputToErrors && pipe2(outPipe, O_CLOEXEC) != 0)) {
    closePair(inPipe);
    closePair(outPipe);
    return;
  }
  const int errorFlags = O_WRONLY | O_CREAT | (s.appendErrors ? O_APPEND : O_TRUNC);
  int error = 0;
  if (!s.body && !s.parentDeathSignal && s.descriptors.empty()) {
    // The common case by posix_spawn: no fork of a large (or sanitized, threaded) test process.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (s.input)
      posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    else
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errorFile_.c_str(), errorFlags, 0644);
    if (s.outputToErrors)
      posix_spawn_file_actions_adddup2(&actions, 2, 1);
    else
      posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error) pid_ = -1;
  } else {
    std::vector<int> kept;  // the child's numbers of the descriptors it is given, in order
    for (const auto& d : s.descriptors) kept.push_back(d.second);
    std::sort(kept.begin(), kept.end());
    int failure[2];
    if (pipe2(failure, O_CLOEXEC) != 0) {
      error = errno;
    } else {
      pid_ = fork();
      if (pid_ == 0)
        becomeChild(s, inPipe[0], outPipe[1], errorFile_.c_str(), errorFlags, argv.data(), envp.data(),
                    failure[1], kept);
      if (pid_ < 0) error = errno;
      close(failure[1]);
      // The pipe closes at the exec (or as the body starts); an error number in it means exec failed.
      if (pid_ > 0 && read(failure[0], &error, sizeof error) == sizeof error) {
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
      }
      close(failure[0]);
    }
  }
  if (inPipe[0] >= 0) close(inPipe[0]);
  if (outPipe[1] >= 0) close(outPipe[1]);
  in_ = inPipe[1];
  out_ = outPipe[0];
  if (pid_ <= 0) {
    // Said where the program's own complaints would have gone.
    std::ofstream(errorFile_, std::ios::app)
        << "cannot run " << (s.body ? "the child" : s.argv[0]) << ": " << std::strerror(error) << "\n";
    closeInput();
  }
  // A program that has gone must not take this process with it when we write to it.
  if (in_ >= 0) ::signal(SIGPIPE, SIG_IGN);
}

Child::~Child() {
  if (started() && !reaped_) {
    kill(pid_, SIGTERM);
    if (!reap(2000)) {
      kill(pid_, SIGKILL);
      reap(2000);
    }
  }
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
  if (ownErrorFile_) unlink(errorFile_.c_str());
}

bool Child::fill(double end) {
  for (;;) {
    if (out_ < 0 || outputEnded_) return false;
    const double left = end - monotonicMs();
    pollfd p{out_, POLLIN, 0};
    const int ready = ::poll(&p, 1, left > 0 ? static_cast<int>(left) + 1 : 0);
    if (ready > 0) {
      char buffer[65536];
      const ssize_t n = ::read(out_, buffer, sizeof buffer);
      if (n > 0) {
        pending_.append(buffer, static_cast<std::size_t>(n));
        return true;
      }
      if (n < 0 && errno == EINTR) continue;
      outputEnded_ = true;
      return false;
    }
    if ((ready < 0 && errno != EINTR) || left <= 0 || monotonicMs() >= end) return false;
  }
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
    if (!fill(end)) return std::nullopt;
  }
}

std::string Child::readAll(int timeoutMs) {
  const double end = monotonicMs() + timeoutMs;
  while (fill(end)) {
  }
  return std::exchange(pending_, std::string());
}

bool Child::send(const std::string& line) {
  const std::string text = line + "\n";
  std::size_t at = 0;
  while (in_ >= 0 && at < text.size()) {
    const ssize_t n = ::write(in_, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // the program has gone; its output says the rest
    at += static_cast<std::size_t>(n);
  }
  return in_ >= 0;
}

void Child::closeInput() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

std::string Child::command(const std::string& line) {
  send(line);
  return readLine().value_or("(no answer)");
}

std::vector<std::string> Child::commandLines(const std::string& line) {
  send(line);
  std::vector<std::string> lines;
  while (auto answer = readLine()) {
    if (*answer == "ok") break;
    lines.push_back(*answer);
  }
  return lines;
}

void Child::signal(int number) {
  if (started() && !reaped_) kill(pid_, number);
}

void Child::terminate() {
  signal(SIGTERM);
}

bool Child::reap(int timeoutMs) {
  const double end = monotonicMs() + timeoutMs;
  for (;;) {
    const pid_t r = waitpid(pid_, &raw_, WNOHANG);
    if (r == pid_ || (r < 0 && errno == ECHILD)) {
      // Reaped, here or (ECHILD) by someone else: either way its number is no longer ours to signal.
      if (r < 0) raw_ = -1;
      reaped_ = true;
      return true;
    }
    if (monotonicMs() >= end) return false;
    usleep(5000);
  }
}

int Child::wait(int timeoutMs) {
  if (!started() || (!reaped_ && !reap(timeoutMs))) return -1;
  return raw_ >= 0 && WIFEXITED(raw_) ? WEXITSTATUS(raw_) : -1;
}

bool Child::ended() {
  return started() && (reaped_ || reap(0));
}

std::string Child::errorText() const {
  std::ifstream f(errorFile_);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

Finished runToEnd(const std::vector<std::string>& argv, int timeoutMs) {
  Finished result;
  Child child(argv);
  child.closeInput();
  const double end = monotonicMs() + timeoutMs;
  result.out = child.readAll(timeoutMs);
  result.status = child.wait(static_cast<int>(std::max(0.0, end - monotonicMs())) + 100);
  result.err = child.errorText();
  return result;
}

}  // namespace duz::tools
