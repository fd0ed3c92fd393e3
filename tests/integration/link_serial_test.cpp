// Our serial port and Transaction on a real pseudo-terminal, with the bus simulator as the far end.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "link/link.h"
#include "link_harness.h"

namespace duz::test {
namespace {

constexpr char kBus[] = R"(
device 1 LUMA-12
  modules 1 0 2 0 0 4 0 0
  channel 0 0 "  23.50 " 0x00
  channel 0 5 "  -3.25" 0x83
  channel 2 1 "\0 12.50 " 0x21
  channel 5 0 "1.25" 0x02
device 2 DEK-04
  ident 7 3
  inputs 0x80000215
  coils 0x8050
  coil 240 1
device 3 VEKS-1
  ident 11 12
  alarm 1
  setpoint1 0x1234
  setpoint2 0x5678
  sensor 4
  range 5
  raw -100
  status 0x02
device 4 VEKS-2
  sensor 3
  range 4
  raw 4096
  status 0x01
device 5 ORTA
  alarm 2
  conversion 1
  raw 16383
)";

// The simulator on a fresh pseudo-terminal and our port open on it with the module's settings.
class LinkOverPty : public ::testing::Test {
 protected:
  void SetUp() override { start(kBus, {}); }

  void start(const std::string& bus, const std::vector<std::string>& options) {
    busFile = std::make_unique<TempFile>(bus);
    std::vector<std::string> argv{"--bus", busFile->path()};
    argv.insert(argv.end(), options.begin(), options.end());
    sim = std::make_unique<tools::Simulator>(DUZ_SIM, argv);
    ASSERT_TRUE(sim->started()) << sim->errorText();
    path = sim->path();
    ASSERT_TRUE(line_.open(path)) << path;
  }

  int exchange(const Bytes& request, Bytes& reply) { return line_.exchange(request, reply); }

  // The first half of a transaction by hand: purge, write, let it leave.
  void sendRequest(const Bytes& request) {
    const Bytes frame = sealed(request);
    link.port->purgeBeforeWrite();
    ASSERT_EQ(link.PortWrite(frame.data(), static_cast<std::uint8_t>(frame.size())),
              static_cast<int>(frame.size()));
    link.port->purgeAfterWrite();
  }
  int timedRead(std::uint8_t* buffer, int count, double& tookMs) {
    const double start = nowMs();
    const int n = link.PortRead(buffer, count);
    tookMs = nowMs() - start;
    return n;
  }

  // Data bytes of a successful reply with a byte count.
  Bytes data(const Bytes& request) {
    Bytes reply;
    const int r = exchange(request, reply);
    EXPECT_EQ(r, 0) << sim->errorText();
    if (r != 0) return {};
    return Bytes(reply.begin() + 3, reply.end() - 2);
  }

  LineLink line_;
  Link& link = line_.link;
  SerialPorts& ports = *line_.ports;
  std::unique_ptr<TempFile> busFile;
  std::unique_ptr<tools::Simulator> sim;
  std::string path;
};

TEST_F(LinkOverPty, IdentificationOfEveryModel) {
  EXPECT_EQ(data({1, 0x11}), (Bytes{1, 0, 2, 0, 0, 4, 0, 0}));
  EXPECT_EQ(data({2, 0x11}), (Bytes{7, 3, 0}));
  EXPECT_EQ(data({3, 0x11}), (Bytes{11, 12, 102}));
  EXPECT_EQ(data({4, 0x11}), (Bytes{1, 0, 101}));
  EXPECT_EQ(data({5, 0x11}), (Bytes{1, 0, 100}));
}

TEST_F(LinkOverPty, ParametersOfTransducersAndCurrentLoop) {
  // Frame bytes 7..13: alarm type, setpoint 2 low/high, setpoint 1 low/high, sensor type, range index.
  Bytes reply;
  ASSERT_EQ(exchange({3, 0x44}, reply), 0);
  ASSERT_GE(reply.size(), 16u);
  EXPECT_EQ(Bytes(reply.begin() + 7, reply.begin() + 14), (Bytes{1, 0x78, 0x56, 0x34, 0x12, 4, 5}));
  ASSERT_EQ(exchange({4, 0x44}, reply), 0);
  EXPECT_EQ(reply[12], 3);
  EXPECT_EQ(reply[13], 4);
  ASSERT_EQ(exchange({5, 0x44}, reply), 0);
  EXPECT_EQ(reply[7], 2);
  EXPECT_EQ(reply[12], 1);

  // The controller and the alarm instrument have no parameter request: an exception reply.
  link.pollingActive = 1;
  EXPECT_EQ(exchange({1, 0x44}, reply), kWrongFunction);
  EXPECT_EQ(exchange({2, 0x44}, reply), kWrongFunction);
}

TEST_F(LinkOverPty, ControllerChannelsInBlocksOfModules) {
  const Bytes first = data({1, 0x47, 0, 24});
  ASSERT_EQ(first.size(), 216u);
  EXPECT_EQ(std::string(first.begin(), first.begin() + 8), "  23.50 ");
  EXPECT_EQ(std::string(first.begin() + 40, first.begin() + 48), "   -3.25");
  EXPECT_EQ(first[48 + 5], 0x83);
  // Slot 2 is the third 54-byte section; its channel 1 text keeps its NUL.
  const std::size_t slot2 = 2 * 54;
  EXPECT_EQ(std::string(first.begin() + slot2 + 8, first.begin() + slot2 + 16), std::string("\0 12.50 ", 8));
  EXPECT_EQ(first[slot2 + 48 + 1], 0x21);

  const Bytes second = data({1, 0x47, 30, 18});
  ASSERT_EQ(second.size(), 162u);
  EXPECT_EQ(std::string(second.begin(), second.begin() + 8), "    1.25");
  EXPECT_EQ(second[48], 0x02);

  EXPECT_EQ(sim->command("1 channel 5 0 \" 99.90 \" 0x40"), "ok");
  const Bytes again = data({1, 0x47, 30, 18});
  ASSERT_EQ(again.size(), 162u);
  EXPECT_EQ(std::string(again.begin(), again.begin() + 8), "  99.90 ");
  EXPECT_EQ(again[48], 0x40);
}

TEST_F(LinkOverPty, TransducerAndCurrentLoopValuesFollowCommands) {
  EXPECT_EQ(data({3, 0x47, 0, 1}), (Bytes{0xFF, 0x9C, 0x02}));  // -100, limit 1
  EXPECT_EQ(data({4, 0x47, 0, 1}), (Bytes{0x10, 0x00, 0x01}));
  EXPECT_EQ(data({5, 0x47, 0, 1}), (Bytes{0x3F, 0xFF, 0x00}));
  EXPECT_EQ(sim->command("3 raw 8192"), "ok");
  EXPECT_EQ(sim->command("3 status 3"), "ok");
  EXPECT_EQ(data({3, 0x47, 0, 1}), (Bytes{0x20, 0x00, 0x03}));
}

TEST_F(LinkOverPty, AlarmInstrumentInputsCoilsAndWrites) {
  EXPECT_EQ(data({2, 2, 0, 0, 0, 32}), (Bytes{0x15, 0x02, 0x00, 0x80}));
  EXPECT_EQ(data({2, 1, 0, 0, 0, 16}), (Bytes{0x50, 0x80}));
  EXPECT_EQ(data({2, 1, 0, 0xF0, 0, 1}), (Bytes{0x01}));

  // Blocking mode on: coil 240 off. The reply is the request's echo, and later reads see the change.
  Bytes reply;
  const Bytes write = sealed({2, 5, 0, 0xF0, 0, 0});
  ASSERT_EQ(exchange({2, 5, 0, 0xF0, 0, 0}, reply), 0);
  EXPECT_EQ(reply, write);
  EXPECT_EQ(data({2, 1, 0, 0xF0, 0, 1}), (Bytes{0x00}));
  ASSERT_EQ(exchange({2, 5, 0, 1, 0xFF, 0}, reply), 0);  // Reset
  EXPECT_EQ(data({2, 1, 0, 0, 0, 16}), (Bytes{0x52, 0x80}));

  EXPECT_EQ(sim->command("2 input 3 1"), "ok");
  EXPECT_EQ(data({2, 2, 0, 0, 0, 32}), (Bytes{0x1D, 0x02, 0x00, 0x80}));
}

TEST_F(LinkOverPty, HeaderReadOfASilentDeviceGivesUpAfterAboutHalfASecond) {
  sendRequest({9, 0x11});
  std::uint8_t header[3];
  double took = 0;
  EXPECT_EQ(timedRead(header, 3, took), 0);
  std::printf("3-byte header read of a silent device: %.1f ms (500 + 2 x 3 expected)\n", took);
  EXPECT_GE(took, 490);
  EXPECT_LE(took, 900);
}

TEST_F(LinkOverPty, ReadEndsOneIntervalAfterTheLastByte) {
  // The device answers 3 bytes less than asked for: the read ends 100 ms after them, not at 500 + 2n.
  EXPECT_EQ(sim->command("4 fault short"), "ok");
  sendRequest({4, 0x11});
  std::uint8_t reply[8];
  double took = 0;
  EXPECT_EQ(timedRead(reply, 8, took), 5);
  std::printf("read of 8 with 5 arriving: %.1f ms\n", took);
  EXPECT_LT(took, 400);
}

TEST_F(LinkOverPty, ReadOnALineThatHasGoneFailsAtOnce) {
  sim.reset();  // the far end of the pseudo-terminal closes
  std::uint8_t header[3];
  double took = 0;
  EXPECT_EQ(timedRead(header, 3, took), -1);
  EXPECT_LT(took, 400);
}

TEST_F(LinkOverPty, SilentDeviceWhilePollingCostsAboutOneSecond) {
  link.pollingActive = 1;
  Bytes reply;
  const double start = nowMs();
  EXPECT_EQ(exchange({9, 0x11}, reply), -1);
  const double took = nowMs() - start;
  std::printf("one polling transaction with a silent device: %.1f ms\n", took);
  EXPECT_GE(took, 990);
  EXPECT_LE(took, 1600);
}

TEST_F(LinkOverPty, SecondOpenOfAHeldPortFails) {
  // Also as root, whom TIOCEXCL does not stop.
  EXPECT_FALSE(ports.open(path));
  link.port.reset();
  auto again = ports.open(path);
  EXPECT_TRUE(again);
  EXPECT_FALSE(ports.open(path));
}

TEST_F(LinkOverPty, EveryFaultModeAndBackToNormal) {
  link.pollingActive = 1;
  struct Case {
    const char* command;
    int result;
  };
  const Case cases[] = {{"3 fault silent", -1},
                        {"3 fault badcrc", -1},
                        {"3 fault wrongaddr", kWrongAddress},
                        {"3 fault exception", kWrongFunction},
                        {"3 fault short", -1},
                        {"3 fault slow 700", -1},
                        {"3 fault normal", 0}};
  Bytes reply;
  for (const Case& c : cases) {
    ASSERT_EQ(sim->command(c.command), "ok");
    // The late reply of the slow device arrives in the pause and is purged before this request.
    EXPECT_EQ(exchange({3, 0x47, 0, 1}, reply), c.result) << c.command;
  }
  EXPECT_EQ(reply, sealed({3, 0x47, 3, 0xFF, 0x9C, 0x02}));
}

// Replies leave at the line speed: 221 bytes at 9600 bit/s take 253 ms, within the read's time-outs.
class PacedLink : public LinkOverPty {
 protected:
  void SetUp() override { start(kBus, {"--pace", "--baud", "9600"}); }
};

TEST_F(PacedLink, LongestReplyArrivesWithinTheReadTimeOuts) {
  const double start = nowMs();
  const Bytes block = data({1, 0x47, 0, 24});
  const double took = nowMs() - start;
  std::printf("216 data bytes at 9600 bit/s, paced: %.1f ms\n", took);
  EXPECT_EQ(block.size(), 216u);
  EXPECT_GE(took, 250);
  EXPECT_LE(took, 900);
}

TEST_F(PacedLink, ExchangeTakesTheLinesTimeInBothDirections) {
  // 6 bytes out and 8 back at 1.146 ms a character, the instrument's 3.5 characters before it answers
  // and our own before the request: at least 24 ms, where an unpaced line answers in about 6.
  const double start = nowMs();
  EXPECT_EQ(data({3, 0x47, 0, 1}).size(), 3u);
  const double took = nowMs() - start;
  std::printf("transducer read at 9600 bit/s, paced: %.1f ms (24.1 on the wire)\n", took);
  EXPECT_GE(took, 24.0);
}

TEST_F(PacedLink, ReadLeftToArriveStillEndsOneIntervalAfterTheLastByte) {
  // Our read sleeps while a reply arrives; a reply that stops short must still end the read about
  // 100 ms after its last byte, not at 500 + 2n.
  EXPECT_EQ(sim->command("4 fault short"), "ok");
  sendRequest({4, 0x11});
  std::uint8_t reply[8];
  double took = 0;
  EXPECT_EQ(timedRead(reply, 8, took), 5);
  std::printf("paced read of 8 with 5 arriving: %.1f ms\n", took);
  EXPECT_GE(took, 100);
  EXPECT_LT(took, 400);
}

}  // namespace
}  // namespace duz::test
