#include "link_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "platform/system.h"

extern char** environ;

namespace duz::test {

namespace {

std::vector<char*> argvOf(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  for (const auto& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

std::string tempName() {
  char pattern[] = "/tmp/duzevod-it-XXXXXX";
  const int fd = mkstemp(pattern);
  if (fd >= 0) close(fd);
  return pattern;
}

// waitpid with a time limit; the exit status, or -1 (still running or killed by a signal).
bool reap(pid_t pid, int timeoutMs, int& status) {
  const double end = nowMs() + timeoutMs;
  for (;;) {
    int raw = 0;
    const pid_t r = waitpid(pid, &raw, WNOHANG);
    if (r == pid) {
      status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      return true;
    }
    if (r < 0 || nowMs() >= end) return false;
    usleep(5000);
  }
}

}  // namespace

double nowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

Child::Child(const std::vector<std::string>& argv) : errorFile_(tempName()) {
  int inPipe[2];
  int outPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0) return;
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    close(inPipe[0]);
    close(inPipe[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, errorFile_.c_str(), O_WRONLY | O_TRUNC, 0);
  auto args = argvOf(argv);
  if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  in_ = inPipe[1];
  out_ = outPipe[0];
  ::signal(SIGPIPE, SIG_IGN);
}

Child::~Child() {
  if (pid_ > 0 && status_ == -1) {
    kill(pid_, SIGTERM);
    if (!reap(pid_, 2000, status_)) {
      kill(pid_, SIGKILL);
      reap(pid_, 2000, status_);
    }
  }
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
  unlink(errorFile_.c_str());
}

std::optional<std::string> Child::readLine(int timeoutMs) {
  const double end = nowMs() + timeoutMs;
  for (;;) {
    const auto lf = pending_.find('\n');
    if (lf != std::string::npos) {
      std::string line = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      return line;
    }
    const double left = end - nowMs();
    if (left <= 0 || out_ < 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left) + 1) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

void Child::send(const std::string& line) {
  const std::string text = line + "\n";
  if (in_ >= 0 && write(in_, text.data(), text.size()) < 0) {
    // The program has gone; the next read reports it.
  }
}

void Child::closeInput() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void Child::terminate() {
  signal(SIGTERM);
}

void Child::signal(int number) {
  if (pid_ > 0 && status_ == -1) kill(pid_, number);
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

std::string Child::errorText() const {
  std::ifstream f(errorFile_);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

int Child::wait(int timeoutMs) {
  if (pid_ > 0 && status_ == -1 && !reap(pid_, timeoutMs, status_)) return -1;
  return status_;
}

Finished runToEnd(const std::vector<std::string>& argv, int timeoutMs) {
  Finished result;
  Child child(argv);
  child.closeInput();
  std::string out;
  const double end = nowMs() + timeoutMs;
  while (nowMs() < end) {
    auto line = child.readLine(static_cast<int>(end - nowMs()));
    if (!line) break;
    out += *line + "\n";
  }
  result.status = child.wait(static_cast<int>(std::max(0.0, end - nowMs())) + 100);
  result.out = out;
  result.err = child.errorText();
  return result;
}

Bytes sealed(Bytes frame) {
  frame.resize(frame.size() + 2);
  putCrc(frame.data(), static_cast<int>(frame.size()));
  return frame;
}

LineLink::LineLink() : clock(makeSystemClock()), ports(makeSystemSerialPorts()), link(*clock) {}
LineLink::~LineLink() = default;

bool LineLink::open(const std::string& path, const std::string& settings) {
  link.port = ports->open(path);
  if (!link.port || !link.port->configure(settings)) return false;
  link.port->setTimeouts({100, 2, 500});
  link.setBaud(baudFromSettings(settings.c_str()));
  return true;
}

int LineLink::exchange(const Bytes& request, Bytes& reply) {
  const Bytes frame = sealed(request);
  std::uint8_t response[260];
  const int r = link.Transaction(static_cast<int>(frame.size()), frame.data(), response, sizeof response);
  reply.clear();
  if (r == 0) {
    const std::size_t length = request[1] == 5 ? frame.size() : response[2] + 5u;
    reply.assign(response, response + length);
  }
  return r;
}

TempFile::TempFile(const std::string& content) : path_(tempName()) {
  std::ofstream(path_) << content;
}
TempFile::~TempFile() {
  unlink(path_.c_str());
}

}  // namespace duz::test
