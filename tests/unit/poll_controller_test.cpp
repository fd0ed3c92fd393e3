#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "poll_world.h"

namespace duz::test {
namespace {

// The 54 bytes of one module: six 8-byte channel texts, then six status bytes.
Bytes moduleSection(const std::string (&texts)[6], const std::uint8_t (&status)[6]) {
  Bytes out(54, 0);
  for (int k = 0; k < 6; ++k) {
    std::memcpy(out.data() + 8 * k, texts[k].data(), std::min<std::size_t>(8, texts[k].size()));
    out[48 + k] = status[k];
  }
  return out;
}

// A module whose channel k reads k + 10 (plus `base`), all good, no limits.
Bytes plainModule(int base) {
  std::string texts[6];
  for (int k = 0; k < 6; ++k) texts[k] = "   " + std::to_string(base + k + 10) + ".00";
  return moduleSection(texts, {0, 0, 0, 0, 0, 0});
}

// A block reply: the given sections at their block positions, other sections blank.
Bytes blockReply(std::uint8_t address, int modules, const std::vector<std::pair<int, Bytes>>& sections) {
  Bytes data(54 * modules, ' ');
  for (const auto& [position, bytes] : sections)
    std::copy(bytes.begin(), bytes.end(), data.begin() + 54 * position);
  return reply(address, 71, data);
}

TEST(PollController, ModulesInSlotsZeroAndFive) {
  PollWorld w;
  w.addController(3, {2, 0, 0, 0, 0, 1, 0, 0}, "1100");
  RegisterTags(w.module);
  w.port->responder = [](const Bytes& request) {
    if (request[2] == 0) return blockReply(3, 4, {{0, plainModule(0)}});
    return blockReply(3, 3, {{0, plainModule(100)}});
  };
  const auto log = w.cycle();
  const auto writes = w.port->writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], withCrc({3, 71, 0, 24}));
  EXPECT_EQ(writes[1], withCrc({3, 71, 30, 18}));

  const auto analog = only(log, 'a');
  ASSERT_EQ(analog.size(), 12u);
  EXPECT_EQ(analog[0].handle, w.analog(0, 0));
  EXPECT_EQ(analog[0].value, 10.0);
  EXPECT_EQ(analog[6].handle, w.analog(0, 6));
  EXPECT_EQ(analog[6].value, 110.0);
  EXPECT_EQ(analog[11].value, 115.0);
  EXPECT_EQ(only(log, 'b').size(), 24u);
  EXPECT_EQ(log.back().kind, 'i');
}

TEST(PollController, ModulesInSlotsZeroToFour) {
  PollWorld w;
  w.addController(1, {1, 1, 1, 1, 1, 0, 0, 0}, "5000");
  RegisterTags(w.module);
  w.port->responder = [](const Bytes& request) {
    if (request[2] == 0)
      return blockReply(
          1, 4, {{0, plainModule(0)}, {1, plainModule(10)}, {2, plainModule(20)}, {3, plainModule(30)}});
    // Only the first section belongs to a fitted module; the rest must not be read as one.
    return blockReply(1, 4, {{0, plainModule(40)}, {1, plainModule(900)}});
  };
  const auto log = w.cycle();
  const auto writes = w.port->writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1], withCrc({1, 71, 24, 24}));

  const auto analog = only(log, 'a');
  const auto bits = only(log, 'b');
  ASSERT_EQ(analog.size(), 30u);
  ASSERT_EQ(bits.size(), 60u);
  EXPECT_EQ(analog[24].handle, w.analog(0, 24));
  EXPECT_EQ(analog[24].value, 50.0);
  EXPECT_EQ(analog[29].handle, w.analog(0, 29));
  EXPECT_EQ(analog[29].value, 55.0);
  EXPECT_EQ(bits[48].handle, w.bit(0, 48));
  EXPECT_EQ(bits[59].handle, w.bit(0, 59));
}

TEST(PollController, SixthFittedModuleIsNeitherReadNorPublished) {
  PollWorld w;
  w.addController(1, {1, 1, 1, 1, 1, 0, 0, 1}, "6000");
  RegisterTags(w.module);
  w.port->responder = [](const Bytes&) { return blockReply(1, 4, {}); };
  const auto log = w.cycle();
  EXPECT_EQ(w.port->writes().size(), 2u);  // slots 0..3 and 4..7; slot 7 is not decoded
  EXPECT_EQ(only(log, 'a').size(), 30u);
  EXPECT_EQ(only(log, 'b').size(), 60u);
}

TEST(PollController, ChannelTextsAndStatusBytes) {
  PollWorld w;
  w.addController(1, {4, 0, 0, 0, 0, 0, 0, 0}, "0001");
  RegisterTags(w.module);
  const std::string texts[6] = {
      "   12.50",                    // spaces are zeros
      std::string("0012.5\0\0", 8),  // NUL: config error, its status cleared
      "  100.00",                    // bit 7 beats bit 6
      "-0007.25",                    // a sign in front is fine
      "  -3.25 ",                    // 00-3.25 is no number
      "  12.345",                    // the last position is not part of the number
  };
  const Bytes section = moduleSection(texts, {0x00, 0x81, 0xC3, 0x07, 0x01, 0x24});
  w.port->responder = [&](const Bytes&) { return blockReply(1, 4, {{0, section}}); };
  const auto log = w.cycle();
  const auto analog = only(log, 'a');
  const auto bits = only(log, 'b');
  ASSERT_EQ(analog.size(), 6u);
  ASSERT_EQ(bits.size(), 12u);

  const double values[6] = {12.5, 12.5, 100.0, -7.2, 0.0, 12.34};
  const std::uint32_t qualities[6] = {QualityGood, QualityConfigError, QualityDeviceFailure,
                                      QualityGood, QualityConfigError, QualitySensorNotAccurate};
  const int limit1[6] = {0, 0, 1, 0, 1, 0};
  const int limit2[6] = {0, 0, 0, 0, 0, 1};
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(analog[k].value, static_cast<double>(static_cast<float>(values[k]))) << k;
    EXPECT_EQ(analog[k].quality, qualities[k]) << k;
    EXPECT_EQ(bits[2 * k].value, limit1[k]) << k;
    EXPECT_EQ(bits[2 * k + 1].value, limit2[k]) << k;
    EXPECT_EQ(bits[2 * k].quality, QualityGood);
    EXPECT_EQ(bits[2 * k].timestamp, analog[k].timestamp);
  }
  // Each channel: its value, then its two limits.
  EXPECT_EQ(log[0].kind, 'a');
  EXPECT_EQ(log[1].handle, w.bit(0, 0));
  EXPECT_EQ(log[2].handle, w.bit(0, 1));
  EXPECT_EQ(log[3].handle, w.analog(0, 1));
}

TEST(PollController, SensorFailureQuality) {
  PollWorld w;
  w.addController(1, {1, 0, 0, 0, 0, 0, 0, 0}, "1000");
  RegisterTags(w.module);
  // A text that is no number keeps the fault its status byte names, with 0 as the value.
  const std::string texts[6] = {"    1.00", "  -3.25 ", "    3.00", "    4.00", "    5.00", "    6.00"};
  const Bytes section = moduleSection(texts, {0x40, 0x60, 0x10, 0x08, 0x06, 0x05});
  w.port->responder = [&](const Bytes&) { return blockReply(1, 4, {{0, section}}); };
  const auto log = w.cycle();
  const auto analog = only(log, 'a');
  const auto bits = only(log, 'b');
  EXPECT_EQ(analog[0].quality, QualitySensorFailure);
  EXPECT_EQ(analog[1].quality, QualitySensorFailure);
  EXPECT_EQ(analog[1].value, 0.0);
  EXPECT_EQ(analog[2].quality, QualityGood);  // bits 3 and 4 mean nothing
  EXPECT_EQ(analog[3].quality, QualityGood);
  EXPECT_EQ(bits[9].value, 1);   // 6: limit 2
  EXPECT_EQ(bits[10].value, 1);  // 5: limit 1
  EXPECT_EQ(bits[11].value, 0);
}

TEST(PollController, FailedBlockKeepsIndexesAndAnAnsweringBlockClearsTheCount) {
  PollWorld w;
  w.addController(2, {1, 0, 0, 0, 0, 1, 0, 0}, "2000");
  RegisterTags(w.module);
  w.port->responder = [](const Bytes& request) {
    if (request[2] == 0) return Bytes{};
    return blockReply(2, 3, {{0, plainModule(0)}});
  };
  for (int poll = 0; poll < 4; ++poll) {
    const auto log = w.cycle();
    const auto analog = only(log, 'a');
    ASSERT_EQ(analog.size(), 6u);
    EXPECT_EQ(analog[0].handle, w.analog(0, 6));
    EXPECT_EQ(analog[0].quality, QualityGood);
    EXPECT_EQ(only(log, 'b').front().handle, w.bit(0, 12));
    EXPECT_EQ(w.module.failedCycles[0], 0);
    EXPECT_EQ(readOnline(w.module.deviceStatusTable[0]), 1);
  }
}

TEST(PollController, ShortReplyFailsAndLostControllerPublishesAllTags) {
  PollWorld w;
  w.addController(2, {1, 1, 0, 0, 0, 0, 0, 0}, "2000");
  RegisterTags(w.module);
  // One module's worth of data for a four-slot block.
  w.port->responder = [](const Bytes&) { return blockReply(2, 1, {{0, plainModule(0)}}); };
  EXPECT_EQ(w.cycle().size(), 1u);
  EXPECT_EQ(w.module.failedExchanges[0], 1);
  w.cycle();
  const auto log = w.cycle();
  ASSERT_EQ(log.size(), 12u + 24u + 1u);
  EXPECT_EQ(log[0].handle, w.analog(0, 0));
  EXPECT_EQ(log[12].handle, w.bit(0, 0));
  for (int i = 0; i < 36; ++i) EXPECT_EQ(log[i].quality, QualityDeviceFailure);
  EXPECT_EQ(readOnline(w.module.deviceStatusTable[0]), 0);
}

TEST(PollController, NoFittedModuleMakesNoRequest) {
  PollWorld w;
  w.addController(5, {0, 0, 0, 0, 0, 0, 0, 0}, "0000");
  RegisterTags(w.module);
  const auto log = w.cycle();
  EXPECT_TRUE(w.port->writes().empty());
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].value, 5.0);
}

}  // namespace
}  // namespace duz::test
