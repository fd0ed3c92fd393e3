#include <gtest/gtest.h>

#include "poll_world.h"

namespace duz::test {
namespace {

// An instrument at address 1 whose three replies the test sets.
struct AlarmWorld : PollWorld {
  Bytes inputs{0, 0, 0, 0};
  Bytes coils{0, 0};
  Bytes blocking{0};
  explicit AlarmWorld(const char* variant) {
    addAlarm(1, variant);
    RegisterTags(module);
    port->responder = [this](const Bytes& request) {
      if (request[1] == 2) return reply(1, 2, inputs);
      if (request[3] == 0xF0) return reply(1, 1, blocking);
      return reply(1, 1, coils);
    };
  }
};

TEST(PollAlarmInstrument, FirstVariantInputsOutputsAndCommands) {
  AlarmWorld w("9852");
  w.inputs = {0xA5, 0x02, 0xFF, 0xFF};  // inputs 0, 2, 5, 7, 9; beyond input 9 nothing is published
  w.coils = {0xA0, 0x0F};               // outputs are bits 12..15: the high nibble of the first byte
  const auto log = w.cycle();

  const auto writes = w.port->writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0], withCrc({1, 2, 0x00, 0x00, 0x00, 0x20}));
  EXPECT_EQ(writes[1], withCrc({1, 1, 0x00, 0x00, 0x00, 0x10}));
  EXPECT_EQ(writes[2], (Bytes{1, 1, 0x00, 0xF0, 0x00, 0x01, 0xFD, 0xF9}));

  const auto bits = only(log, 'b');
  ASSERT_EQ(bits.size(), 17u);
  const int expected[17] = {
      1, 0, 1, 0, 0, 1, 0, 1, 0, 1, /* outputs */ 0, 1, 0, 1, /* reset, cancellation, blocking */ 0, 0, 1};
  const int order[17] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 16, 15, 14};
  for (int i = 0; i < 17; ++i) {
    EXPECT_EQ(bits[i].handle, w.bit(0, order[i])) << i;
    EXPECT_EQ(bits[i].value, expected[order[i]]) << i;
    EXPECT_EQ(bits[i].quality, QualityGood);
  }
  EXPECT_TRUE(only(log, 'a').empty());
  EXPECT_EQ(readOnline(w.module.deviceStatusTable[0]), 1);
}

TEST(PollAlarmInstrument, BlockingIsTheInverseOfCoil240) {
  AlarmWorld w("9852");
  w.blocking = {1};
  auto bits = only(w.cycle(), 'b');
  EXPECT_EQ(bits[14].handle, w.bit(0, 16));
  EXPECT_EQ(bits[14].value, 0);

  // Another data byte says nothing about blocking; the two commands still read back as 0.
  w.blocking = {2};
  bits = only(w.cycle(), 'b');
  ASSERT_EQ(bits.size(), 16u);
  EXPECT_EQ(bits[14].handle, w.bit(0, 15));
  EXPECT_EQ(bits[15].handle, w.bit(0, 14));
}

TEST(PollAlarmInstrument, ThirtyTwoInputsUseTheWholeWord) {
  AlarmWorld w("6837");  // 24 + 8 inputs, 8 outputs at bits 12..15, 4..7
  w.inputs = {0x00, 0x00, 0x00, 0x80};
  w.coils = {0x00, 0x10};  // bit 4 of the word: output 4
  const auto bits = only(w.cycle(), 'b');
  EXPECT_EQ(bits[31].value, 1);
  for (int i = 0; i < 31; ++i) EXPECT_EQ(bits[i].value, 0) << i;
  EXPECT_EQ(bits[32 + 4].value, 1);
  EXPECT_EQ(bits[32 + 5].value, 0);
}

TEST(PollAlarmInstrument, UnknownVariantIsNotRead) {
  AlarmWorld w("0000");
  const auto log = w.cycle();
  EXPECT_TRUE(w.port->writes().empty());
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].kind, 'i');
}

TEST(PollAlarmInstrument, ShortOrMissingReplyEndsThePoll) {
  AlarmWorld w("9852");
  w.inputs = {0xFF, 0xFF};  // two of the four data bytes
  auto log = w.cycle();
  EXPECT_EQ(w.port->writes().size(), 1u);
  EXPECT_EQ(log.size(), 1u);
  EXPECT_EQ(w.module.failedExchanges[0], 1);

  // A failure in the second request: the inputs are out, the rest is not asked.
  w.inputs = {0x01, 0, 0, 0};
  w.coils = {};
  log = w.cycle();
  EXPECT_EQ(w.port->writes().size(), 3u);
  EXPECT_EQ(only(log, 'b').size(), 10u);
  EXPECT_EQ(w.module.failedExchanges[0], 1);
  EXPECT_EQ(w.module.failedCycles[0], 1);
}

TEST(PollAlarmInstrument, LostInstrumentPublishesEveryBit) {
  AlarmWorld w("9852");
  w.port->responder = [](const Bytes&) { return Bytes{}; };
  w.cycle();
  w.cycle();
  const auto log = w.cycle();
  ASSERT_EQ(log.size(), 18u);
  for (int i = 0; i < 17; ++i) {
    EXPECT_EQ(log[i].handle, w.bit(0, i));
    EXPECT_EQ(log[i].quality, QualityDeviceFailure);
  }
}

}  // namespace
}  // namespace duz::test
