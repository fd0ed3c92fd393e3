#include "mqtt_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "loopback.h"

namespace duz::test {

namespace {

bool accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

std::vector<std::string> withClient(std::vector<std::string> argv, int port,
                                    const std::vector<std::string>& client) {
  argv.insert(argv.begin() + 1, {"-h", "127.0.0.1", "-p", std::to_string(port)});
  argv.insert(argv.end(), client.begin(), client.end());
  return argv;
}

std::optional<Message> parseLine(const std::string& line) {
  // "%r\t%t\t%p": retained flag, topic, payload
  const auto a = line.find('\t');
  const auto b = a == std::string::npos ? a : line.find('\t', a + 1);
  if (b == std::string::npos) return std::nullopt;
  return Message{line.substr(0, a) == "1", line.substr(a + 1, b - a - 1), line.substr(b + 1)};
}

}  // namespace

Broker::Broker(const std::string& dir, const std::string& config)
    : dir_(dir), configPath_(dir + "/mosquitto.conf"), port_(tools::freeLoopbackPort()) {
  // Started as root, mosquitto would become the user "mosquitto", who cannot read the test's files.
  const passwd* user = getpwuid(geteuid());
  std::ofstream(configPath_) << "listener " << port_ << " 127.0.0.1\npersistence false\n"
                             << "user " << (user ? user->pw_name : "root") << "\n"
                             << "log_dest stderr\nlog_type error\nlog_type warning\nlog_type notice\n"
                             << config;
}

Broker::~Broker() {
  stop();
}

bool Broker::start() {
  child_ = std::make_unique<Child>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", configPath_});
  for (int i = 0; i < 200; ++i) {
    if (accepts(port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

void Broker::stop() {
  if (!child_) return;
  child_->terminate();
  child_->wait(5000);
  child_.reset();
}

void Broker::reload() {
  // The child's process id is not exposed; mosquitto reads its password file again on SIGHUP.
  if (child_) child_->signal(SIGHUP);
}

std::string Broker::log() const {
  return child_ ? child_->errorText() : std::string("(stopped)");
}

Subscriber::Subscriber(int port, const std::string& filter, const std::vector<std::string>& client)
    : child_(withClient({"/usr/bin/mosquitto_sub", "-t", filter, "-q", "1", "-F", "%r\t%t\t%p", "-W", "110"},
                        port, client)) {
  child_.closeInput();
}

std::optional<Message> Subscriber::waitFor(const std::function<bool(const Message&)>& ready, int timeoutMs) {
  const double end = nowMs() + timeoutMs;
  for (double left; (left = end - nowMs()) > 0;) {
    const auto line = child_.readLine(static_cast<int>(left) + 1);
    if (!line) continue;
    const auto m = parseLine(*line);
    if (!m) continue;
    messages_.push_back(*m);
    if (ready(*m)) return m;
  }
  return std::nullopt;
}

SparkplugSubscriber::SparkplugSubscriber(int port, const std::string& filter)
    : child_({"/usr/bin/env", "SPARKPLUG_PY=" DUZ_SPARKPLUG_PY, "/usr/bin/python3", DUZ_SPARKPLUG_CLIENT,
              "sub", std::to_string(port), filter, "duz-test/probe"}) {
  child_.closeInput();
  // Python takes a moment to start: the subscription stands once a probe comes back.
  for (int i = 0; i < 50; ++i) {
    publishMessage(port, "duz-test/probe", "x");
    const double end = nowMs() + 200;
    for (double left; (left = end - nowMs()) > 0;) {
      const auto line = child_.readLine(static_cast<int>(left) + 1);
      if (!line) continue;
      auto m = nlohmann::json::parse(*line, nullptr, false);
      if (m.is_object() && m.contains("probe")) return;
      if (m.is_object()) messages_.push_back(m);
    }
  }
}

std::optional<nlohmann::json> SparkplugSubscriber::waitFor(
    const std::function<bool(const nlohmann::json&)>& ready, int timeoutMs) {
  const double end = nowMs() + timeoutMs;
  for (double left; (left = end - nowMs()) > 0;) {
    const auto line = child_.readLine(static_cast<int>(left) + 1);
    if (!line) continue;
    auto m = nlohmann::json::parse(*line, nullptr, false);
    if (!m.is_object() || m.contains("probe")) continue;
    messages_.push_back(m);
    if (ready(m)) return m;
  }
  return std::nullopt;
}

int publishSparkplug(int port, const std::string& topic, const std::string& metrics) {
  return runToEnd({"/usr/bin/env", "SPARKPLUG_PY=" DUZ_SPARKPLUG_PY, "/usr/bin/python3", DUZ_SPARKPLUG_CLIENT,
                   "pub", std::to_string(port), topic, metrics},
                  10000)
      .status;
}

std::map<std::string, std::string> retainedState(int port, const std::string& filter,
                                                 const std::vector<std::string>& client) {
  const auto run = runToEnd(
      withClient({"/usr/bin/mosquitto_sub", "-t", filter, "--retained-only", "-W", "3", "-F", "%r\t%t\t%p"},
                 port, client),
      8000);
  std::map<std::string, std::string> state;
  std::istringstream in(run.out);
  for (std::string line; std::getline(in, line);)
    if (const auto m = parseLine(line); m && m->retained) state[m->topic] = m->payload;
  return state;
}

int publishMessage(int port, const std::string& topic, const std::string& payload, bool retain) {
  std::vector<std::string> argv = {"/usr/bin/mosquitto_pub", "-t", topic, "-m", payload, "-q", "1"};
  if (retain) argv.push_back("-r");
  return runToEnd(withClient(argv, port, {}), 5000).status;
}

std::vector<std::string> gatewayCommand(const std::string& gateway, const std::string& module,
                                        const std::string& dir, const std::string& ports,
                                        const std::string& script, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/env", "-u", "DUZEVOD_OPERATOR", "DUZEVOD_DIR=" + dir,
                                   "DUZEVOD_PORTS=" + ports};
  if (!script.empty()) argv.push_back("DUZEVOD_OPERATOR=" + script);
#if defined(DUZ_ASAN)
  const char* asan = getenv("ASAN_OPTIONS");
  argv.push_back(std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") +
                 "detect_leaks=1");
#endif
  argv.insert(argv.end(), {gateway, "--module", module});
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

bool waitForText(const std::function<std::string()>& read, const std::string& text, int timeoutMs,
                 int times) {
  const double end = nowMs() + timeoutMs;
  do {
    const std::string all = read();
    int found = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++found;
    if (found >= times) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (nowMs() < end);
  return false;
}

std::int64_t fileTimeOf(const std::string& utc) {
  int y, mo, d, h, mi, s, ms;
  char z = 0;
  if (std::sscanf(utc.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &y, &mo, &d, &h, &mi, &s, &ms, &z) != 8 ||
      z != 'Z' || utc.size() != 24)
    return -1;
  using namespace std::chrono;
  const sys_days day =
      year{y} / month{static_cast<unsigned>(mo)} / std::chrono::day{static_cast<unsigned>(d)};
  const auto unixMs =
      duration_cast<milliseconds>(day.time_since_epoch()).count() + ((h * 60LL + mi) * 60 + s) * 1000 + ms;
  return 116444736000000000LL + unixMs * 10000;
}

std::vector<std::string> coilWrites(Simulator& sim) {
  std::vector<std::string> out;
  for (const auto& f : sim.trace())
    if (f.received && f.bytes.size() == 8 && f.bytes[1] == 5) out.push_back(hexText(f.bytes));
  return out;
}

Broker& GatewayTest::startBroker(const std::string& config) {
  brokers_.push_back(std::make_unique<Broker>(dir(), config));
  EXPECT_TRUE(brokers_.back()->start()) << brokers_.back()->log();
  return *brokers_.back();
}

Child& GatewayTest::startGateway(const std::string& gateway, const std::string& module,
                                 const std::string& script, const std::vector<std::string>& args) {
  gateways_.push_back(std::make_unique<Child>(gatewayCommand(gateway, module, dir(), pty(), script, args)));
  gateways_.back()->closeInput();
  return *gateways_.back();
}

Child& GatewayTest::startGateway(const std::string& script, const std::vector<std::string>& args) {
  return startGateway(DUZ_MQTT, DUZ_MODULE, script, args);
}

void GatewayTest::TearDown() {
  if (HasFailure()) {
    for (std::size_t i = 0; i < gateways_.size(); ++i)
      std::cout << "=== duzevod-mqtt run " << i + 1 << ", standard error\n" << gateways_[i]->errorText();
    for (const auto& b : brokers_) std::cout << "=== mosquitto\n" << b->log();
  }
  EndToEnd::TearDown();
}

GatewayTest::~GatewayTest() {
  gateways_.clear();
  brokers_.clear();
}

}  // namespace duz::test
