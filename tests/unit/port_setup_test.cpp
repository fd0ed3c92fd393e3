#include <gtest/gtest.h>

#include "fakes/fakes.h"
#include "model/cp1251.h"
#include "startup/port_setup.h"

namespace duz::test {
namespace {

constexpr auto kOpenText = cp1251(
    "Ошибка открытия порта COM3\nВозможно, порт занят другой программой. \n"
    "Закройте программу и повторите настройку параметров.");
constexpr auto kOpenCaption = cp1251("Ошибка открытия COM-порта");
constexpr auto kSettingsText = cp1251(
    "Ошибка настройки параметров порта COM3\nЖелаете продолжить (Отмена) или изменить параметры (Повтор)");
constexpr auto kSettingsCaption = cp1251("Ошибка настройки параметров COM-порта");

class OpenPortTest : public ::testing::Test {
 protected:
  OpenPortTest() {
    module.GiveString("baud=19200 parity=E data=8 stop=1", "COM3", "5", "Abort");
    world.ports.openable = {"COM3"};
  }

  void expectBox(const ShownBox& box, std::string_view text, std::string_view caption) {
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.caption, caption);
    EXPECT_EQ(box.icon, BoxIcon::Stop);
    EXPECT_EQ(box.buttons, BoxButtons::RetryCancel);
  }

  FakeWorld world;
  Module module{world.platform()};
};

TEST_F(OpenPortTest, OpensConfiguresAndSetsTheReadTimeOuts) {
  EXPECT_EQ(OpenPort(module), PortResult::Proceed);
  EXPECT_TRUE(world.op.boxes.empty());
  ASSERT_TRUE(module.link.port);
  EXPECT_EQ(world.ports.opened, std::vector<std::string>{"COM3"});
  FakeSerialPort& port = *world.ports.last;
  EXPECT_EQ(port.lastSettings, "baud=19200 parity=E data=8 stop=1");
  EXPECT_EQ(port.timeouts.readInterval, 100u);
  EXPECT_EQ(port.timeouts.readTotalMultiplier, 2u);
  EXPECT_EQ(port.timeouts.readTotalConstant, 500u);
  EXPECT_EQ(module.link.baud(), 19200u);
}

// Ports that, like real devices, cannot be opened a second time while one holder has them open.
class ExclusivePorts : public SerialPorts {
 public:
  explicit ExclusivePorts(FakeClock& clock) : clock_(clock) {}
  std::unique_ptr<SerialPort> open(const std::string&) override {
    if (held_) return nullptr;
    return std::make_unique<HeldPort>(clock_, held_);
  }
  std::vector<std::string> list() override { return {}; }

 private:
  struct HeldPort : FakeSerialPort {
    HeldPort(FakeClock& clock, bool& held) : FakeSerialPort(clock), held_(held) { held_ = true; }
    ~HeldPort() override { held_ = false; }
    bool& held_;
  };
  FakeClock& clock_;
  bool held_ = false;
};

TEST_F(OpenPortTest, ReleasesThePortOfAnEarlierPassBeforeOpeningAgain) {
  ExclusivePorts ports(world.clock);
  Platform platform = world.platform();
  Module exclusive{Platform{platform.clock, ports, platform.op, platform.locale, platform.directory,
                            platform.files, platform.host}};
  exclusive.GiveString("baud=9600 parity=N data=8 stop=2", "COM3", "1", "");
  ASSERT_EQ(OpenPort(exclusive), PortResult::Proceed);
  EXPECT_EQ(OpenPort(exclusive), PortResult::Proceed);
  EXPECT_TRUE(exclusive.link.port);
  EXPECT_TRUE(world.op.boxes.empty());
}

TEST_F(OpenPortTest, RetryOnAnOpenFailureReturnsRetryWithThePortClosed) {
  world.ports.openable = {"COM1"};
  world.op.answers = {BoxAnswer::Retry};
  EXPECT_EQ(OpenPort(module), PortResult::Retry);
  EXPECT_FALSE(module.link.port);
  ASSERT_EQ(world.op.boxes.size(), 1u);
  expectBox(world.op.boxes[0], kOpenText, kOpenCaption);
}

TEST_F(OpenPortTest, CancelOnAnOpenFailureLeadsToTheSettingsQuestion) {
  world.ports.openable = {"COM1"};
  world.op.answers = {BoxAnswer::Cancel, BoxAnswer::Retry};
  EXPECT_EQ(OpenPort(module), PortResult::Retry);
  ASSERT_EQ(world.op.boxes.size(), 2u);
  expectBox(world.op.boxes[0], kOpenText, kOpenCaption);
  expectBox(world.op.boxes[1], kSettingsText, kSettingsCaption);
}

TEST_F(OpenPortTest, CancelOnBothProceedsOnAnUnusablePort) {
  world.ports.openable = {"COM1"};
  world.op.answers = {BoxAnswer::Cancel, BoxAnswer::Cancel};
  EXPECT_EQ(OpenPort(module), PortResult::Proceed);
  EXPECT_EQ(world.op.boxes.size(), 2u);
  EXPECT_FALSE(module.link.port);
  // Every exchange on it fails at once, as a failed write.
  const RequestFrame request = reportSlaveIdRequest(1);
  EXPECT_EQ(module.link.Transaction(request.length, request.data(), module.link.responseBuffer, 260), -1);
}

TEST_F(OpenPortTest, SettingsFailureRetryClosesThePort) {
  world.ports.configureResult = false;
  world.op.answers = {BoxAnswer::Retry};
  EXPECT_EQ(OpenPort(module), PortResult::Retry);
  EXPECT_FALSE(module.link.port);
  ASSERT_EQ(world.op.boxes.size(), 1u);
  expectBox(world.op.boxes[0], kSettingsText, kSettingsCaption);
}

TEST_F(OpenPortTest, SettingsFailureCancelKeepsThePortAndSetsTheTimeOuts) {
  // Wine rejects RTS toggling; after Cancel the line works with the time-outs set.
  world.ports.configureResult = false;
  world.op.answers = {BoxAnswer::Cancel};
  EXPECT_EQ(OpenPort(module), PortResult::Proceed);
  ASSERT_TRUE(module.link.port);
  EXPECT_EQ(world.ports.last->timeouts.readTotalConstant, 500u);
  EXPECT_EQ(world.op.boxes.size(), 1u);
}

TEST_F(OpenPortTest, WithoutAnOperatorBothQuestionsTakeCancel) {
  world.ports.openable = {"COM1"};
  EXPECT_EQ(OpenPort(module), PortResult::Proceed);
  ASSERT_EQ(world.op.boxes.size(), 2u);
  EXPECT_EQ(world.op.boxes[0].defaultButton, BoxAnswer::Cancel);
  EXPECT_EQ(world.op.boxes[1].defaultButton, BoxAnswer::Cancel);
}

}  // namespace
}  // namespace duz::test
