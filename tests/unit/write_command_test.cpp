#include <gtest/gtest.h>

#include "poll_world.h"

namespace duz::test {
namespace {

constexpr std::uint32_t id(std::uint32_t slot, std::uint32_t bit) {
  return slot << 16 | bit;
}

// Slot 0 a controller, slot 1 a transducer, slot 2 an alarm instrument with 17 bit tags (address 1),
// slot 3 an alarm instrument whose variant is unknown (3 bit tags, address 9). Every write is echoed.
struct WriteWorld : PollWorld {
  WriteWorld() {
    addController(4, {1, 0, 0, 0, 0, 0, 0, 0}, "1000");
    addTransducer(kModelThermocouple.view(), 5, "0", "100");
    addAlarm(1, "9852");
    addAlarm(9, "0000");
    RegisterTags(module);
    port->responder = [](const Bytes& request) { return request; };
  }
  std::uint8_t stored(int slot, int bit) { return module.bitHandles.at(slot, bit).value; }
};

TEST(SetBitTagValue, CommandFramesAndStoredValues) {
  WriteWorld w;
  w.module.bitHandles.at(2, 14).value = 1;
  w.module.bitHandles.at(2, 15).value = 1;

  EXPECT_EQ(w.module.SetBitTagValue(id(2, 16), 0), 1);
  EXPECT_EQ(w.stored(2, 16), 0);
  EXPECT_EQ(w.module.SetBitTagValue(id(2, 16), 1), 1);
  EXPECT_EQ(w.stored(2, 16), 1);
  EXPECT_EQ(w.module.SetBitTagValue(id(2, 14), 1), 1);  // reset: momentary
  EXPECT_EQ(w.stored(2, 14), 0);
  EXPECT_EQ(w.module.SetBitTagValue(id(2, 15), 1), 1);  // cancellation: momentary
  EXPECT_EQ(w.stored(2, 15), 0);
  const auto writes = w.port->writes();
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[0], (Bytes{0x01, 0x05, 0x00, 0xF0, 0xFF, 0x00, 0x8C, 0x09}));
  EXPECT_EQ(writes[1], (Bytes{0x01, 0x05, 0x00, 0xF0, 0x00, 0x00, 0xCD, 0xF9}));
  EXPECT_EQ(writes[2], (Bytes{0x01, 0x05, 0x00, 0x01, 0xFF, 0x00, 0xDD, 0xFA}));
  EXPECT_EQ(writes[3], (Bytes{0x01, 0x05, 0x00, 0x00, 0xFF, 0x00, 0x8C, 0x3A}));
  EXPECT_TRUE(w.world.host.take().empty());  // the next poll publishes what the device says
}

TEST(SetBitTagValue, AnyNonZeroLowByteSetsAndTheHighBytesDoNotCount) {
  WriteWorld w;
  EXPECT_EQ(w.module.SetBitTagValue(id(2, 16), 7), 1);
  EXPECT_EQ(w.stored(2, 16), 1);
  EXPECT_EQ(w.module.SetBitTagValue(id(2, 14), 0x100), 1);  // low byte 0: reset off
  EXPECT_EQ(w.module.SetBitTagValue(id(2, 16), 0x200), 1);  // low byte 0: blocking off, coil on
  EXPECT_EQ(w.stored(2, 16), 0);
  const auto writes = w.port->writes();
  EXPECT_EQ(writes[0][4], 0x00);
  EXPECT_EQ(writes[1], withCrc({0x01, 0x05, 0x00, 0x01, 0x00, 0x00}));
  EXPECT_EQ(writes[2][4], 0xFF);
}

TEST(SetBitTagValue, RefusalsMakeNoTraffic) {
  WriteWorld w;
  EXPECT_EQ(w.module.SetBitTagValue(id(2, 13), 1), 0);  // an output
  EXPECT_EQ(w.module.SetBitTagValue(id(2, 17), 1), 0);  // beyond the tags
  EXPECT_EQ(w.module.SetBitTagValue(id(2, 0xFFFF), 1), 0);
  EXPECT_EQ(w.module.SetBitTagValue(id(0, 1), 1), 0);  // controller
  EXPECT_EQ(w.module.SetBitTagValue(id(1, 1), 1), 0);  // transducer
  EXPECT_EQ(w.module.SetBitTagValue(id(4, 0), 1), 0);  // unconfigured
  EXPECT_EQ(w.module.SetBitTagValue(id(31, 16), 1), 0);
  EXPECT_EQ(w.module.SetBitTagValue(0xFFFF0010u, 1), 0);
  EXPECT_TRUE(w.port->writes().empty());
  EXPECT_TRUE(w.world.clock.sleeps().empty());

  // An instrument of unknown variant still has its three commands.
  EXPECT_EQ(w.module.SetBitTagValue(id(3, 0), 1), 1);
  EXPECT_EQ(w.port->writes().at(0), withCrc({9, 5, 0x00, 0x01, 0xFF, 0x00}));
}

TEST(SetBitTagValue, UnconfirmedWriteStoresNothing) {
  WriteWorld w;
  w.module.bitHandles.at(2, 16).value = 1;
  w.port->responder = [](const Bytes&) { return Bytes{}; };
  EXPECT_EQ(w.module.SetBitTagValue(id(2, 16), 0), 0);
  EXPECT_EQ(w.stored(2, 16), 1);
  EXPECT_EQ(w.world.clock.sleeps(), (std::vector<std::uint32_t>{10, 500}));  // one attempt while polling

  // An exception reply is no confirmation either.
  w.port->responder = [](const Bytes&) { return withCrc({1, 0x85, 0x02}); };
  EXPECT_EQ(w.module.SetBitTagValue(id(2, 16), 0), 0);
  EXPECT_EQ(w.stored(2, 16), 1);
}

TEST(SetBitTagValue, WaitsWhileThePollingThreadHoldsTheBus) {
  WriteWorld w;
  w.module.link.busBusy = 1;
  int sleeps = 0;
  w.world.clock.onSleep = [&](std::uint64_t) {
    if (++sleeps == 3) w.module.link.busBusy = 0;
  };
  w.port->responder = [&](const Bytes& request) {
    EXPECT_EQ(w.module.link.busBusy.load(), 0);
    return request;
  };
  EXPECT_EQ(w.module.SetBitTagValue(id(2, 15), 1), 1);
  EXPECT_EQ(w.world.clock.sleeps(), (std::vector<std::uint32_t>{10, 10, 10}));
}

}  // namespace
}  // namespace duz::test
