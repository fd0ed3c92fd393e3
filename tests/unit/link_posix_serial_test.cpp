// The POSIX serial line: the settings text, the device list, and what a port knows of the line's quiet.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "fakes/fakes.h"
#include "platform/posix/posix_serial.h"
#include "platform/system.h"

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

TEST(LineSetUp, APseudoTerminalThatDropsTheParityBitIsSetUpEveryTime) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  // The search's set-up, the final one on the same descriptor, and the next run's on a fresh one.
  for (const char* parity : {"E", "O"}) {
    const std::string settings = std::string("baud=19200 parity=") + parity + " data=8 stop=1";
    const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(posix::configureLine(fd, settings)) << parity;
    EXPECT_TRUE(posix::configureLine(fd, settings)) << parity;
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t{B19200});
    EXPECT_EQ(t.c_lflag & ICANON, 0u);
    close(fd);
  }
  close(master);
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  EXPECT_FALSE(posix::configureLine(pipeEnds[0], "baud=9600 parity=N data=8 stop=1")) << "not a line";
  close(pipeEnds[0]);
  close(pipeEnds[1]);
}

// The module's port on a pseudo-terminal with the port set-up's read time-outs; `master` is the far end.
class PtyLine : public ::testing::Test {
 protected:
  void open(const std::string& settings) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    port = makeSystemSerialPorts()->open(ptsname(master));
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->configure(settings));
    port->setTimeouts({100, 2, 500});
  }
  void TearDown() override {
    port.reset();
    if (master >= 0) close(master);
  }
  int master = -1;
  std::unique_ptr<SerialPort> port;
};

TEST_F(PtyLine, TheGapCountsOnlyQuietThePortHasSeen) {
  ASSERT_NO_FATAL_FAILURE(open("baud=9600 parity=N data=8 stop=2"));
  EXPECT_EQ(port->quietNs(), 0) << "nothing seen since the open: no quiet known";

  const std::uint8_t request[] = {7, 0x11, 0xC2, 0x2C};
  ASSERT_EQ(port->write(request, 4), 4);
  port->purgeAfterWrite();
  usleep(20'000);
  EXPECT_GE(port->quietNs(), 20'000'000);
  // A reply read in two parts, as a header and a body, arrives whole; its last byte ends the quiet.
  const std::uint8_t reply[] = {7, 0x11, 3, 1, 2, 3, 0xAA, 0xBB};
  ASSERT_EQ(::write(master, reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
  std::uint8_t got[8] = {};
  ASSERT_EQ(port->read(got, 3), 3);
  ASSERT_EQ(port->read(got + 3, 5), 5);
  EXPECT_EQ(0, std::memcmp(got, reply, sizeof reply));
  EXPECT_LT(port->quietNs(), 20'000'000);

  // Bytes nobody asked for, thrown away before a request: they came at an unknown moment.
  usleep(20'000);
  ASSERT_EQ(::write(master, reply, 2), 2);
  usleep(20'000);
  EXPECT_GE(port->quietNs(), 40'000'000);
  port->purgeBeforeWrite();
  EXPECT_LT(port->quietNs(), 20'000'000);
}

class PtyLineExpecting : public PtyLine, public testing::WithParamInterface<int> {};

TEST_P(PtyLineExpecting, AFrameSlowerThanItsLineOrInBurstsStillArrivesWhole) {
  // The read sleeps by the line's speed (through the whole reply when its length is expected, rightly
  // or not); bytes that come late (an adapter's bursts, a slow instrument) must still be taken while
  // the 100 ms interval allows, and a pause beyond it still ends the read.
  ASSERT_NO_FATAL_FAILURE(open("baud=115200 parity=N data=8 stop=2"));
  port->expectReply(GetParam());
  const std::vector<std::uint8_t> frame(40, 0x5A);
  struct Piece {
    int bytes, pauseMs;
  };
  const std::vector<Piece> sending = {{1, 0}, {2, 30}, {5, 60}, {1, 40}, {28, 80}, {2, 90}, {1, 250}};
  std::thread far([&] {
    for (const Piece& p : sending) {
      std::this_thread::sleep_for(std::chrono::milliseconds(p.pauseMs));
      ASSERT_EQ(::write(master, frame.data(), static_cast<std::size_t>(p.bytes)), p.bytes);
    }
  });
  std::uint8_t got[40] = {};
  EXPECT_EQ(port->read(got, 3), 3);
  EXPECT_EQ(port->read(got + 3, 37), 36) << "the last byte came after the interval";
  far.join();
}

INSTANTIATE_TEST_SUITE_P(Lengths, PtyLineExpecting, testing::Values(0, 40, 12, 200));

TEST_F(PtyLine, AnExceptionInsteadOfALongReplyIsTakenWithinTheInterval) {
  ASSERT_NO_FATAL_FAILURE(open("baud=9600 parity=N data=8 stop=2"));
  for (int round = 0; round < 2; ++round) {
    port->purgeBeforeWrite();
    port->expectReply(218);  // 250 ms of line at this speed
    const std::uint8_t exception[] = {3, 0xC7, 2, 0x12, 0x34};
    const auto start = std::chrono::steady_clock::now();
    std::thread far([&] {  // the first byte alone, so the read has begun a frame when the rest comes
      ASSERT_EQ(::write(master, exception, 1), 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
      ASSERT_EQ(::write(master, exception + 1, 4), 4);
    });
    std::uint8_t got[5] = {};
    ASSERT_EQ(port->read(got, 3), 3);
    ASSERT_EQ(port->read(got + 3, 2), 2);
    far.join();
    EXPECT_EQ(0, std::memcmp(got, exception, sizeof exception));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200))
        << "slept past the interval after the last byte";
  }
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
