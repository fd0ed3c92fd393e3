#include "e2e_harness.h"

#include <stdlib.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace duz::test {

namespace fs = std::filesystem;

std::vector<TraceFrame> parseTrace(const std::string& text) {
  std::vector<TraceFrame> frames;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const bool rx = line.starts_with("rx ");
    if (!rx && !line.starts_with("tx ")) continue;  // the simulator's own messages
    TraceFrame f;
    f.received = rx;
    std::string hex = line.substr(3);
    if (const auto note = hex.find("  # "); note != std::string::npos) {
      f.note = hex.substr(note + 4);
      hex.resize(note);
    }
    f.bytes = hexBytes(hex);
    frames.push_back(std::move(f));
  }
  return frames;
}

Bytes hexBytes(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  for (std::string word; in >> word;) {
    unsigned v = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v, 16);
    if (ec != std::errc() || end != word.data() + word.size() || v > 0xFF)
      throw std::invalid_argument("not a hex byte: " + word);
    out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
}

std::string hexText(const Bytes& bytes) {
  std::string out;
  char hex[4];
  for (const auto b : bytes) {
    std::snprintf(hex, sizeof hex, "%s%02X", out.empty() ? "" : " ", b);
    out += hex;
  }
  return out;
}

Simulator::Simulator(const std::string& busPath) : sim_(DUZ_SIM, {"--bus", busPath, "--trace"}) {
  if (!sim_.started()) throw std::runtime_error("the simulator did not start: " + sim_.errorText());
}

namespace {

std::vector<Tag> tagsOf(const Json& list) {
  std::vector<Tag> tags;
  for (const Json& t : list) {
    Tag tag;
    if (t.at("name").is_string()) tag.name = t.at("name").get<std::string>();
    tag.value = t.at("value").is_number() ? t.at("value").get<double>() : std::nan("");
    tag.quality = integerOf(t.at("quality"));
    tag.timestamp = integerOf(t.at("timestamp"));
    tags.push_back(std::move(tag));
  }
  return tags;
}

std::string table(const Json& snapshot) {
  std::string out = "  snapshot at t = " + snapshot.at("t").dump() + " ms\n";
  for (int slot = 0; slot < static_cast<int>(snapshot.at("devices").size()); ++slot) {
    const Device d = deviceOf(snapshot, slot);
    if (d.analog.empty() && d.bit.empty() && d.integer.empty()) continue;
    out += "  slot " + std::to_string(slot) + " online " + std::to_string(d.online) + "\n";
    for (const auto& [kind, tags] :
         {std::pair{'a', &d.analog}, std::pair{'b', &d.bit}, std::pair{'i', &d.integer}})
      for (const Tag& t : *tags) {
        char line[256];
        std::snprintf(line, sizeof line, "    %c %-12g 0x%08llX %lld %s\n", kind, t.value,
                      static_cast<unsigned long long>(t.quality), static_cast<long long>(t.timestamp),
                      t.name.c_str());
        out += line;
      }
  }
  return out;
}

std::vector<std::string> hostCommand(const std::string& dir, const std::string& ports,
                                     const std::string& script, const std::vector<std::string>& args) {
  // The program's environment is set through env(1), so that this process's own stays as it is.
  std::vector<std::string> argv = {"/usr/bin/env", "-u", "DUZEVOD_OPERATOR", "DUZEVOD_DIR=" + dir,
                                   "DUZEVOD_PORTS=" + ports};
  if (!script.empty()) argv.push_back("DUZEVOD_OPERATOR=" + script);
#if defined(DUZ_ASAN)
  // Leaks at unload are errors too, whatever the caller's options say (later options win).
  const char* asan = getenv("ASAN_OPTIONS");
  argv.push_back(std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") +
                 "detect_leaks=1");
#endif
  argv.insert(argv.end(), {DUZ_HOST, "--module", DUZ_MODULE, "--json"});
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace

Device deviceOf(const Json& snapshot, int slot) {
  const Json& d = snapshot.at("devices").at(static_cast<std::size_t>(slot));
  Device device;
  device.online = static_cast<int>(integerOf(d.at("online")));
  device.analog = tagsOf(d.at("analog"));
  device.bit = tagsOf(d.at("bit"));
  device.integer = tagsOf(d.at("int"));
  return device;
}

Host::Host(const std::string& dir, const std::string& ports, const std::string& script,
           const std::vector<std::string>& args)
    : child_(hostCommand(dir, ports, script, args)) {
  child_.closeInput();
}

bool Host::readOne(int timeoutMs) {
  if (ended_) return false;
  const double start = nowMs();
  auto line = child_.readLine(timeoutMs);
  if (!line) {
    // Nothing before the time limit means the program is still busy; nothing sooner, that it has ended.
    if (nowMs() - start < timeoutMs - 1) ended_ = true;
    return false;
  }
  lastLineMs_ = nowMs();
  lines_.push_back(std::move(*line));
  return true;
}

std::optional<Json> Host::waitFor(const std::function<bool(const Json&)>& ready, int timeoutMs) {
  const double end = nowMs() + timeoutMs;
  for (double left; (left = end - nowMs()) > 0;) {
    if (!readOne(static_cast<int>(left) + 1)) {
      if (ended_) return std::nullopt;
      continue;
    }
    auto json = parseJson(lines_.back());
    if (json && json->contains("devices") && ready(*json)) return json;
  }
  return std::nullopt;
}

int Host::finish(int timeoutMs) {
  const double end = nowMs() + timeoutMs;
  while (!ended_ && nowMs() < end) readOne(static_cast<int>(end - nowMs()) + 1);
  status_ = child_.wait(static_cast<int>(std::max(0.0, end - nowMs())) + 100);
  exitMs_ = nowMs();
  return status_;
}

std::vector<Json> Host::snapshots() const {
  std::vector<Json> out;
  for (const auto& line : lines_)
    if (auto json = parseJson(line); json && json->contains("devices")) out.push_back(std::move(*json));
  return out;
}

std::vector<Json> Host::writes() const {
  std::vector<Json> out;
  for (const auto& line : lines_)
    if (auto json = parseJson(line); json && json->contains("write")) out.push_back(json->at("write"));
  return out;
}

std::optional<Json> Host::lastSnapshot() const {
  for (auto line = lines_.rbegin(); line != lines_.rend(); ++line)
    if (auto json = parseJson(*line); json && json->contains("devices")) return json;
  return std::nullopt;
}

std::string Host::transcript() const {
  std::string out = "standard error:\n" + err();
  std::size_t snapshotCount = 0;
  for (const auto& line : lines_) {
    const auto json = parseJson(line);
    if (!json)
      out += "not JSON: " + line + "\n";
    else if (json->contains("write"))
      out += line + "\n";
    else
      ++snapshotCount;
  }
  out += "exit status " + std::to_string(status_) + ", " + std::to_string(snapshotCount) + " snapshots\n";
  if (const auto last = lastSnapshot()) out += table(*last);
  return out;
}

EndToEnd::EndToEnd() {
  char pattern[] = "/tmp/duzevod-e2e-XXXXXX";
  const char* made = mkdtemp(pattern);
  dir_ = made ? made : "";
}

EndToEnd::~EndToEnd() {
  hosts_.clear();
  simulators_.clear();
  std::error_code ec;
  if (!dir_.empty()) fs::remove_all(dir_, ec);
}

void EndToEnd::TearDown() {
  if (!HasFailure()) return;
  for (std::size_t i = 0; i < hosts_.size(); ++i)
    std::cout << "=== duzevod-host run " << i + 1 << "\n" << hosts_[i]->transcript();
  for (const auto& sim : simulators_) {
    // The end of the trace: the frames around the failure.
    std::vector<std::string> lines;
    std::istringstream in(sim->traceText());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    const std::size_t from = lines.size() > 150 ? lines.size() - 150 : 0;
    std::cout << "=== duzevod-sim on " << sim->pty() << ", trace" << (from ? " (its end)" : "") << "\n";
    for (std::size_t i = from; i < lines.size(); ++i) std::cout << lines[i] << "\n";
  }
  std::cout.flush();
}

Simulator& EndToEnd::startSimulator(const std::string& busText) {
  busFiles_.push_back(std::make_unique<TempFile>(busText));
  simulators_.push_back(std::make_unique<Simulator>(busFiles_.back()->path()));
  return *simulators_.back();
}

Simulator& EndToEnd::startSampleBus() {
  simulators_.push_back(std::make_unique<Simulator>(DUZ_SAMPLE_BUS));
  return *simulators_.back();
}

Host& EndToEnd::startHost(const std::string& script, const std::vector<std::string>& args) {
  std::string ports;
  for (const auto& s : simulators_) ports += (ports.empty() ? "" : ":") + s->pty();
  hosts_.push_back(std::make_unique<Host>(dir_, ports, script, args));
  return *hosts_.back();
}

Host& EndToEnd::runHost(const std::string& script, const std::vector<std::string>& args, int timeoutMs) {
  Host& host = startHost(script, args);
  host.finish(timeoutMs);
  return host;
}

std::string EndToEnd::searchScript(int limit) const {
  return "dialog port=" + pty() + " limit=" + std::to_string(limit) + " search; dialog exit";
}

std::int64_t fileTimeNow() {
  using namespace std::chrono;
  constexpr std::int64_t kUnixEpoch = 116444736000000000;
  return kUnixEpoch + duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
}

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool fileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

}  // namespace duz::test
