#include <gtest/gtest.h>

#include "poll/read_procedures.h"
#include "poll_world.h"

namespace duz::test {
namespace {

// One instrument at address 1 answering `raw` and `status`.
struct TransducerWorld : PollWorld {
  std::int16_t raw = 0;
  std::uint8_t status = 0;
  TransducerWorld() {
    port->responder = [this](const Bytes& request) {
      if (request != withCrc({1, 71, 0, 1})) return Bytes{};
      const auto r = static_cast<std::uint16_t>(raw);
      return reply(1, 71, {static_cast<std::uint8_t>(r >> 8), static_cast<std::uint8_t>(r & 0xFF), status});
    };
  }
  float value(std::int16_t rawValue) {
    raw = rawValue;
    const auto log = cycle();
    EXPECT_EQ(log.size(), 4u);
    return log.empty() ? -9999.0f : static_cast<float>(log[0].value);
  }
};

TEST(PollTransducer, ScalesOverTheConfiguredRangeToOneDecimal) {
  TransducerWorld w;
  w.addTransducer(kModelResistance.view(), 1, "-50", "180");
  RegisterTags(w.module);
  EXPECT_EQ(w.value(0), -50.0f);
  EXPECT_EQ(w.value(8192), 180.0f);
  EXPECT_EQ(w.value(4096), 65.0f);
  EXPECT_EQ(w.value(1), -50.0f);  // -49.97
  EXPECT_EQ(w.value(-8192), -280.0f);
}

TEST(PollTransducer, CurrentLoopInPercentToTwoDecimals) {
  TransducerWorld w;
  w.add(kModelCurrentLoop.view(), 1);
  RegisterTags(w.module);
  EXPECT_EQ(w.value(8192), 50.0f);
  EXPECT_EQ(w.value(16383), 100.0f);
  EXPECT_EQ(w.value(100), 0.61f);
  EXPECT_EQ(w.value(-1), -0.01f);
  EXPECT_EQ(w.value(32767), 200.01f);
}

TEST(PollTransducer, LimitBitsAndPublicationOrder) {
  TransducerWorld w;
  w.addTransducer(kModelThermocouple.view(), 1, "0", "1300");
  RegisterTags(w.module);
  w.status = 0x03;
  auto log = w.cycle();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].handle, w.analog(0, 0));
  EXPECT_EQ(log[1].handle, w.bit(0, 1));  // limit 2 first
  EXPECT_EQ(log[1].value, 1);
  EXPECT_EQ(log[2].handle, w.bit(0, 0));
  EXPECT_EQ(log[2].value, 1);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(log[i].quality, QualityGood);
    EXPECT_EQ(log[i].timestamp, log[0].timestamp);
  }
  w.status = 0x02;  // limit 1 only
  log = w.cycle();
  EXPECT_EQ(log[1].value, 0);
  EXPECT_EQ(log[2].value, 1);
}

TEST(PollTransducer, ShortReplyIsAFailure) {
  PollWorld w;
  w.add(kModelCurrentLoop.view(), 1);
  RegisterTags(w.module);
  w.port->responder = [](const Bytes&) { return reply(1, 71, {0x20, 0x00}); };
  EXPECT_EQ(w.cycle().size(), 1u);
  EXPECT_EQ(w.module.failedExchanges[0], 1);
  EXPECT_EQ(w.module.failedCycles[0], 1);
}

TEST(DecimalText, WholeTextMustBeAFiniteNumber) {
  EXPECT_EQ(ParseDecimal("00012.5"), 12.5f);
  EXPECT_EQ(ParseDecimal("-0003.2"), -3.2f);
  EXPECT_EQ(ParseDecimal("+001.50"), 1.5f);
  EXPECT_FALSE(ParseDecimal("00-3.25"));
  EXPECT_FALSE(ParseDecimal("0012,50"));
  EXPECT_FALSE(ParseDecimal(""));
  EXPECT_FALSE(ParseDecimal("0000inf"));
  EXPECT_FALSE(ParseDecimal("1e39"));  // beyond a float
  EXPECT_EQ(RoundThroughText(-49.97f, 1), -50.0f);
  EXPECT_EQ(RoundThroughText(0.6103888f, 2), 0.61f);
}

}  // namespace
}  // namespace duz::test
