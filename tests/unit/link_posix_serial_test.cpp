// The POSIX serial line: the settings text, the device list, and what a port knows of the line's quiet.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "common/reply_timings.h"
#include "fakes/fakes.h"
#include "link/link.h"
#include "platform/posix/posix_platform.h"
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

TEST_F(PtyLine, AFrameSlowerThanItsLineOrInBurstsStillArrivesWhole) {
  // The read sleeps by the line's speed; bytes that come late (an adapter's bursts, a slow instrument)
  // must still be taken while the 100 ms interval allows, and a pause beyond it still ends the read.
  ASSERT_NO_FATAL_FAILURE(open("baud=115200 parity=N data=8 stop=2"));
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

// Time the calling thread has waited for a processor while it was ready to run (ms).
double runQueueMs() {
  std::ifstream stat("/proc/thread-self/schedstat");
  double running = 0, waiting = 0;
  stat >> running >> waiting;
  return waiting / 1e6;
}

TEST_F(PtyLine, EveryReplyTimingEndsAsTheWin32TimeOutsEndIt) {
  ASSERT_NO_FATAL_FAILURE(open(kReplyTimingSettings));
  const double tolerance = timingToleranceMs();
  const std::vector<ReplyTiming> rows = replyTimingRows();
  int reruns = 0, unjudged = 0;
  for (const ReplyTiming& row : rows) {
    SCOPED_TRACE(row.name);
    RowRun best;
    double bestDisturbedMs = 1e9;  // how late the writer was, and how long the reader waited for a CPU
    for (int attempt = 0; attempt < kRowAttempts && runRowAgain(bestDisturbedMs, tolerance); ++attempt) {
      if (attempt > 0) ++reruns;
      RowRun run;
      port->purgeBeforeWrite();
      port->purgeAfterWrite();
      // The far end: each byte at its planned moment, and when it really went noted.
      run.sentMs.assign(row.reply.size(), 0);
      const std::int64_t origin = posix::monotonicNs() + 3'000'000;
      const auto msSince = [origin](std::int64_t ns) { return static_cast<double>(ns - origin) / 1e6; };
      std::thread far([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        for (std::size_t i = 0, piece = 1; i < row.reply.size(); i += piece) {
          piece = 1;  // bytes due at the same moment go in one write
          while (i + piece < row.reply.size() && row.dueMs[i + piece] == row.dueMs[i]) ++piece;
          const std::int64_t due = origin + static_cast<std::int64_t>(row.dueMs[i] * 1e6);
          const timespec at{static_cast<time_t>(due / 1'000'000'000), static_cast<long>(due % 1'000'000'000)};
          while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
          }
          ASSERT_EQ(::write(master, &row.reply[i], piece), static_cast<ssize_t>(piece));
          const double sent = msSince(posix::monotonicNs());
          for (std::size_t k = i; k < i + piece; ++k) run.sentMs[k] = sent;
        }
      });
      // The reads of a transaction: the header, then the body its byte count announces.
      const double queued = runQueueMs();
      auto read = [&](int offset, int count) {
        run.startsMs.push_back(msSince(posix::monotonicNs()));
        const int n = port->read(run.got.data() + offset, count);
        run.reads.push_back({n, msSince(posix::monotonicNs())});
        return n;
      };
      if (read(0, 3) == 3 && bodyCount(run.got.data()) > 0) read(3, bodyCount(run.got.data()));
      const double readerQueued = runQueueMs() - queued;
      far.join();
      const double disturbed = writerLateMs(row, run.sentMs, 0) + readerQueued;
      if (disturbed < bestDisturbedMs) {
        best = std::move(run);
        bestDisturbedMs = disturbed;
      }
    }
    if (bestDisturbedMs >= kUnjudgedMs) {
      std::printf("%s: not judged, this machine disturbed every run by %.1f ms or more\n", row.name,
                  bestDisturbedMs);
      ++unjudged;
      continue;
    }
    for (const std::string& fault : judgeRow(row, best, allowedMs(bestDisturbedMs, tolerance)))
      ADD_FAILURE() << fault;
    if (runRowAgain(bestDisturbedMs, tolerance))
      std::printf("%s: judged with %.1f ms more tolerance, the least this machine disturbed it\n", row.name,
                  bestDisturbedMs);
  }
  EXPECT_LT(unjudged, static_cast<int>(rows.size()) / 2) << "this machine is too busy to time a serial line";
  if (reruns > 0) std::printf("%d run(s) again: the machine delayed the writer or the reader\n", reruns);
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
