// duzevod-mqtt end to end: the real module on the bus simulator's line, a private mosquitto, and
// mosquitto_sub / mosquitto_pub as the plant's clients.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "mqtt_harness.h"

namespace duz::test {
namespace {

using nlohmann::json;

json parsed(const std::string& payload) {
  return json::parse(payload, nullptr, false);
}

bool isResult(const Message& m, const std::string& tagTopic) {
  return m.topic == tagTopic + "/result";
}

class Mqtt : public GatewayTest {};

const std::string kVeks = "t/Device3/VEKS-1: (-50 -- 200).Value";

TEST_F(Mqtt, EveryTagArrivesFollowsASilenceAndIsCompleteAgainAfterTheBrokerRestarts) {
  startSampleBus();
  Broker& broker = startBroker();
  Subscriber live(broker.port(), "t/#");
  const std::int64_t started = fileTimeNow();
  Child& gateway = startGateway(searchScript(5), {"--broker", at(broker), "--prefix", "t"});

  // Two complete cycles: the last device's number arrives a second time.
  int cycles = 0;
  ASSERT_TRUE(live.waitFor(
      [&](const Message& m) { return m.topic == "t/Device5/Device number" && ++cycles == 2; }, 25000));
  // Writes are off: a command is neither taken nor answered.
  ASSERT_EQ(publishMessage(broker.port(), "t/Device2/Reset/set", "1"), 0);

  auto state = retainedState(broker.port(), "t/#");
  // status, five online flags, five devices' link statistics, 55 + 18 + 4 + 4 + 4 tags
  EXPECT_EQ(state.size(), 1u + 5u + 5u + 85u);
  EXPECT_EQ(state["t/status"], "online");
  for (int d = 1; d <= 5; ++d) {
    const std::string device = "t/Device" + std::to_string(d);
    EXPECT_EQ(state[device + "/online"], "1");
    EXPECT_EQ(parsed(state[device + "/Device number"])["value"], d);
    const json link = parsed(state[device + "/link"]);
    EXPECT_GE(link["exchanges"], 1) << link;  // the count goes out every 10 s; the search made one
    EXPECT_EQ(link["badCrc"], 0) << link;
    EXPECT_EQ(link["lastFailure"], "none") << link;
    EXPECT_GT(link["medianExchangeMs"], 0.0) << link;
  }
  const std::int64_t now = fileTimeNow();
  for (const auto& [topic, payload] : state) {
    if (topic == "t/status" || topic.ends_with("/online") || topic.ends_with("/link")) continue;
    const json j = parsed(payload);
    ASSERT_TRUE(j.is_object()) << topic << ": " << payload;
    EXPECT_EQ(j.size(), 4u) << payload;
    ASSERT_TRUE(j["value"].is_number()) << topic << ": " << payload;
    const std::int64_t t = fileTimeOf(j["timestamp"].get<std::string>());
    EXPECT_GE(t, started - 10'000'000) << topic << ": " << payload;
    EXPECT_LE(t, now) << topic << ": " << payload;
    const int q = j["quality"];
    const std::string text = j["quality_text"];
    EXPECT_EQ(text, q == 192  ? "good"
                    : q == 12 ? "device failure"
                    : q == 16 ? "sensor failure"
                    : q == 80 ? "not accurate"
                              : "configuration error")
        << topic;
  }
  struct Expected {
    std::string topic;
    double value;
    int quality;
  };
  const std::string luma = "t/Device1/LUMA-12 1101: Module 1 (BRUN).";
  for (const Expected& e : std::vector<Expected>{
           {luma + "Input 1", 23.5, 192},
           {luma + "Input 2: Limit 1", 1, 192},
           {luma + "Input 4", 101.0, 80},
           {luma + "Input 5", 0.0, 16},
           {luma + "Input 6", 7.75, 12},
           {"t/Device1/LUMA-12 1101: Module 3 (GELT).Input 2", 12.5, 192},
           {"t/Device2/DEK-04 9852: Discrete inputs.Input 1", 1, 192},
           {"t/Device2/DEK-04 9852: Discrete inputs.Input 2", 0, 192},
           {"t/Device2/DEK-04 9852: Discrete inputs.Input 10", 1, 192},
           {"t/Device2/Mode of blocking", 0, 192},
           {kVeks, 75.0, 192},
           {"t/Device4/VEKS-2: (-50 -- 180).Value", 65.0, 192},
           {"t/Device4/VEKS-2: (-50 -- 180).Limit 1", 1, 192},
           {"t/Device5/ORTA (4 -- 20 mA).Value", 50.0, 192},
       }) {
    const json j = parsed(state[e.topic]);
    EXPECT_EQ(j["value"], e.value) << e.topic << ": " << state[e.topic];
    EXPECT_EQ(j["quality"], e.quality) << e.topic << ": " << state[e.topic];
  }

  // A silent transducer: lost after three failing polls, every data tag 0 with device failure.
  ASSERT_EQ(sim().command("3 fault silent"), "ok");
  ASSERT_TRUE(live.waitFor([](const Message& m) { return m.topic == "t/Device3/online" && m.payload == "0"; },
                           20000));
  for (const std::string tag : {".Value", ".Limit 1", ".Limit 2"}) {
    const std::string topic = "t/Device3/VEKS-1: (-50 -- 200)" + tag;
    const auto lost = live.waitFor(
        [&](const Message& m) { return m.topic == topic && parsed(m.payload)["quality"] == 12; }, 5000);
    ASSERT_TRUE(lost) << topic;
    const json j = parsed(lost->payload);
    EXPECT_EQ(j["value"], 0);
    EXPECT_EQ(j["quality_text"], "device failure");
  }
  ASSERT_EQ(sim().command("3 fault normal"), "ok");
  ASSERT_TRUE(live.waitFor([](const Message& m) { return m.topic == "t/Device3/online" && m.payload == "1"; },
                           10000));
  ASSERT_TRUE(live.waitFor(
      [](const Message& m) {
        return m.topic == kVeks && parsed(m.payload)["value"] == 75.0 && parsed(m.payload)["quality"] == 192;
      },
      5000));

  // The broker goes away (and forgets everything); a value changes meanwhile; it comes back.
  broker.stop();
  ASSERT_EQ(sim().command("3 raw 8192"), "ok");
  ASSERT_TRUE(waitForText([&] { return gateway.errorText(); }, "lost the broker", 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const std::int64_t restarted = fileTimeNow();
  ASSERT_TRUE(broker.start());
  ASSERT_TRUE(waitForText([&] { return gateway.errorText(); }, "connected to the broker", 20000, 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  state = retainedState(broker.port(), "t/#");
  EXPECT_EQ(state.size(), 1u + 5u + 5u + 85u);
  EXPECT_EQ(state["t/status"], "online");
  const json veks = parsed(state[kVeks]);
  EXPECT_EQ(veks["value"], 200.0) << state[kVeks];
  EXPECT_GE(fileTimeOf(veks["timestamp"]), restarted - 20'000'000)
      << "current, not the value before the restart";

  EXPECT_TRUE(coilWrites(sim()).empty()) << "a command reached the line without --allow-writes";
  for (const auto& m : live.messages()) EXPECT_FALSE(m.topic.ends_with("/result")) << m.topic;

  gateway.terminate();
  EXPECT_EQ(gateway.wait(15000), 0);
  EXPECT_EQ(retainedState(broker.port(), "t/status")["t/status"], "offline");
}

TEST_F(Mqtt, CommandsReachTheLineAsCoilWritesAndEveryOutcomeIsAnswered) {
  startSimulator("device 1 DEK-04\n  ident 98 52\n  inputs 0x1\n  coil 240 1\n");
  Broker& broker = startBroker();
  // A command the broker keeps from before the gateway started is not carried out when it arrives.
  const std::string kept = "w/Device1/Cancellation of the signal system";
  ASSERT_EQ(publishMessage(broker.port(), kept + "/set", "1", true), 0);
  Subscriber live(broker.port(), "w/#");
  Child& gateway = startGateway(searchScript(1), {"--broker", at(broker), "--prefix", "w", "--allow-writes"});
  const auto refusedKept = live.waitFor([&](const Message& m) { return isResult(m, kept); }, 20000);
  ASSERT_TRUE(refusedKept);
  EXPECT_EQ(parsed(refusedKept->payload)["result"], "refused") << refusedKept->payload;
  ASSERT_EQ(publishMessage(broker.port(), kept + "/set", "", true), 0);  // clears it
  ASSERT_TRUE(live.waitFor([](const Message& m) { return m.topic == "w/Device1/Reset"; }, 20000));

  const auto command = [&](const std::string& tag, const std::string& payload) {
    const std::string topic = "w/Device1/" + tag;
    EXPECT_EQ(publishMessage(broker.port(), topic + "/set", payload), 0);
    const auto answer = live.waitFor([&](const Message& m) { return isResult(m, topic); }, 8000);
    return answer ? parsed(answer->payload) : json();
  };
  json r = command("Reset", "1");
  EXPECT_EQ(r["result"], "done") << r;
  EXPECT_EQ(r["value"], 1);
  r = command("Mode of blocking", "false");
  EXPECT_EQ(r["result"], "done") << r;
  EXPECT_EQ(r["value"], 0);
  EXPECT_EQ(coilWrites(sim()),
            (std::vector<std::string>{"01 05 00 01 FF 00 DD FA", "01 05 00 F0 FF 00 8C 09"}));

  // Refused before the line: not a command bit, a payload that is no bit value, no such tag.
  r = command("DEK-04 9852: Discrete inputs.Input 1", "1");
  EXPECT_EQ(r["result"], "refused") << r;
  EXPECT_TRUE(r["reason"].is_string());
  r = command("Reset", "on");
  EXPECT_EQ(r["result"], "refused") << r;
  EXPECT_TRUE(r["value"].is_null());
  r = command("Nothing here", "1");
  EXPECT_EQ(r["result"], "refused") << r;
  EXPECT_EQ(coilWrites(sim()).size(), 2u) << "a refused command reached the line";

  // An instrument that does not answer: the write goes out once and is reported unconfirmed.
  ASSERT_EQ(sim().command("1 fault silent"), "ok");
  r = command("Cancellation of the signal system", "true");
  EXPECT_EQ(r["result"], "not confirmed") << r;
  EXPECT_EQ(coilWrites(sim()).back(), "01 05 00 00 FF 00 8C 3A");

  gateway.terminate();
  EXPECT_EQ(gateway.wait(15000), 0);
}

// Certificates for a broker on 127.0.0.1 made with openssl: a CA, a server certificate it signed, and
// a CA nobody trusts.
void makeCertificates(const std::string& dir) {
  const auto run = [&](std::vector<std::string> argv) {
    argv.insert(argv.begin(), "/usr/bin/openssl");
    const auto r = runToEnd(argv, 20000);
    ASSERT_EQ(r.status, 0) << r.err;
  };
  const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
  const auto req = [&](std::vector<std::string> head, std::vector<std::string> tail) {
    head.insert(head.end(), ec.begin(), ec.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  run(req({"req", "-x509"},
          {"-keyout", dir + "/ca.key", "-out", dir + "/ca.crt", "-days", "2", "-subj", "/CN=test CA"}));
  run(req({"req"}, {"-keyout", dir + "/server.key", "-out", dir + "/server.csr", "-subj", "/CN=127.0.0.1"}));
  std::ofstream(dir + "/san.ext") << "subjectAltName=IP:127.0.0.1\n";
  run({"x509", "-req", "-in", dir + "/server.csr", "-CA", dir + "/ca.crt", "-CAkey", dir + "/ca.key",
       "-CAcreateserial", "-out", dir + "/server.crt", "-days", "2", "-extfile", dir + "/san.ext"});
  run(req({"req", "-x509"}, {"-keyout", dir + "/other.key", "-out", dir + "/other.crt", "-days", "2", "-subj",
                             "/CN=stranger"}));
}

TEST_F(Mqtt, TlsWithTheRightAuthorityAndAPasswordThatIsRefusedUntilTheBrokerTakesIt) {
  const std::string d = dir();
  makeCertificates(d);
  ASSERT_EQ(runToEnd({"/usr/bin/mosquitto_passwd", "-b", "-c", d + "/passwd", "gw", "right"}).status, 0);
  std::ofstream(d + "/wrong") << "wrong\n";
  std::filesystem::permissions(d + "/wrong",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  Broker& broker = startBroker("cafile " + d + "/ca.crt\ncertfile " + d + "/server.crt\nkeyfile " + d +
                               "/server.key\nallow_anonymous false\npassword_file " + d + "/passwd\n");
  startSimulator("device 1 ORTA\n  raw 8192\n");

  // A broker whose certificate the gateway cannot check: reported, not a crash, and it stops cleanly.
  Child& stranger =
      startGateway(searchScript(1), {"--broker", at(broker), "--prefix", "s", "--tls-ca", d + "/other.crt",
                                     "--username", "gw", "--password-file", d + "/wrong"});
  EXPECT_TRUE(waitForText([&] { return stranger.errorText(); }, "certificate verify failed", 20000));
  stranger.terminate();
  EXPECT_EQ(stranger.wait(10000), 0);

  // The right authority and a refused password: reported, and retried.
  Child& gateway = startGateway("", {"--broker", at(broker), "--prefix", "s", "--tls-ca", d + "/ca.crt",
                                     "--username", "gw", "--password-file", d + "/wrong"});
  ASSERT_TRUE(waitForText([&] { return gateway.errorText(); }, "refused the connection", 10000, 2));
  // The broker learns the password; the next attempt gets in.
  ASSERT_EQ(runToEnd({"/usr/bin/mosquitto_passwd", "-b", d + "/passwd", "gw", "wrong"}).status, 0);
  broker.reload();
  ASSERT_TRUE(waitForText([&] { return gateway.errorText(); }, "connected to the broker", 15000));
  const std::vector<std::string> client = {"--cafile", d + "/ca.crt", "-u", "gw", "-P", "wrong"};
  std::map<std::string, std::string> state;
  for (int i = 0; i < 10 && !state.contains("s/Device1/ORTA (4 -- 20 mA).Value"); ++i)
    state = retainedState(broker.port(), "s/#", client);
  EXPECT_EQ(parsed(state["s/Device1/ORTA (4 -- 20 mA).Value"])["value"], 50.0);
  EXPECT_EQ(state["s/status"], "online");
  gateway.terminate();
  EXPECT_EQ(gateway.wait(10000), 0);
  EXPECT_EQ(retainedState(broker.port(), "s/status", client)["s/status"], "offline");
  EXPECT_EQ(gateway.errorText().find("wrong\n"), std::string::npos) << "the password is never shown";
}

TEST_F(Mqtt, ThePackageHoldsTheProgramsAndTheUnitAndTheGatewayRunsFromIt) {
  namespace fs = std::filesystem;
  const std::string out = dir() + "/package", root = dir() + "/root";
  const auto packed = runToEnd(
      {"/usr/bin/cpack", "--config", DUZ_BUILD_DIR "/CPackConfig.cmake", "-G", "DEB", "-B", out}, 90000);
  ASSERT_EQ(packed.status, 0) << packed.out << packed.err;
  std::string deb;
  for (const auto& e : fs::directory_iterator(out))
    if (e.path().extension() == ".deb") deb = e.path();
  ASSERT_FALSE(deb.empty()) << packed.out;

  const std::string contents = runToEnd({"/usr/bin/dpkg-deb", "-c", deb}).out;
  for (const char* file :
       {"./usr/bin/duzevod-mqtt", "./usr/bin/duzevod-host", "./usr/bin/duzevod-sim", "./usr/bin/duzevod-conf",
        "./usr/lib/duzevod/libduzevod.so", "./usr/lib/duzevod/libtessarin.so",
        "./usr/lib/systemd/system/duzevod-mqtt.service"})
    EXPECT_NE(contents.find(std::string(file) + "\n"), std::string::npos)
        << file << " is not in the package:\n"
        << contents;
  const std::string depends = runToEnd({"/usr/bin/dpkg-deb", "-f", deb, "Depends"}).out;
  EXPECT_NE(depends.find("libmosquitto1"), std::string::npos) << depends;
  EXPECT_NE(depends.find("libprotobuf32"), std::string::npos) << depends;
#ifdef DUZ_PACKAGE_HAS_OPCUA
  // The OPC UA server with its locked packages, so that a plant machine needs no registry.
  for (const char* file :
       {"./usr/bin/duzevod-opcua -> ", "./usr/lib/duzevod/opcua/node_modules/node-opcua/",
        "./usr/lib/duzevod/opcua/sparkplug_b.proto\n", "./usr/lib/systemd/system/duzevod-opcua.service\n"})
    EXPECT_NE(contents.find(file), std::string::npos) << file << " is not in the package";
  EXPECT_NE(depends.find("nodejs"), std::string::npos) << depends;
#endif

  ASSERT_EQ(runToEnd({"/usr/bin/dpkg-deb", "-x", deb, root}).status, 0);
  const std::string unit = readBytes(root + "/usr/lib/systemd/system/duzevod-mqtt.service");
  for (const char* line :
       {"SupplementaryGroups=dialout", "StateDirectory=duzevod", "DUZEVOD_DIR=/var/lib/duzevod",
        "Restart=on-failure", "ExecStart=/usr/bin/duzevod-mqtt --module /usr/lib/duzevod/libduzevod.so"})
    EXPECT_NE(unit.find(line), std::string::npos) << line << " is not in the unit:\n" << unit;
#ifdef DUZ_PACKAGE_HAS_OPCUA
  const auto opcua = runToEnd({root + "/usr/bin/duzevod-opcua", "--help"});
  EXPECT_EQ(opcua.status, 0) << opcua.out << opcua.err;
#endif
  for (const char* program : {"duzevod-mqtt", "duzevod-host", "duzevod-sim", "duzevod-conf"}) {
    const auto help = runToEnd({root + "/usr/bin/" + program, "--help"});
    EXPECT_EQ(help.status, 0) << program << ": " << help.err;
  }

  // The unpacked gateway with the unpacked module, as the unit runs it.
  startSimulator("device 1 ORTA\n  raw 4096\n");
  Broker& broker = startBroker();
  Subscriber live(broker.port(), "p/#");
  Child& gateway = startGateway(root + "/usr/bin/duzevod-mqtt", root + "/usr/lib/duzevod/libduzevod.so",
                                searchScript(1), {"--broker", at(broker), "--prefix", "p"});
  const auto value =
      live.waitFor([](const Message& m) { return m.topic == "p/Device1/ORTA (4 -- 20 mA).Value"; }, 20000);
  ASSERT_TRUE(value);
  EXPECT_EQ(parsed(value->payload)["value"], 25.0);
  gateway.terminate();
  EXPECT_EQ(gateway.wait(10000), 0);
}

}  // namespace
}  // namespace duz::test
