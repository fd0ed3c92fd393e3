#include "sim_line.h"

#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace duz::sim {

std::int64_t realtimeUs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return std::int64_t{t.tv_sec} * 1'000'000 + t.tv_nsec / 1000;
}

namespace {

std::int64_t monotonicNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

bool number(const std::string& text, long min, long max, long& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtol(text.c_str(), &end, 10);
  return errno == 0 && end != text.c_str() && *end == '\0' && out >= min && out <= max;
}

}  // namespace

bool Recorder::open(const std::string& path, std::string& error) {
  file_ = std::fopen(path.c_str(), "ae");
  if (!file_) error = "cannot open the record " + path + ": " + std::strerror(errno);
  return file_ != nullptr;
}

Recorder::~Recorder() {
  if (file_) std::fclose(file_);
}

void Recorder::bytes(const char* what, const Bytes& bytes) {
  if (!file_) return;
  std::string line = std::to_string(realtimeUs()) + " " + what;
  char hex[4];
  for (auto b : bytes) {
    std::snprintf(hex, sizeof hex, " %02X", b);
    line += hex;
  }
  line += '\n';
  std::fputs(line.c_str(), file_);
  std::fflush(file_);
}

void Recorder::event(const std::string& text) {
  if (!file_) return;
  std::fprintf(file_, "%lld %s\n", static_cast<long long>(realtimeUs()), text.c_str());
  std::fflush(file_);
}

Noise::Noise() : random_(std::random_device{}()) {}

std::string Noise::set(const std::vector<std::string>& words) {
  long mean = 0;
  long percent = 10;
  if (words.size() == 1 && words[0] == "off") {
    meanMs_ = 0;
    return {};
  }
  if (words.empty() || words.size() > 2 || !number(words[0], 1, 600'000, mean) ||
      (words.size() == 2 && !number(words[1], 0, 100, percent)))
    return "usage: noise off | noise MEAN_MS [PERCENT]";
  meanMs_ = static_cast<int>(mean);
  insidePercent_ = static_cast<int>(percent);
  schedule(monotonicNs());
  return {};
}

void Noise::schedule(std::int64_t fromNs) {
  std::exponential_distribution<double> gap(1.0 / meanMs_);
  nextNs_ = fromNs + static_cast<std::int64_t>(gap(random_) * 1e6);
}

Bytes Noise::burst(std::int64_t nowNs) {
  Bytes bytes(std::uniform_int_distribution<int>(1, 16)(random_));
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random_());
  schedule(nowNs);
  return bytes;
}

bool Noise::spoil(Bytes& reply) {
  if (!on() || reply.size() < 2 || std::uniform_int_distribution<int>(1, 100)(random_) > insidePercent_)
    return false;
  const auto at = std::uniform_int_distribution<std::size_t>(1, reply.size() - 1)(random_);
  Bytes bytes(std::uniform_int_distribution<int>(1, 4)(random_));
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random_());
  reply.insert(reply.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
  return true;
}

bool pointLink(const std::string& link, const std::string& target, std::string& error) {
  const std::string fresh = link + ".new";
  ::unlink(fresh.c_str());
  if (::symlink(target.c_str(), fresh.c_str()) != 0 || ::rename(fresh.c_str(), link.c_str()) != 0) {
    error = "cannot point " + link + " at " + target + ": " + std::strerror(errno);
    ::unlink(fresh.c_str());
    return false;
  }
  return true;
}

}  // namespace duz::sim
