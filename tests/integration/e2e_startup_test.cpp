// Start-up end to end: the operator's first search of a bus with one instrument of each model, the
// restore on the next start, and searches that find nothing.
#include <algorithm>
#include <filesystem>

#include "e2e_harness.h"

namespace duz::test {
namespace {

// What a controller input of tools/sim/sample.bus must read.
struct ControllerInput {
  float value;
  std::int64_t quality;
  int limit1, limit2;
};

// Every tag name of a snapshot, as "slot kind name", to compare whole configurations.
std::vector<std::string> allTagNames(const Json& snapshot) {
  std::vector<std::string> names;
  for (int slot = 0; slot < 31; ++slot) {
    const Device d = deviceOf(snapshot, slot);
    for (const auto& [kind, tags] :
         {std::pair{"a", &d.analog}, std::pair{"b", &d.bit}, std::pair{"i", &d.integer}})
      for (const Tag& t : *tags) names.push_back(std::to_string(slot) + " " + kind + " " + t.name);
  }
  return names;
}

void expectNoTags(const Json& snapshot) {
  for (int slot = 0; slot < 31; ++slot) {
    const Device d = deviceOf(snapshot, slot);
    EXPECT_TRUE(d.analog.empty() && d.bit.empty() && d.integer.empty()) << "slot " << slot;
    EXPECT_EQ(d.online, 1) << "slot " << slot;
  }
}

// The device number: the bus address, good, with the timestamp of the device's latest group.
void expectDeviceNumber(const Device& d, int address) {
  ASSERT_EQ(d.integer.size(), 1u);
  EXPECT_EQ(d.integer[0].name, "Device number");
  EXPECT_EQ(d.integer[0].value, address);
  EXPECT_EQ(d.integer[0].quality, kGood);
  // The number carries the device's last group timestamp, not one of its own. A snapshot may fall
  // inside the next poll of the device, so that group is not always the latest one seen.
  bool shared = false;
  for (const auto* tags : {&d.analog, &d.bit})
    for (const Tag& t : *tags) shared = shared || t.timestamp == d.integer[0].timestamp;
  EXPECT_TRUE(shared) << "address " << address;
}

void expectSingleChannel(const Device& d, const std::string& prefix, float value, int limit1, int limit2) {
  ASSERT_EQ(d.analog.size(), 1u) << prefix;
  ASSERT_EQ(d.bit.size(), 2u) << prefix;
  EXPECT_EQ(d.analog[0].name, prefix + ".Value");
  EXPECT_EQ(d.bit[0].name, prefix + ".Limit 1");
  EXPECT_EQ(d.bit[1].name, prefix + ".Limit 2");
  EXPECT_FLOAT_EQ(static_cast<float>(d.analog[0].value), value) << prefix;
  EXPECT_EQ(d.analog[0].quality, kGood) << prefix;
  EXPECT_EQ(d.bit[0].value, limit1) << prefix;
  EXPECT_EQ(d.bit[1].value, limit2) << prefix;
  for (const Tag& t : d.bit) {
    EXPECT_EQ(t.quality, kGood) << t.name;
    EXPECT_EQ(t.timestamp, d.analog[0].timestamp) << t.name;  // one group
  }
}

TEST_F(EndToEnd, FirstStartSearchesSavesTheFileNamesTheTagsAndPublishesEveryModel) {
  startSampleBus();
  const std::int64_t before = fileTimeNow();
  Host& host = runHost(searchScript(5), {"--seconds", "3"});
  const std::int64_t after = fileTimeNow();
  ASSERT_EQ(host.status(), 0);
  EXPECT_NE(host.err().find("-> search"), std::string::npos);
  EXPECT_TRUE(fileExists(configPath()));
  EXPECT_FALSE(fileExists(tempPath()));
  const auto last = host.lastSnapshot();
  ASSERT_TRUE(last);

  // Controller at 1: modules БРУН, ГЕЛТ, ЖАЛС in slots 1, 3 and 6 (variant 1101).
  const Device luma = deviceOf(*last, 0);
  EXPECT_EQ(luma.online, 1);
  ASSERT_EQ(luma.analog.size(), 18u);
  ASSERT_EQ(luma.bit.size(), 36u);
  const std::pair<int, const char*> modules[] = {{1, "BRUN"}, {3, "GELT"}, {6, "ZALS"}};
  const ControllerInput inputs[18] = {
      {23.5f, kGood, 0, 0},
      {24.1f, kGood, 1, 0},
      {0.0f, kConfigError, 0, 1},  // "  -3.20 " reads as 00-3.20: not a number
      {101.0f, kSensorNotAccurate, 0, 0},
      {0.0f, kSensorFailure, 0, 0},
      {7.75f, kDeviceFailure, 1, 0},  // status 0x83: bit 7 wins, limit state 3
      {512.0f, kGood, 0, 0},
      {12.5f, kGood, 0, 0},
      {0, kGood, 0, 0},
      {0, kGood, 0, 0},
      {0, kGood, 0, 0},
      {0, kGood, 0, 0},
      {1.25f, kGood, 0, 0},
      {0, kGood, 0, 0},
      {0, kGood, 0, 0},
      {0, kGood, 0, 0},
      {0, kGood, 0, 0},
      {0, kGood, 0, 0}};
  EXPECT_EQ(luma.analog[0].name, "LUMA-12 1101: Module 1 (BRUN).Input 1");
  EXPECT_EQ(luma.bit[35].name, "LUMA-12 1101: Module 6 (ZALS).Input 6: Limit 2");
  for (int a = 0; a < 18; ++a) {
    const std::string input = "LUMA-12 1101: Module " + std::to_string(modules[a / 6].first) + " (" +
                              modules[a / 6].second + ").Input " + std::to_string(a % 6 + 1);
    const Tag& value = luma.analog[a];
    EXPECT_EQ(value.name, input);
    EXPECT_FLOAT_EQ(static_cast<float>(value.value), inputs[a].value) << input;
    EXPECT_EQ(value.quality, inputs[a].quality) << input;
    EXPECT_GE(value.timestamp, before);
    EXPECT_LE(value.timestamp, after);
    for (int limit = 0; limit < 2; ++limit) {
      const Tag& bit = luma.bit[2 * a + limit];
      EXPECT_EQ(bit.name, input + ": Limit " + std::to_string(limit + 1));
      EXPECT_EQ(bit.value, limit ? inputs[a].limit2 : inputs[a].limit1) << bit.name;
      EXPECT_EQ(bit.quality, kGood) << bit.name;
      EXPECT_EQ(bit.timestamp, value.timestamp) << bit.name;  // a channel is one group
    }
  }
  expectDeviceNumber(luma, 1);

  // Alarm instrument at 2, variant 9852: inputs 0, 2, 4 and 9, coils 4 and 6, blocking mode off.
  const Device dek = deviceOf(*last, 1);
  EXPECT_EQ(dek.online, 1);
  EXPECT_TRUE(dek.analog.empty());
  ASSERT_EQ(dek.bit.size(), 17u);
  const char* const commands[] = {"Reset", "Cancellation of the signal system", "Mode of blocking"};
  const int inputBits[10] = {1, 0, 1, 0, 1, 0, 0, 0, 0, 1};
  const int outputBits[4] = {1, 0, 1, 0};
  for (int i = 0; i < 17; ++i) {
    const Tag& t = dek.bit[i];
    std::string name;
    int value = 0;
    if (i < 10) {
      name = "DEK-04 9852: Discrete inputs.Input " + std::to_string(i + 1);
      value = inputBits[i];
    } else if (i < 14) {
      name = "DEK-04 9852: Discrete outputs.Output " + std::to_string(i - 9);
      value = outputBits[i - 10];
    } else {
      name = commands[i - 14];
    }
    EXPECT_EQ(t.name, name);
    EXPECT_EQ(t.value, value) << name;
    EXPECT_EQ(t.quality, kGood) << name;
    EXPECT_GE(t.timestamp, before) << name;
  }
  expectDeviceNumber(dek, 2);

  // The transducers scale over their ranges, the current loop over 14 bits.
  const Device veks1 = deviceOf(*last, 2), veks2 = deviceOf(*last, 3), orta = deviceOf(*last, 4);
  expectSingleChannel(veks1, "VEKS-1: (-50 -- 200)", 75.0f, 0, 0);
  expectSingleChannel(veks2, "VEKS-2: (-50 -- 180)", 65.0f, 1, 0);
  expectSingleChannel(orta, "ORTA (4 -- 20 mA)", 50.0f, 0, 0);
  for (int slot = 2; slot < 5; ++slot) {
    const Device d = deviceOf(*last, slot);
    EXPECT_EQ(d.online, 1);
    expectDeviceNumber(d, slot + 1);
  }

  for (int slot = 5; slot < 31; ++slot) {
    const Device d = deviceOf(*last, slot);
    EXPECT_TRUE(d.analog.empty() && d.bit.empty() && d.integer.empty()) << "slot " << slot;
    EXPECT_EQ(d.online, 1);
  }
}

TEST_F(EndToEnd, SecondStartAnsweredNoRestoresWithoutSearchingAndPolls) {
  startSampleBus();
  Host& first = runHost(searchScript(5), {"--seconds", "0"});
  ASSERT_EQ(first.status(), 0);
  const auto named = first.lastSnapshot();
  ASSERT_TRUE(named);
  const std::string saved = readBytes(configPath());
  ASSERT_FALSE(saved.empty());
  const std::size_t searchFrames = sim().trace().size();

  Host& second = runHost("answer no", {"--seconds", "3"});
  ASSERT_EQ(second.status(), 0);
  const std::string err = second.err();
  EXPECT_NE(err.find("Желаете просмотреть или изменить существующую конфигурацию"), std::string::npos);
  EXPECT_NE(err.find("-> no"), std::string::npos);
  EXPECT_EQ(err.find("dialog ["), std::string::npos) << "no dialog after No";

  // No identification or parameter request: the configuration came from the file.
  const auto frames = sim().trace();
  int measurements = 0;
  for (std::size_t i = searchFrames; i < frames.size(); ++i) {
    if (!frames[i].received) continue;
    EXPECT_NE(frames[i].bytes.at(1), 0x11) << hexText(frames[i].bytes);
    EXPECT_NE(frames[i].bytes.at(1), 0x44) << hexText(frames[i].bytes);
    measurements += frames[i].bytes.at(1) == 0x47;
  }
  EXPECT_GE(measurements, 5);

  const auto last = second.lastSnapshot();
  ASSERT_TRUE(last);
  EXPECT_EQ(allTagNames(*last), allTagNames(*named));
  for (int slot = 0; slot < 5; ++slot) {
    const Device d = deviceOf(*last, slot);
    EXPECT_EQ(d.online, 1) << "slot " << slot;
    expectDeviceNumber(d, slot + 1);
  }
  expectSingleChannel(deviceOf(*last, 2), "VEKS-1: (-50 -- 200)", 75.0f, 0, 0);
  expectSingleChannel(deviceOf(*last, 4), "ORTA (4 -- 20 mA)", 50.0f, 0, 0);
  EXPECT_EQ(readBytes(configPath()), saved) << "a restored configuration is not written back";
}

const char kNoDeviceBox[] = "В ходе инициализации\\nни одного устройства не обнаружено.";

TEST_F(EndToEnd, SearchOverSilentAddressesWritesNoFile) {
  startSimulator("device 2 ORTA\n");  // nothing answers at address 1
  Host& host = runHost(searchScript(1), {"--seconds", "0"});
  ASSERT_EQ(host.status(), 0);
  EXPECT_NE(host.err().find(kNoDeviceBox), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(dir())) << "neither DUZEvod.sys nor its temporary copy";
  const auto last = host.lastSnapshot();
  ASSERT_TRUE(last);
  expectNoTags(*last);
  // A limit of 1 probes address 1 alone.
  const auto frames = sim().trace();
  EXPECT_FALSE(frames.empty());
  for (const TraceFrame& f : frames) EXPECT_EQ(hexText(f.bytes), "01 11 C0 2C");
}

TEST_F(EndToEnd, SearchThatFindsNothingLeavesTheStoredFileAsItWas) {
  startSimulator("device 1 ORTA\n  raw 8192\n");
  ASSERT_EQ(runHost(searchScript(1), {"--seconds", "0"}).status(), 0);
  const std::string saved = readBytes(configPath());
  ASSERT_FALSE(saved.empty());

  ASSERT_EQ(sim().command("1 fault silent"), "ok");
  Host& host = runHost("answer yes; " + searchScript(1), {"--seconds", "0"});
  ASSERT_EQ(host.status(), 0);
  EXPECT_NE(host.err().find(kNoDeviceBox), std::string::npos);
  EXPECT_EQ(readBytes(configPath()), saved);
  EXPECT_FALSE(fileExists(tempPath()));
  const auto last = host.lastSnapshot();
  ASSERT_TRUE(last);
  expectNoTags(*last);
}

TEST_F(EndToEnd, PortHeldByAnotherHostIsReportedAndLeftToIt) {
  startSimulator("device 1 DEK-04\n");
  ASSERT_EQ(runHost(searchScript(1), {"--seconds", "0"}).status(), 0);
  Host& owner = startHost("answer no", {"--seconds", "30", "--interval", "100"});
  ASSERT_TRUE(owner.waitFor([](const Json& s) { return deviceOf(s, 0).bit.at(0).timestamp != 0; }, 5000));

  // Retry returns to the dialog; Cancel on both questions completes the load on no port at all.
  Host& second = runHost("answer no; answer retry; dialog exit; answer cancel; answer cancel",
                         {"--seconds", "0", "--write", "0:16=1@0"});
  EXPECT_EQ(second.status(), 0);
  const std::string err = second.err();
  const std::string openError = "box \"Ошибка открытия COM-порта\": Ошибка открытия порта " + pty();
  const auto retry = err.find(openError);
  ASSERT_NE(retry, std::string::npos) << err;
  EXPECT_NE(err.find("-> retry", retry), std::string::npos);
  const auto dialog = err.find("dialog [", retry);
  ASSERT_NE(dialog, std::string::npos) << "Retry shows the dialog";
  EXPECT_NE(err.find(openError, dialog), std::string::npos) << "the port is tried again after the dialog";
  EXPECT_NE(err.find("box \"Ошибка настройки параметров COM-порта\"", dialog), std::string::npos);
  const auto writes = second.writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(integerOf(writes[0].at("result")), 0) << "no line to write on";

  // The first host polls on, undisturbed.
  const auto later = owner.waitFor([](const Json&) { return true; }, 2000);
  ASSERT_TRUE(later);
  EXPECT_EQ(deviceOf(*later, 0).online, 1);
  owner.interrupt();
  EXPECT_EQ(owner.finish(5000), 0);
  for (const TraceFrame& f : sim().trace()) EXPECT_EQ(f.note, "") << hexText(f.bytes);
}

}  // namespace
}  // namespace duz::test
