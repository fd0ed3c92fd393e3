// The gateway's parts that need no broker: payload texts, the command line, the latest-state store and
// the tag index over a status table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "options.h"
#include "payload.h"
#include "tag_index.h"
#include "tag_store.h"

namespace duz::mqtt {
namespace {

constexpr std::uint64_t kUnixEpoch = 116444736000000000ull;

TEST(MqttPayload, TimestampsAreUtcWithMillisecondsFromTheFiletime) {
  EXPECT_EQ(utcText(0), "1601-01-01T00:00:00.000Z");
  EXPECT_EQ(utcText(kUnixEpoch), "1970-01-01T00:00:00.000Z");
  // 2024-02-29 (a leap day) 10:05:01.204, plus 0.9999 ms that do not make a millisecond
  const std::uint64_t leapDay = kUnixEpoch + 1709164800ull * 10'000'000;
  EXPECT_EQ(utcText(leapDay + ((10 * 60 + 5) * 60 + 1) * 10'000'000ull + 2'049'999),
            "2024-02-29T10:05:01.204Z");
  EXPECT_EQ(utcText(leapDay - 1), "2024-02-28T23:59:59.999Z");
}

TEST(MqttPayload, TagPayloadsCarryTheValueAsPublishedAndTheQualityCode) {
  EXPECT_EQ(tagPayload(TagKind::Analog, 23.4f, 0x800000C0, kUnixEpoch),
            R"({"value":23.4,"quality":192,"quality_text":"good","timestamp":"1970-01-01T00:00:00.000Z"})");
  EXPECT_EQ(tagPayload(TagKind::Analog, -0.61f, 0x80000050, 0).substr(0, 55),
            R"({"value":-0.61,"quality":80,"quality_text":"not accurat)");
  EXPECT_NE(tagPayload(TagKind::Analog, std::nan(""), 0x80000004, 0).find(R"("value":null)"),
            std::string::npos);
  EXPECT_NE(tagPayload(TagKind::Bit, 5, 0x8000000C, 0)
                .find(R"("value":1,"quality":12,"quality_text":"device failure")"),
            std::string::npos);
  EXPECT_NE(tagPayload(TagKind::Integer, -7, 0x80000010, 0)
                .find(R"("value":-7,"quality":16,"quality_text":"sensor failure")"),
            std::string::npos);
  EXPECT_EQ(qualityText(0x04), "configuration error");
  EXPECT_EQ(qualityText(0x44), "uncertain");  // codes the module does not use, by their class
  EXPECT_EQ(qualityText(0x18), "bad");
}

TEST(MqttPayload, CommandsAndTopicLevels) {
  EXPECT_EQ(commandValue(" 1\n"), 1u);
  EXPECT_EQ(commandValue("true"), 1u);
  EXPECT_EQ(commandValue("false"), 0u);
  EXPECT_EQ(commandValue("0"), 0u);
  for (const char* bad : {"", " ", "2", "TRUE", "on", "1 1", "01"}) EXPECT_FALSE(commandValue(bad)) << bad;
  EXPECT_EQ(resultPayload(1, "done"), R"({"value":1,"result":"done"})");
  EXPECT_EQ(resultPayload(std::nullopt, "refused", "why"),
            R"({"value":null,"result":"refused","reason":"why"})");
  EXPECT_EQ(topicLevel("a/b+c#d (4 -- 20 mA).Value"), "a_b_c_d (4 -- 20 mA).Value");
}

std::optional<Options> parse(std::vector<const char*> args, std::string& error) {
  args.insert(args.begin(), "duzevod-mqtt");
  return parseOptions(static_cast<int>(args.size()), const_cast<char**>(args.data()), error);
}

TEST(MqttOptions, DefaultsAndEveryMistakeSaid) {
  std::string error;
  auto o = parse({"--module", "m.so", "--broker", "gw.local"}, error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->port, 1883);
  EXPECT_EQ(o->qos, 1);
  EXPECT_FALSE(o->allowWrites);
  o = parse({"--module=m.so", "--broker", "[::1]", "--tls-ca", "ca.crt", "--prefix", "plant/line1/"}, error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->host, "::1");
  EXPECT_EQ(o->port, 8883);
  EXPECT_EQ(o->prefix, "plant/line1");
  o = parse(
      {"--module", "m.so", "--broker", "10.0.0.2:1884", "--qos", "2", "--allow-writes", "--republish", "60"},
      error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->port, 1884);
  EXPECT_TRUE(o->allowWrites);
  EXPECT_EQ(o->republishSeconds, 60);

  for (const auto& bad : std::vector<std::vector<const char*>>{
           {"--broker", "b"},
           {"--module", "m.so"},
           {"--module", "m.so", "--broker", "b:0"},
           {"--module", "m.so", "--broker", "b:x"},
           {"--module", "m.so", "--broker", "b", "--qos", "3"},
           {"--module", "m.so", "--broker", "b", "--prefix", "a/#"},
           {"--module", "m.so", "--broker", "b", "--password-file", "p"},
           {"--module", "m.so", "--broker", "b", "--tls-ca", "c", "--tls-cert", "x"},
           {"--module", "m.so", "--broker", "b", "--tls-cert", "x", "--tls-key", "y"},
           {"--module", "m.so", "--broker", "b", "--republish", "0"},
           {"--module", "m.so", "--broker", "b", "--password", "secret"},
           {"--module", "m.so", "--broker"},
       }) {
    error.clear();
    EXPECT_FALSE(parse(bad, error)) << bad.back();
    EXPECT_FALSE(error.empty());
  }
}

TEST(MqttTagStore, KeepsTheLatestOfEachTagWithinItsCapacityAndWakesOncePerBatch) {
  int wakes = 0;
  TagStore store(2, [&] { ++wakes; });
  int a, b, c;
  store.put({&a, 0, 1.0, 0xC0, 10});
  store.put({&a, 0, 2.0, 0xC0, 11});  // overwrites, still one change to send
  store.put({&b, 1, 1.0, 0xC0, 11});
  store.put({&c, 1, 1.0, 0xC0, 11});  // no room
  EXPECT_EQ(wakes, 1);
  EXPECT_EQ(store.dropped(), 1u);
  auto first = store.takeChanged(1);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].handle, &a);
  EXPECT_EQ(first[0].value, 2.0);
  EXPECT_EQ(store.takeChanged(10).size(), 1u);
  store.put({&b, 1, 1.0, 0xC0, 11});  // the same again: nothing to send
  EXPECT_TRUE(store.takeChanged(10).empty());
  store.put({&b, 1, 1.0, 0xC0, 12});  // a new timestamp is a change
  EXPECT_EQ(wakes, 2);
  EXPECT_EQ(store.takeChanged(10).size(), 1u);
  store.markAllChanged();
  EXPECT_EQ(store.takeChanged(10).size(), 2u);
}

TEST(MqttTagIndex, TopicsPerDeviceAndOnlyTheAlarmInstrumentsLastThreeBitsAreCommands) {
  static AnalogTagHandle analog[kSlots][kTagsPerKind];
  static BitTagHandle bit[kSlots][kTagsPerKind];
  static IntTagHandle integer[kSlots][kTagsPerKind];
  static DeviceStatusRecord table[kSlots];
  std::vector<std::string> names = {
      "In/put 1", "Reset", "Cancellation of the signal system", "Mode of blocking", "Device number",
      "Ch 1",     "Ch 1"};
  for (int s = 0; s < kSlots; ++s) {
    table[s] = {};
    table[s].online = 1;
    table[s].analogTags = analog[s];
    table[s].bitTags = bit[s];
    table[s].intTags = integer[s];
    std::snprintf(table[s].deviceName, sizeof table[s].deviceName, "Device%d", s + 1);
  }
  for (int i = 0; i < 4; ++i) bit[2][i].name = names[i].data();
  integer[2][0].name = names[4].data();
  table[2].bitCount = 4;
  table[2].intCount = 1;
  analog[4][0].name = names[5].data();
  analog[4][1].name = names[6].data();
  bit[4][0].name = names[1].data();  // a "Reset" that is not among the last three bits
  table[4].analogCount = 2;
  table[4].bitCount = 4;

  const TagIndex index(&table[0], "p");
  ASSERT_EQ(index.devices().size(), 2u);
  EXPECT_EQ(index.devices()[0].topic, "p/Device3");
  EXPECT_EQ(index.devices()[0].online, &table[2].online);
  const TagInfo* input = index.byHandle(&bit[2][0]);
  ASSERT_TRUE(input);
  EXPECT_EQ(input->topic, "p/Device3/In_put 1");
  EXPECT_FALSE(input->command);
  for (int i = 1; i < 4; ++i) {
    ASSERT_TRUE(index.byHandle(&bit[2][i]));
    EXPECT_TRUE(index.byHandle(&bit[2][i])->command);
    EXPECT_EQ(index.byHandle(&bit[2][i])->identifier(), (2u << 16) | static_cast<unsigned>(i));
  }
  EXPECT_EQ(index.byTopic("p/Device3/Mode of blocking"), index.byHandle(&bit[2][3]));
  EXPECT_FALSE(index.byHandle(&bit[4][0])->command);
  EXPECT_EQ(index.byHandle(&bit[4][1])->topic, "p/Device5/Bit 1");  // a tag without a name
  // Two tags of one device with one name: the second is left out, and said.
  EXPECT_FALSE(index.byHandle(&analog[4][1]));
  EXPECT_EQ(index.clashes(), std::vector<std::string>{"p/Device5/Ch 1"});
}

}  // namespace
}  // namespace duz::mqtt
