// The POSIX serial line's pure parts: the settings text and the device list.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fakes/fakes.h"
#include "platform/posix/posix_serial.h"

namespace duz::test {
namespace {

using posix::LineSettings;
using posix::parseLineSettings;

TEST(LineSettingsText, TheDialogsTextsParse) {
  const LineSettings s = parseLineSettings("baud=19200 parity=E data=8 stop=2");
  EXPECT_EQ(s.baud, 19200u);
  EXPECT_EQ(s.parity, 'E');
  EXPECT_EQ(s.dataBits, 8);
  EXPECT_EQ(s.stopBits, 2);
  const LineSettings odd = parseLineSettings("BAUD=115200 Parity=o DATA=7 stop=1");
  EXPECT_EQ(odd.baud, 115200u);
  EXPECT_EQ(odd.parity, 'O');
  EXPECT_EQ(odd.dataBits, 7);
  EXPECT_EQ(odd.stopBits, 1);
}

TEST(LineSettingsText, WhatDoesNotParseStaysUnset) {
  const LineSettings s = parseLineSettings("baud=12345 parity=X data=9 stop=3 junk baud");
  EXPECT_FALSE(s.baud);
  EXPECT_FALSE(s.parity);
  EXPECT_FALSE(s.dataBits);
  EXPECT_FALSE(s.stopBits);
  const LineSettings partial = parseLineSettings("baud=9600x parity=N");
  EXPECT_FALSE(partial.baud);
  EXPECT_EQ(partial.parity, 'N');
  EXPECT_FALSE(parseLineSettings("").baud);
}

TEST(DevicePath, BareNamesLiveInDev) {
  EXPECT_EQ(posix::devicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(posix::devicePath("/dev/pts/4"), "/dev/pts/4");
}

// A made-up /sys/class/tty.
class FakeSysTty {
 public:
  void add(const std::string& name, bool device, const char* type = nullptr) {
    const auto dir = root() / name;
    std::filesystem::create_directories(dir);
    if (device) std::filesystem::create_directories(dir / "device");
    if (type) std::ofstream(dir / "type") << type << "\n";
  }
  std::filesystem::path root() { return std::filesystem::path(tmp.path()) / "tty"; }

 private:
  TempHostDirectory tmp;
};

TEST(SerialDeviceList, RealPortsInNaturalOrderThenTheExtraNames) {
  FakeSysTty sys;
  sys.add("ttyS0", true, "4");
  sys.add("ttyS1", true, "0");  // no UART fitted
  sys.add("ttyS10", true, "4");
  sys.add("ttyS2", true, "4");
  sys.add("ttyUSB0", true);
  sys.add("ttyACM3", true);
  sys.add("ttyAMA0", true, "91");
  sys.add("tty1", false);
  sys.add("ttyUSB9", false);  // left behind without a device
  sys.add("console", false);

  EXPECT_EQ(posix::listSerialDevices(sys.root(), nullptr),
            (std::vector<std::string>{"/dev/ttyACM3", "/dev/ttyAMA0", "/dev/ttyS0", "/dev/ttyS2",
                                      "/dev/ttyS10", "/dev/ttyUSB0"}));
  EXPECT_EQ(posix::listSerialDevices(sys.root(), ":/dev/pts/7::/dev/ttyS0:ttyV1"),
            (std::vector<std::string>{"/dev/ttyACM3", "/dev/ttyAMA0", "/dev/ttyS0", "/dev/ttyS2",
                                      "/dev/ttyS10", "/dev/ttyUSB0", "/dev/pts/7", "ttyV1"}));
}

TEST(SerialDeviceList, NoSysfsGivesOnlyTheExtraNames) {
  EXPECT_EQ(posix::listSerialDevices("/nonexistent/tty", "/dev/pts/3"),
            std::vector<std::string>{"/dev/pts/3"});
}

}  // namespace
}  // namespace duz::test
#endif
