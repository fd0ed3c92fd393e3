// The gateway's end-to-end runs: a private mosquitto on 127.0.0.1, mosquitto_sub and mosquitto_pub as
// the clients, the bus simulator as the line and duzevod-mqtt loading the real module.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e_harness.h"

namespace duz::test {

// mosquitto with a configuration of the test's own, stopped and started again on the same port.
class Broker {
 public:
  // `config`: lines after the listener line (e.g. TLS files, password file); anonymous clients are
  // allowed unless it says otherwise.
  Broker(const std::string& dir, const std::string& config = "allow_anonymous true\n");
  ~Broker();
  int port() const { return port_; }
  bool start();  // true once it accepts connections
  void stop();
  void reload();  // SIGHUP: reads its password file again
  std::string log() const;

 private:
  std::string dir_, configPath_;
  int port_;
  std::unique_ptr<Child> child_;
};

struct Message {
  bool retained = false;
  std::string topic, payload;
};

// mosquitto_sub on `filter`, every message kept in arrival order. `client` holds extra options
// (TLS files, user name and password).
class Subscriber {
 public:
  Subscriber(int port, const std::string& filter, const std::vector<std::string>& client = {});
  // Reads messages until one satisfies `ready`; that one, or nothing at the time limit.
  std::optional<Message> waitFor(const std::function<bool(const Message&)>& ready, int timeoutMs);
  const std::vector<Message>& messages() const { return messages_; }

 private:
  Child child_;
  std::vector<Message> messages_;
};

// A Sparkplug B message as the tests' own decoder (Python, the schema compiled by protoc) read it:
// {"topic", "retained", "seq", "timestamp", "metrics": [{"name", "alias", "datatype", "timestamp",
// "value", "is_null", "properties": {"Quality": {"type", "value"}}}]}, or {"topic", "state"} for STATE.
class SparkplugSubscriber {
 public:
  SparkplugSubscriber(int port, const std::string& filter = "spBv1.0/#");
  std::optional<nlohmann::json> waitFor(const std::function<bool(const nlohmann::json&)>& ready,
                                        int timeoutMs);
  const std::vector<nlohmann::json>& messages() const { return messages_; }

 private:
  Child child_;
  std::vector<nlohmann::json> messages_;
};

// Publishes a Sparkplug payload of `metrics` (see tests/integration/sparkplug_client.py), or with
// "hex:…" those bytes; the exit status.
int publishSparkplug(int port, const std::string& topic, const std::string& metrics);

// What the broker holds retained under `filter` now, topic by topic, as a new subscriber sees it.
std::map<std::string, std::string> retainedState(int port, const std::string& filter,
                                                 const std::vector<std::string>& client = {});
// mosquitto_pub of one message (not retained unless `retain`); its exit status.
int publishMessage(int port, const std::string& topic, const std::string& payload, bool retain = false);

// The gateway with the module's files in `dir` and the given operator script.
std::vector<std::string> gatewayCommand(const std::string& gateway, const std::string& module,
                                        const std::string& dir, const std::string& ports,
                                        const std::string& script, const std::vector<std::string>& args);

// Waits until `text` appears `times` times in what `read` returns; false at the time limit.
bool waitForText(const std::function<std::string()>& read, const std::string& text, int timeoutMs,
                 int times = 1);

// A published FILETIME-derived timestamp "2026-12-08T10:05:01.204Z" as FILETIME, -1 when malformed.
std::int64_t fileTimeOf(const std::string& utc);

// Function-5 requests the simulator received, as hex text.
std::vector<std::string> coilWrites(Simulator& sim);

// A test with private brokers and gateways beside the simulator; their logs are shown when it fails.
class GatewayTest : public EndToEnd {
 protected:
  Broker& startBroker(const std::string& config = "allow_anonymous true\n");
  Child& startGateway(const std::string& gateway, const std::string& module, const std::string& script,
                      const std::vector<std::string>& args);
  // The gateway and the module of this build.
  Child& startGateway(const std::string& script, const std::vector<std::string>& args);
  static std::string at(const Broker& b) { return "127.0.0.1:" + std::to_string(b.port()); }
  void TearDown() override;
  ~GatewayTest() override;

  std::vector<std::unique_ptr<Broker>> brokers_;
  std::vector<std::unique_ptr<Child>> gateways_;
};

}  // namespace duz::test
