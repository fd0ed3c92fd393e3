// The Sparkplug B edge node without a broker: what it publishes when, seq and aliases, and which
// commands it lets through.
#include <gtest/gtest.h>

#include <cstring>

#include "options.h"
#include "sparkplug.h"
#include "sparkplug_b.pb.h"

namespace duz::mqtt {
namespace {

using sparkplug::Payload;

// An alarm instrument (slot 0: an input and the three command bits) and a transducer (slot 3, two
// analog values and an integer).
struct Table {
  AnalogTagHandle analog[2]{};
  BitTagHandle bits[4]{};
  IntTagHandle ints[1]{};
  DeviceStatusRecord records[kSlots]{};
  std::string names[7] = {"Input 1",          "Reset",     "Cancellation of the signal system",
                          "Mode of blocking", "T/1.Value", "T/1.Limit",
                          "Device number"};
  Table() {
    for (int i = 0; i < 4; ++i) bits[i].name = names[i].data();
    analog[0].name = names[4].data();
    analog[1].name = names[5].data();
    ints[0].name = names[6].data();
    records[0] = {1, 0, nullptr, 4, bits, 0, nullptr, 0, "Alarm/1"};
    records[3] = {1, 2, analog, 0, nullptr, 1, ints, 0, "Device4"};
  }
};

constexpr std::uint64_t kFileTime2026 = 116444736000000000ull + 1796783463810ull * 10000;

Payload decode(const Outgoing& o) {
  Payload p;
  EXPECT_TRUE(p.ParseFromString(o.payload)) << o.topic;
  return p;
}

class SparkplugNodeTest : public ::testing::Test {
 protected:
  Table table;
  TagIndex index{table.records, "t"};
  SparkplugNode node{"G", "E", index};
  std::uint64_t now = 1'000'000;

  void put(const void* handle, int kind, double value, std::uint32_t quality = QualityGood) {
    node.update({handle, kind, value, quality, kFileTime2026 + now * 10000});
  }
  void putAll(double value, std::uint32_t quality = QualityGood) {
    for (auto& b : table.bits) put(&b, 1, value != 0, quality);
    put(&table.analog[0], 0, value, quality);
    put(&table.analog[1], 0, 1, quality);
    put(&table.ints[0], 2, 4, quality);
  }
  std::vector<Outgoing> step(bool alarm = true, bool transducer = true) {
    std::vector<Outgoing> out;
    now += 1000;
    node.step({alarm, transducer}, nullptr, now, out);
    return out;
  }
};

TEST_F(SparkplugNodeTest, BirthsCarryEveryTagTypedAndDataOnlyWhatChangedWithSeqWrapping) {
  putAll(1);
  EXPECT_TRUE(step().empty()) << "nothing before the NBIRTH";
  const Payload nbirth = decode(node.nbirth(7, nullptr, now));
  EXPECT_EQ(nbirth.seq(), 0u);
  ASSERT_EQ(nbirth.metrics_size(), 2);  // bdSeq and the rebirth control: the module gave no statistics
  EXPECT_EQ(nbirth.metrics(0).name(), "bdSeq");
  EXPECT_EQ(nbirth.metrics(0).long_value(), 7u);
  NodeStatus status;
  status.portState = "open";
  EXPECT_FALSE(node.ndata(status, now + 60000)) << "no data for metrics the birth did not define";

  // The devices came online before the birth with every tag published: born at once.
  auto out = step();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].topic, "spBv1.0/G/DBIRTH/E/Alarm_1");
  EXPECT_EQ(out[1].topic, "spBv1.0/G/DBIRTH/E/Device4");
  const Payload alarm = decode(out[0]);
  EXPECT_EQ(alarm.seq(), 1u);
  ASSERT_EQ(alarm.metrics_size(), 4);
  for (int i = 0; i < 4; ++i) {
    const auto& m = alarm.metrics(i);
    EXPECT_EQ(m.name(), table.names[i]);
    EXPECT_EQ(m.datatype(), sparkplug::Boolean);
    EXPECT_TRUE(m.boolean_value());
    EXPECT_EQ(m.timestamp(), 1796783463810u + 1'000'000) << "the publication's time";
    EXPECT_EQ(m.properties().keys(0), "Quality");
    EXPECT_EQ(m.properties().values(0).int_value(), 192u);
    EXPECT_EQ(m.properties().keys_size(), i == 0 ? 1 : 2) << "only the command bits are writable";
  }
  const Payload transducer = decode(out[1]);
  EXPECT_EQ(transducer.metrics(0).name(), "T/1.Value");
  EXPECT_EQ(transducer.metrics(0).datatype(), sparkplug::Double);
  EXPECT_EQ(transducer.metrics(2).datatype(), sparkplug::Int32);
  EXPECT_EQ(transducer.metrics(2).int_value(), 4u);

  // Timestamps alone are no change; a value or a quality is, sent by alias only.
  putAll(1);
  EXPECT_TRUE(step().empty());
  put(&table.analog[0], 0, 23.4f);
  put(&table.ints[0], 2, -3, QualitySensorFailure);
  out = step();
  ASSERT_EQ(out.size(), 1u);
  const Payload data = decode(out[0]);
  EXPECT_EQ(out[0].topic, "spBv1.0/G/DDATA/E/Device4");
  ASSERT_EQ(data.metrics_size(), 2);
  EXPECT_FALSE(data.metrics(0).has_name());
  EXPECT_EQ(data.metrics(0).alias(), transducer.metrics(0).alias());
  EXPECT_EQ(data.metrics(0).double_value(), 23.4);  // the float as published, not 23.399999618530273
  EXPECT_EQ(data.metrics(1).int_value(), static_cast<std::uint32_t>(-3));
  EXPECT_EQ(data.metrics(1).properties().values(0).int_value(), 16u);

  // seq counts every message of the node, 255 then 0.
  std::uint64_t last = data.seq();
  for (int i = 0; i < 300; ++i) {
    put(&table.analog[1], 0, i);
    out = step();
    ASSERT_EQ(out.size(), 1u);
    const auto seq = decode(out[0]).seq();
    EXPECT_EQ(seq, (last + 1) % 256);
    last = seq;
  }
  EXPECT_EQ(decode(node.nbirth(8, nullptr, now)).seq(), 0u);
}

TEST_F(SparkplugNodeTest, ALostDeviceDiesAndIsBornAgainOnlyWithFreshValues) {
  putAll(1);
  node.nbirth(0, nullptr, now);
  ASSERT_EQ(step().size(), 2u);
  putAll(0, QualityDeviceFailure);
  auto out = step(true, false);
  ASSERT_EQ(out.size(), 2u);  // the alarm's values changed; the transducer died
  EXPECT_EQ(out[1].topic, "spBv1.0/G/DDEATH/E/Device4");
  EXPECT_EQ(decode(out[1]).metrics_size(), 0);
  EXPECT_TRUE(step(true, false).empty());

  // Back online: the values published before are those of the lost device; the birth waits for new ones.
  EXPECT_TRUE(step().empty());
  put(&table.analog[0], 0, 5);
  EXPECT_TRUE(step().empty());
  put(&table.analog[1], 0, 1);
  put(&table.ints[0], 2, 4);
  out = step();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].topic, "spBv1.0/G/DBIRTH/E/Device4");
  const Payload birth = decode(out[0]);
  EXPECT_EQ(birth.metrics(0).double_value(), 5.0);
  EXPECT_EQ(birth.metrics(0).properties().values(0).int_value(), 192u);

  // A device that does not publish all of its tags again is born after 5 s all the same, with the
  // latest values it has.
  step(true, false);
  step();
  put(&table.analog[0], 0, 6);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(step().empty());
  out = step();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(decode(out[0]).metrics(0).double_value(), 6.0);
}

TEST_F(SparkplugNodeTest, LinkFiguresOnErrorsAtOnceAndOtherwiseEveryTenSeconds) {
  auto links = std::make_unique<DuzLinkStatistics>();
  putAll(1);
  node.nbirth(0, nullptr, now);
  std::vector<Outgoing> out;
  node.step({true, false}, links.get(), now += 1000, out);
  ASSERT_EQ(out.size(), 1u);
  const Payload birth = decode(out[0]);
  ASSERT_EQ(birth.metrics_size(), 4 + 9);
  EXPECT_EQ(birth.metrics(4).name(), "Link/Exchanges");
  EXPECT_EQ(birth.metrics(11).name(), "Link/Last Failure Time");
  EXPECT_TRUE(birth.metrics(11).is_null());
  EXPECT_EQ(birth.metrics(10).string_value(), "none");

  out.clear();
  links->devices[0].exchanges = 10;
  node.step({true, false}, links.get(), now += 1000, out);
  EXPECT_TRUE(out.empty()) << "exchanges alone wait for the ten seconds";
  links->devices[0].badCrc = 3;
  links->devices[0].lastFailure = DuzLinkFailureBadCrc;
  links->devices[0].lastFailureTime = kFileTime2026;
  node.step({true, false}, links.get(), now += 1000, out);
  ASSERT_EQ(out.size(), 1u);
  const Payload data = decode(out[0]);
  ASSERT_EQ(data.metrics_size(), 9);
  EXPECT_EQ(data.metrics(2).long_value(), 3u);
  EXPECT_EQ(data.metrics(6).string_value(), "bad crc");
  EXPECT_EQ(data.metrics(7).long_value(), 1796783463810u);
  out.clear();
  links->devices[0].exchanges = 20;
  node.step({true, false}, links.get(), now += 9000, out);
  EXPECT_TRUE(out.empty());
  node.step({true, false}, links.get(), now += 1000, out);
  EXPECT_EQ(out.size(), 1u);
}

// A confirmed write comes back as the instrument reads it afterwards, changed or not: a momentary
// Reset is false again, and a publication older than the confirmation does not count.
TEST_F(SparkplugNodeTest, AConfirmedWriteComesBackInTheNextDataAfterIt) {
  putAll(0);
  node.nbirth(1, nullptr, now);
  ASSERT_EQ(step().size(), 2u);
  const TagInfo& reset = index.tags()[1];
  ASSERT_EQ(reset.name, "Reset");
  node.writeConfirmed(reset, kFileTime2026 + (now + 500) * 10000);
  put(&table.bits[1], 1, 0);  // the poll that ran before the write ended
  EXPECT_TRUE(step().empty());
  put(&table.bits[1], 1, 0);  // the first poll after it
  auto out = step();
  ASSERT_EQ(out.size(), 1u);
  const Payload data = decode(out[0]);
  ASSERT_EQ(data.metrics_size(), 1);
  EXPECT_EQ(data.metrics(0).alias(), node.tagAlias(1));
  EXPECT_FALSE(data.metrics(0).boolean_value());
  put(&table.bits[1], 1, 0);
  EXPECT_TRUE(step().empty()) << "reported once";
}

TEST_F(SparkplugNodeTest, CommandsOnlyForTheCommandBitsAsBooleans) {
  const auto payload = [](std::initializer_list<std::function<void(Payload::Metric&)>> metrics) {
    Payload p;
    for (const auto& set : metrics) set(*p.add_metrics());
    return p.SerializeAsString();
  };
  std::vector<std::string> refusals;
  const auto writes = node.deviceCommand(
      "Alarm_1",
      payload({[](auto& m) {
                 m.set_name("Reset");
                 m.set_datatype(sparkplug::Boolean);
                 m.set_boolean_value(true);
               },
               [&](auto& m) {
                 m.set_alias(node.tagAlias(3));
                 m.set_boolean_value(false);
               },
               [](auto& m) {
                 m.set_name("Input 1");
                 m.set_boolean_value(true);
               },
               [](auto& m) {
                 m.set_name("Reset");
                 m.set_datatype(sparkplug::Int32);
                 m.set_int_value(1);
               },
               [](auto& m) { m.set_name("Reset"); },
               [&](auto& m) {
                 m.set_alias(node.tagAlias(4));  // the transducer's value, not this device's
                 m.set_boolean_value(true);
               }}),
      refusals);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].tag->name, "Reset");
  EXPECT_EQ(writes[0].value, 1u);
  EXPECT_EQ(writes[1].tag->name, "Mode of blocking");
  EXPECT_EQ(writes[1].value, 0u);
  EXPECT_EQ(refusals.size(), 4u);

  refusals.clear();
  EXPECT_TRUE(
      node.deviceCommand("Device4", payload({[](auto& m) { m.set_name("Reset"); }}), refusals).empty());
  EXPECT_TRUE(node.deviceCommand("Alarm/1", "", refusals).empty());
  EXPECT_TRUE(node.deviceCommand("Alarm_1", "\xff\xff\xff", refusals).empty());
  EXPECT_EQ(refusals.size(), 3u);
  std::string many;
  for (int i = 0; i < 1000; ++i)
    many += payload({[](auto& m) {
      m.set_name("Reset");
      m.set_boolean_value(true);
    }});
  refusals.clear();
  EXPECT_EQ(node.deviceCommand("Alarm_1", many, refusals).size(), 64u) << "a long list is cut short";
  EXPECT_EQ(refusals.size(), 1u);

  std::string why;
  EXPECT_TRUE(node.rebirthCommand(payload({[](auto& m) {
                                    m.set_name("Node Control/Rebirth");
                                    m.set_boolean_value(true);
                                  }}),
                                  why));
  EXPECT_FALSE(node.rebirthCommand(payload({[](auto& m) {
                                     m.set_alias(2);
                                     m.set_boolean_value(false);
                                   }}),
                                   why));
  EXPECT_FALSE(why.empty());
}

TEST(SparkplugParts, HostStateAndOptions) {
  EXPECT_EQ(parseHostState(R"({"online":true,"timestamp":1796783463810})")->timestamp, 1796783463810u);
  EXPECT_FALSE(parseHostState(R"({"online":false})")->online);
  for (const char* bad : {"", "true", R"({"online":1})", R"({"online":true,"timestamp":-1})",
                          R"({"online":true,"timestamp":"1"})", R"([{"online":true}])"})
    EXPECT_FALSE(parseHostState(bad)) << bad;

  const auto parse = [](std::vector<const char*> args, std::string& error) {
    args.insert(args.begin(), {"duzevod-mqtt", "--module", "m.so", "--broker", "b"});
    return parseOptions(static_cast<int>(args.size()), const_cast<char**>(args.data()), error);
  };
  std::string error;
  const auto o = parse({"--sparkplug", "Plant", "--primary-host", "scada", "--json-too"}, error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->sparkplugGroup, "Plant");
  EXPECT_TRUE(o->edgeNode.empty()) << "the host name, filled in later";
  EXPECT_EQ(parse({"--sparkplug", "G", "--edge-node", "line/1+"}, error)->edgeNode, "line_1_");
  for (const auto& bad : std::vector<std::vector<const char*>>{{"--sparkplug", "a/b"},
                                                               {"--sparkplug", ""},
                                                               {"--sparkplug", "G", "--primary-host", "#"},
                                                               {"--primary-host", "scada"},
                                                               {"--json-too"}}) {
    error.clear();
    EXPECT_FALSE(parse(bad, error)) << bad.front();
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace duz::mqtt
