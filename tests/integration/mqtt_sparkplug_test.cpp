// duzevod-mqtt as a Sparkplug B edge node, end to end: the real module on the bus simulator's line, a
// private mosquitto, and a decoder that shares nothing with the gateway (the schema compiled for Python).
#include <gtest/gtest.h>

#include <iostream>
#include <set>
#include <thread>

#include "mqtt_harness.h"

namespace duz::test {
namespace {

using nlohmann::json;

const std::string kNode = "spBv1.0/G/";

bool is(const json& m, const std::string& type, const std::string& device = "") {
  return m["topic"] == kNode + type + "/E" + (device.empty() ? "" : "/" + device);
}

std::map<std::string, json> byName(const json& m) {
  std::map<std::string, json> out;
  for (const auto& metric : m["metrics"])
    if (metric.contains("name")) out[metric["name"]] = metric;
  return out;
}

std::int64_t bdSeqOf(const json& m) {
  const auto metrics = byName(m);
  return metrics.contains("bdSeq") ? metrics.at("bdSeq")["value"].get<std::int64_t>() : -1;
}

std::string withCrc(Bytes frame) {
  std::uint16_t crc = 0xFFFF;
  for (const auto b : frame) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  return hexText(frame);
}

// Every message of the edge node after its NBIRTH (seq 0) counts on by one, 255 then 0 (NDEATH carries
// none). How many steps were checked.
int checkSeq(const std::vector<json>& messages) {
  int expected = -1, steps = 0;
  for (const auto& m : messages) {
    const std::string topic = m["topic"];
    bool ours = false;
    for (const char* type : {"/NBIRTH/", "/NDATA/", "/DBIRTH/", "/DDATA/", "/DDEATH/"})
      ours = ours || topic.find(type) != std::string::npos;
    if (!ours) continue;
    EXPECT_TRUE(m["seq"].is_number()) << m;
    const int seq = m["seq"].is_number() ? m["seq"].get<int>() : -2;
    if (topic.find("/NBIRTH/") != std::string::npos) {
      EXPECT_EQ(seq, 0) << m;
    } else if (expected >= 0) {
      EXPECT_EQ(seq, expected) << "a gap before " << m;
      ++steps;
    }
    expected = (seq + 1) % 256;
  }
  return steps;
}

class Sparkplug : public GatewayTest {};

// The five devices' births after an NBIRTH, by device ID.
std::map<std::string, json> births(SparkplugSubscriber& sub, int timeoutMs) {
  std::map<std::string, json> out;
  sub.waitFor(
      [&](const json& m) {
        for (int d = 1; d <= 5; ++d)
          if (is(m, "DBIRTH", "Device" + std::to_string(d))) out["Device" + std::to_string(d)] = m;
        return out.size() == 5;
      },
      timeoutMs);
  return out;
}

const std::string kVeks = "VEKS-1: (-50 -- 200).Value";

TEST_F(Sparkplug, BirthsDataDeathsCommandsRebirthAndReconnectsOnTheSampleBus) {
  startSampleBus();
  Broker& broker = startBroker();
  auto live = std::make_unique<SparkplugSubscriber>(broker.port());
  Child& gateway = startGateway(searchScript(5), {"--broker", at(broker), "--sparkplug", "G", "--edge-node",
                                                  "E", "--client-id", "edge-e", "--allow-writes"});

  // The node's birth: bdSeq, the rebirth control, nothing else that is not the node's own.
  const auto nbirth = live->waitFor([](const json& m) { return is(m, "NBIRTH"); }, 25000);
  ASSERT_TRUE(nbirth);
  auto node = byName(*nbirth);
  EXPECT_EQ((*nbirth)["seq"], 0);
  const std::int64_t firstBdSeq = bdSeqOf(*nbirth);
  EXPECT_EQ(node["bdSeq"]["datatype"], "Int64");
  EXPECT_EQ(node["Node Control/Rebirth"]["datatype"], "Boolean");
  EXPECT_EQ(node["Node Control/Rebirth"]["value"], false);

  // Every device's birth: each tag typed, with its value, timestamp and quality; only the command bits
  // are writable; every alias unique within the node.
  auto born = births(*live, 20000);
  ASSERT_EQ(born.size(), 5u);
  std::set<std::uint64_t> aliases;
  for (const auto& m : nbirth->at("metrics"))
    EXPECT_TRUE(aliases.insert(m["alias"].get<std::uint64_t>()).second) << m;
  const std::map<std::string, std::size_t> tagCounts = {
      {"Device1", 55}, {"Device2", 18}, {"Device3", 4}, {"Device4", 4}, {"Device5", 4}};
  const std::int64_t nowMs = (fileTimeNow() - 116444736000000000LL) / 10000;
  std::map<std::string, std::map<std::string, json>> tags;
  for (const auto& [device, birth] : born) {
    std::size_t count = 0;
    for (const auto& m : birth["metrics"]) {
      EXPECT_TRUE(aliases.insert(m["alias"].get<std::uint64_t>()).second) << device << ": " << m;
      ASSERT_TRUE(m.contains("name")) << m;
      const std::string name = m["name"];
      tags[device][name] = m;
      if (name.starts_with("Link/")) continue;
      ++count;
      EXPECT_TRUE(m["datatype"] == "Double" || m["datatype"] == "Boolean" || m["datatype"] == "Int32") << m;
      EXPECT_FALSE(m["is_null"].get<bool>()) << m;
      EXPECT_LE(m["timestamp"].get<std::int64_t>(), nowMs + 1000) << m;
      EXPECT_GE(m["timestamp"].get<std::int64_t>(), nowMs - 60000) << m;
      ASSERT_TRUE(m["properties"].contains("Quality")) << m;
      EXPECT_EQ(m["properties"]["Quality"]["type"], 3) << "Int32: " << m;
      const int q = m["properties"]["Quality"]["value"];
      EXPECT_TRUE(q == 192 || q == 12 || q == 16 || q == 80 || q == 4) << m;
      const bool writable = m["properties"].contains("Writable");
      EXPECT_EQ(writable,
                device == "Device2" && (name == "Reset" || name == "Cancellation of the signal system" ||
                                        name == "Mode of blocking"))
          << device << ": " << m;
    }
    EXPECT_EQ(count, tagCounts.at(device)) << device;
    EXPECT_EQ(birth["seq"].get<int>() > 0, true);
  }
  const std::string luma = "LUMA-12 1101: Module 1 (BRUN).";
  struct Expected {
    std::string device, name;
    json value;
    int quality;
  };
  for (const Expected& e :
       std::vector<Expected>{{"Device1", luma + "Input 1", 23.5, 192},
                             {"Device1", luma + "Input 4", 101.0, 80},
                             {"Device1", luma + "Input 5", 0.0, 16},
                             {"Device1", luma + "Input 6", 7.75, 12},
                             {"Device1", luma + "Input 2: Limit 1", true, 192},
                             {"Device2", "DEK-04 9852: Discrete inputs.Input 2", false, 192},
                             {"Device2", "Mode of blocking", false, 192},
                             {"Device3", kVeks, 75.0, 192},
                             {"Device5", "Device number", 5, 192}}) {
    const json& m = tags[e.device][e.name];
    EXPECT_EQ(m["value"], e.value) << e.device << " " << e.name << ": " << m;
    EXPECT_EQ(m["properties"]["Quality"]["value"], e.quality) << e.name;
  }
  EXPECT_EQ(tags["Device5"]["Device number"]["datatype"], "Int32");

  // Data by exception: one changed value, by alias, and nothing that did not change.
  ASSERT_EQ(sim().command("3 raw 8192"), "ok");
  const auto veksAlias = tags["Device3"][kVeks]["alias"];
  const auto ddata = live->waitFor([](const json& m) { return is(m, "DDATA", "Device3"); }, 8000);
  ASSERT_TRUE(ddata);
  bool sawValue = false;
  for (const auto& m : (*ddata)["metrics"]) {
    EXPECT_FALSE(m.contains("name")) << m;
    if (m["alias"] == veksAlias) {
      sawValue = true;
      EXPECT_EQ(m["value"], 200.0) << m;
      EXPECT_EQ(m["properties"]["Quality"]["value"], 192);
    }
  }
  EXPECT_TRUE(sawValue) << *ddata;
  EXPECT_LE((*ddata)["metrics"].size(), 3u) << "only what changed: " << *ddata;

  // A command on a command bit, by name: the exact coil frame, and the new value as DDATA.
  const std::string dcmd = kNode + "DCMD/E/Device2";
  ASSERT_EQ(publishSparkplug(broker.port(), dcmd,
                             R"([{"name":"Mode of blocking","datatype":"Boolean","boolean":true}])"),
            0);
  const auto modeAlias = tags["Device2"]["Mode of blocking"]["alias"];
  ASSERT_TRUE(live->waitFor(
      [&](const json& m) {
        if (!is(m, "DDATA", "Device2")) return false;
        for (const auto& metric : m["metrics"])
          if (metric["alias"] == modeAlias && metric["value"] == true) return true;
        return false;
      },
      8000));
  // Mode of blocking on is coil 240 off.
  EXPECT_EQ(coilWrites(sim()), (std::vector<std::string>{withCrc({0x02, 0x05, 0x00, 0xF0, 0x00, 0x00})}));

  // Anything else never reaches the line: a metric that is not writable, a wrong type, an unknown alias,
  // a device that does not exist, bytes that are no payload, a retained command.
  const std::string resetAlias = std::to_string(tags["Device2"]["Reset"]["alias"].get<std::uint64_t>());
  for (const auto& [topic, metrics] : std::vector<std::pair<std::string, std::string>>{
           {dcmd, R"([{"name":"DEK-04 9852: Discrete inputs.Input 1","datatype":"Boolean","boolean":true}])"},
           {dcmd, R"([{"name":"Reset","datatype":"Int32","int":1}])"},
           {dcmd, R"([{"alias":)" + resetAlias + R"(,"datatype":"Double","double":1}])"},
           {dcmd, R"([{"alias":99999,"datatype":"Boolean","boolean":true}])"},
           {dcmd, R"([{"name":"Device number","datatype":"Boolean","boolean":true}])"},
           {kNode + "DCMD/E/Device3", R"([{"name":"Reset","datatype":"Boolean","boolean":true}])"},
           {kNode + "DCMD/E/Nobody", R"([{"name":"Reset","datatype":"Boolean","boolean":true}])"},
           {dcmd, "hex:0a0b0cffff"},
       })
    ASSERT_EQ(publishSparkplug(broker.port(), topic, metrics), 0) << metrics;
  // A write by alias still works after all of that (and shows the garbage did not stop the gateway).
  ASSERT_EQ(publishSparkplug(broker.port(), dcmd, R"([{"alias":)" + resetAlias + R"(,"boolean":true}])"), 0);
  ASSERT_TRUE(waitForText([&] { return gateway.errorText(); }, "wrote Reset = 1", 8000));
  EXPECT_EQ(coilWrites(sim()), (std::vector<std::string>{withCrc({0x02, 0x05, 0x00, 0xF0, 0x00, 0x00}),
                                                         withCrc({0x02, 0x05, 0x00, 0x01, 0xFF, 0x00})}));
  EXPECT_TRUE(waitForText([&] { return gateway.errorText(); }, "ignored", 1000, 8)) << gateway.errorText();

  // A silent transducer dies, and is born again with its value when it answers.
  ASSERT_EQ(sim().command("3 fault silent"), "ok");
  ASSERT_TRUE(live->waitFor([](const json& m) { return is(m, "DDEATH", "Device3"); }, 20000));
  ASSERT_EQ(sim().command("3 fault normal"), "ok");
  const auto reborn = live->waitFor([](const json& m) { return is(m, "DBIRTH", "Device3"); }, 15000);
  ASSERT_TRUE(reborn);
  EXPECT_EQ(byName(*reborn)[kVeks]["value"], 200.0) << *reborn;
  EXPECT_EQ(byName(*reborn)[kVeks]["properties"]["Quality"]["value"], 192) << *reborn;

  // Rebirth on request: the same bdSeq, seq 0, every device again.
  ASSERT_EQ(publishSparkplug(broker.port(), kNode + "NCMD/E",
                             R"([{"name":"Node Control/Rebirth","datatype":"Boolean","boolean":true}])"),
            0);
  const auto rebirth = live->waitFor([](const json& m) { return is(m, "NBIRTH"); }, 8000);
  ASSERT_TRUE(rebirth);
  EXPECT_EQ(bdSeqOf(*rebirth), firstBdSeq);
  EXPECT_EQ(births(*live, 8000).size(), 5u);

  // Three times the connection is taken away (another client with the gateway's identifier): each time
  // the broker publishes the will, whose bdSeq is that of the birth before it, and the next birth counts on.
  std::int64_t bdSeq = firstBdSeq;
  for (int i = 0; i < 3; ++i) {
    const auto taken = runToEnd({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p",
                                 std::to_string(broker.port()), "-i", "edge-e", "-t", "x", "-W", "1"},
                                5000);
    const auto death = live->waitFor([](const json& m) { return is(m, "NDEATH"); }, 8000);
    ASSERT_TRUE(death) << "no will after the takeover " << i + 1;
    EXPECT_EQ(bdSeqOf(*death), bdSeq);
    const auto next = live->waitFor([](const json& m) { return is(m, "NBIRTH"); }, 10000);
    ASSERT_TRUE(next);
    EXPECT_EQ(bdSeqOf(*next), (bdSeq + 1) % 256);
    bdSeq = bdSeqOf(*next);
    EXPECT_EQ(births(*live, 8000).size(), 5u);
  }
  EXPECT_GT(checkSeq(live->messages()), 20);

  // The broker restarts and forgets everything: a complete birth again.
  broker.stop();
  ASSERT_TRUE(waitForText([&] { return gateway.errorText(); }, "lost the broker", 5000));
  ASSERT_TRUE(broker.start());
  live = std::make_unique<SparkplugSubscriber>(broker.port());
  const auto afterRestart = live->waitFor([](const json& m) { return is(m, "NBIRTH"); }, 20000);
  ASSERT_TRUE(afterRestart);
  EXPECT_EQ(bdSeqOf(*afterRestart), (bdSeq + 1) % 256);
  born = births(*live, 8000);
  ASSERT_EQ(born.size(), 5u);
  EXPECT_EQ(byName(born["Device3"])[kVeks]["value"], 200.0);

  // A clean stop publishes the death with the same bdSeq.
  gateway.terminate();
  const auto last = live->waitFor([](const json& m) { return is(m, "NDEATH"); }, 8000);
  ASSERT_TRUE(last);
  EXPECT_EQ(bdSeqOf(*last), bdSeqOf(*afterRestart));
  EXPECT_EQ(gateway.wait(15000), 0);
}

// Many drifting instruments: enough messages for seq to wrap, behind a primary host that comes and goes.
TEST_F(Sparkplug, APrimaryHostGatesTheBirthAndSeqWrapsWithoutAGap) {
  std::string bus;
  for (int a = 1; a <= 12; ++a)
    bus += "device " + std::to_string(a) + " ORTA\n  raw 8192\n  drift raw 0 16000 " +
           std::to_string(2 + a % 3) + "\n";
  startSimulator(bus);
  Broker& broker = startBroker();
  const std::string state = "spBv1.0/STATE/scada";
  const auto setState = [&](bool online, std::int64_t timestamp) {
    ASSERT_EQ(publishMessage(broker.port(), state,
                             R"({"online":)" + std::string(online ? "true" : "false") + R"(,"timestamp":)" +
                                 std::to_string(timestamp) + "}",
                             true),
              0);
  };
  setState(false, 1000);
  SparkplugSubscriber live(broker.port(), "spBv1.0/G/#");
  Child& gateway = startGateway(searchScript(12), {"--broker", at(broker), "--sparkplug", "G", "--edge-node",
                                                   "E", "--primary-host", "scada"});
  ASSERT_TRUE(
      waitForText([&] { return gateway.errorText(); }, "waiting for the primary host application", 25000));
  EXPECT_FALSE(live.waitFor([](const json& m) { return is(m, "NBIRTH"); }, 2000))
      << "born while the host is offline";
  // A stale message (older than the last) changes nothing; a malformed one neither.
  ASSERT_EQ(publishMessage(broker.port(), state, R"({"online":true,"timestamp":999})"), 0);
  ASSERT_EQ(publishMessage(broker.port(), state, R"({"online":"yes"})"), 0);
  EXPECT_FALSE(live.waitFor([](const json& m) { return is(m, "NBIRTH"); }, 1000));

  setState(true, 2000);
  const auto birth = live.waitFor([](const json& m) { return is(m, "NBIRTH"); }, 8000);
  ASSERT_TRUE(birth);
  const std::int64_t bdSeq = bdSeqOf(*birth);

  // 256 messages after the birth: seq has gone round once.
  ASSERT_TRUE(live.waitFor([&](const json& m) { return m["seq"] == 0 && !is(m, "NBIRTH"); }, 60000))
      << live.messages().size() << " messages";
  EXPECT_GE(checkSeq(live.messages()), 256);

  // The host goes offline: the node dies (bdSeq of its birth), comes back, and waits again.
  setState(false, 3000);
  const auto death = live.waitFor([](const json& m) { return is(m, "NDEATH"); }, 8000);
  ASSERT_TRUE(death);
  EXPECT_EQ(bdSeqOf(*death), bdSeq);
  ASSERT_TRUE(
      waitForText([&] { return gateway.errorText(); }, "waiting for the primary host application", 10000, 2));
  EXPECT_FALSE(live.waitFor([](const json& m) { return is(m, "NBIRTH"); }, 1500));
  setState(true, 4000);
  const auto again = live.waitFor([](const json& m) { return is(m, "NBIRTH"); }, 8000);
  ASSERT_TRUE(again);
  EXPECT_EQ(bdSeqOf(*again), (bdSeq + 1) % 256);
  gateway.terminate();
  EXPECT_EQ(gateway.wait(15000), 0);
}

// The link's statistics, as Sparkplug metrics and on the JSON link topic side by side: they count exactly
// the bad replies the simulator sent.
TEST_F(Sparkplug, LinkStatisticsCountWhatTheLineDidInBothFormats) {
  startSimulator("device 1 ORTA\n  raw 8192\n");
  Broker& broker = startBroker();
  SparkplugSubscriber live(broker.port(), "spBv1.0/G/#");
  Subscriber linkTopics(broker.port(), "j/+/link");
  Child& gateway = startGateway(searchScript(1), {"--broker", at(broker), "--sparkplug", "G", "--edge-node",
                                                  "E", "--json-too", "--prefix", "j"});
  const auto nbirth = live.waitFor([](const json& m) { return is(m, "NBIRTH"); }, 20000);
  ASSERT_TRUE(nbirth);
  auto node = byName(*nbirth);
  EXPECT_EQ(node["Port/Name"]["value"], pty());
  EXPECT_EQ(node["Port/State"]["value"], "open");
  EXPECT_EQ(node["Port/Reopened"]["datatype"], "UInt32");
  EXPECT_EQ(node["Cycle/Period"]["datatype"], "Double");
  EXPECT_FALSE(node["Module/Version"]["value"].get<std::string>().empty());
  const auto dbirth = live.waitFor([](const json& m) { return is(m, "DBIRTH", "Device1"); }, 10000);
  ASSERT_TRUE(dbirth);
  auto link = byName(*dbirth);
  EXPECT_EQ(link["Link/Bad CRC"]["datatype"], "UInt64");
  EXPECT_EQ(link["Link/Bad CRC"]["value"], 0);
  EXPECT_EQ(link["Link/Last Failure"]["value"], "none");
  EXPECT_TRUE(link["Link/Last Failure Time"]["is_null"].get<bool>());
  EXPECT_EQ(link["Link/Last Failure Time"]["datatype"], "DateTime");
  EXPECT_GT(link["Link/Median Exchange"]["value"], 0.0);
  const auto badCrcAlias = link["Link/Bad CRC"]["alias"];

  const auto badReplies = [&] {
    int n = 0;
    for (const auto& f : sim().trace()) n += !f.received && f.note == "bad CRC";
    return n;
  };
  ASSERT_EQ(sim().command("1 fault badcrc"), "ok");
  ASSERT_TRUE(waitForText([&] { return std::to_string(badReplies() >= 3); }, "1", 10000));
  ASSERT_EQ(sim().command("1 fault normal"), "ok");
  const int sent = badReplies();
  ASSERT_GE(sent, 3);

  const auto counted = live.waitFor(
      [&](const json& m) {
        if (!is(m, "DDATA", "Device1") && !is(m, "DBIRTH", "Device1")) return false;
        for (const auto& metric : m["metrics"])
          if (metric["alias"] == badCrcAlias && metric["value"] == sent) return true;
        return false;
      },
      15000);
  EXPECT_TRUE(counted) << sent << " bad replies";
  const auto published = linkTopics.waitFor(
      [&](const Message& m) { return nlohmann::json::parse(m.payload, nullptr, false)["badCrc"] == sent; },
      15000);
  ASSERT_TRUE(published) << sent << " bad replies";
  const auto j = nlohmann::json::parse(published->payload);
  EXPECT_EQ(j["lastFailure"], "bad crc") << j;
  EXPECT_EQ(published->topic, "j/Device1/link");
  EXPECT_GT(fileTimeOf(j["lastFailureTime"]), 0) << j;
  gateway.terminate();
  EXPECT_EQ(gateway.wait(15000), 0);
}

}  // namespace
}  // namespace duz::test
