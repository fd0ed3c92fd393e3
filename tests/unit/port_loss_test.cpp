// A port the system takes away while the module polls: closed at once, opened again at most once a
// cycle with the start-up's settings, devices lost meanwhile and back at their first answer.
#include <gtest/gtest.h>

#include <string>

#include "link/trace.h"
#include "poll_world.h"
#include "startup/port_setup.h"

namespace duz::test {
namespace {

class RecordingTrace : public TraceSink {
 public:
  void append(std::string_view lines) override {
    std::lock_guard lock(mutex);
    text += lines;
  }
  std::mutex mutex;
  std::string text;
};

// Two current-loop modules at addresses 1 and 2 on COM4, set up by the start-up's OpenPort.
class PortLoss : public ::testing::Test {
 protected:
  PortLoss() {
    m.GiveString("baud=19200 parity=E data=8 stop=1", "COM4", "2", "Abort");
    m.link.setTrace(&trace);
    w.world.ports.responder = [](const Bytes& request) {
      return request[1] == 71 ? reply(request[0], 71, {0x20, 0x00, 0x00}) : Bytes{};
    };
    EXPECT_EQ(OpenPort(m), PortResult::Proceed);
    w.world.ports.opened.clear();
    w.add(kModelCurrentLoop.view(), 1);
    w.add(kModelCurrentLoop.view(), 2);
    RegisterTags(m);
  }

  FakeSerialPort& port() { return *w.world.ports.last; }
  int opens() const { return static_cast<int>(w.world.ports.opened.size()); }

  PollWorld w;
  Module& m = w.module;
  RecordingTrace trace;
};

TEST_F(PortLoss, PortComesBackWithTheStartUpsSettingsAndTheDevicesWithIt) {
  ASSERT_EQ(only(w.cycle(), 'a').size(), 2u);

  // Unplugged: the first exchange finds out, the port is closed and both devices fail at once, without
  // the pause after a failed attempt.
  port().takeAway("Input/output error");
  w.world.clock.clearSleeps();
  w.cycle();
  EXPECT_TRUE(m.link.portLost());
  EXPECT_FALSE(m.link.port);
  EXPECT_EQ(w.world.clock.sleeps(), (std::vector<std::uint32_t>{50, 10, 50, 10}));
  EXPECT_NE(trace.text.find(" port COM4 lost: Input/output error\n"), std::string::npos) << trace.text;

  // Still away: one open a cycle, nothing asked, a host write refused at once; lost at the third
  // failing poll with the device-failure quality.
  w.world.ports.openable = {"COM9"};
  w.world.clock.clearSleeps();
  EXPECT_EQ(m.SetBitTagValue(0, 1), 0);
  EXPECT_TRUE(w.world.clock.sleeps().empty());
  w.cycle();
  const auto lost = w.cycle();
  EXPECT_EQ(opens(), 0);
  EXPECT_EQ(readOnline(m.deviceStatusTable[0]), 0);
  EXPECT_EQ(readOnline(m.deviceStatusTable[1]), 0);
  for (const Publication& p : only(lost, 'a')) EXPECT_EQ(p.quality, QualityDeviceFailure);
  EXPECT_TRUE(w.world.op.boxes.empty());

  // Plugged in again: the next cycle opens the same name, sets it up as the start-up did and polls.
  w.world.ports.openable.clear();
  const auto back = w.cycle();
  EXPECT_EQ(w.world.ports.opened, std::vector<std::string>{"COM4"});
  EXPECT_FALSE(m.link.portLost());
  EXPECT_EQ(port().lastSettings, "baud=19200 parity=E data=8 stop=1");
  EXPECT_EQ(port().timeouts.readInterval, 100u);
  EXPECT_EQ(port().timeouts.readTotalMultiplier, 2u);
  EXPECT_EQ(port().timeouts.readTotalConstant, 500u);
  ASSERT_EQ(only(back, 'a').size(), 2u);
  for (const Publication& p : only(back, 'a')) EXPECT_EQ(p.quality, QualityGood);
  EXPECT_EQ(readOnline(m.deviceStatusTable[0]), 1);
  EXPECT_EQ(readOnline(m.deviceStatusTable[1]), 1);
  EXPECT_NE(trace.text.find(" port COM4 back\n"), std::string::npos) << trace.text;
  w.cycle();
  EXPECT_EQ(opens(), 1);
}

TEST_F(PortLoss, SilentDevicesNeverMakeTheModuleReopen) {
  port().responder = [](const Bytes&) { return Bytes{}; };
  for (int cycle = 0; cycle < 5; ++cycle) w.cycle();
  EXPECT_FALSE(m.link.portLost());
  EXPECT_TRUE(m.link.port);
  EXPECT_EQ(opens(), 0);
  EXPECT_EQ(trace.text.find(" port "), std::string::npos);
}

TEST_F(PortLoss, APortThatNoLongerTakesItsSettingsIsTriedAgainNextCycle) {
  port().takeAway("hang-up");
  w.cycle();
  w.world.ports.configureResult = false;
  w.cycle();
  EXPECT_EQ(opens(), 1);
  EXPECT_TRUE(m.link.portLost());
  w.world.ports.configureResult = true;
  w.cycle();
  EXPECT_FALSE(m.link.portLost());
  EXPECT_EQ(readOnline(m.deviceStatusTable[0]), 1);
}

}  // namespace
}  // namespace duz::test
