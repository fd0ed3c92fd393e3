// Our serial port and Transaction on a real pseudo-terminal, with the bus simulator as the far end.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "link/link.h"
#include "link_process.h"
#include "platform/system.h"

namespace duz::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

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

Bytes sealed(Bytes frame) {
  frame.resize(frame.size() + 2);
  putCrc(frame.data(), static_cast<int>(frame.size()));
  return frame;
}

// The simulator on a fresh pseudo-terminal and our port open on it with the module's settings.
class LinkOverPty : public ::testing::Test {
 protected:
  void SetUp() override { start(kBus, {}); }

  void start(const std::string& bus, const std::vector<std::string>& options) {
    busFile = std::make_unique<TempFile>(bus);
    std::vector<std::string> argv{DUZ_SIM, "--bus", busFile->path()};
    argv.insert(argv.end(), options.begin(), options.end());
    sim = std::make_unique<Child>(argv);
    const auto line = sim->readLine();
    ASSERT_TRUE(line) << sim->errorText();
    path = *line;
    link.port = ports->open(path);
    ASSERT_TRUE(link.port) << path;
    ASSERT_TRUE(link.port->configure("baud=9600 parity=N data=8 stop=2"));
    link.port->setTimeouts({100, 2, 500});
    link.setBaud(9600);
  }

  // One transaction; the reply frame on success.
  int exchange(const Bytes& request, Bytes& reply) {
    const Bytes frame = sealed(request);
    std::uint8_t response[260];
    const int r = link.Transaction(static_cast<int>(frame.size()), frame.data(), response, sizeof response);
    reply.clear();
    if (r == 0) {
      const std::size_t length = request[1] == 5 ? frame.size() : response[2] + 5u;
      reply.assign(response, response + length);
    }
    return r;
  }

  // Data bytes of a successful reply with a byte count.
  Bytes data(const Bytes& request) {
    Bytes reply;
    const int r = exchange(request, reply);
    EXPECT_EQ(r, 0) << sim->errorText();
    if (r != 0) return {};
    return Bytes(reply.begin() + 3, reply.end() - 2);
  }

  std::unique_ptr<Clock> clock = makeSystemClock();
  std::unique_ptr<SerialPorts> ports = makeSystemSerialPorts();
  Link link{*clock};
  std::unique_ptr<TempFile> busFile;
  std::unique_ptr<Child> sim;
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
  const Bytes request = sealed({9, 0x11});
  link.port->purgeBeforeWrite();
  ASSERT_EQ(link.PortWrite(request.data(), static_cast<std::uint8_t>(request.size())), 4);
  link.port->purgeAfterWrite();
  std::uint8_t header[3];
  const double start = nowMs();
  EXPECT_EQ(link.PortRead(header, 3), 0);
  const double took = nowMs() - start;
  std::printf("3-byte header read of a silent device: %.1f ms (500 + 2 x 3 expected)\n", took);
  EXPECT_GE(took, 490);
  EXPECT_LE(took, 900);
}

TEST_F(LinkOverPty, ReadEndsOneIntervalAfterTheLastByte) {
  // The device answers 3 bytes less than asked for: the read ends 100 ms after them, not at 500 + 2n.
  EXPECT_EQ(sim->command("4 fault short"), "ok");
  const Bytes request = sealed({4, 0x11});
  link.port->purgeBeforeWrite();
  link.PortWrite(request.data(), static_cast<std::uint8_t>(request.size()));
  link.port->purgeAfterWrite();
  std::uint8_t reply[8];
  const double start = nowMs();
  EXPECT_EQ(link.PortRead(reply, 8), 5);
  const double took = nowMs() - start;
  std::printf("read of 8 with 5 arriving: %.1f ms\n", took);
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
  EXPECT_FALSE(ports->open(path));
  link.port.reset();
  auto again = ports->open(path);
  EXPECT_TRUE(again);
  EXPECT_FALSE(ports->open(path));
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

}  // namespace
}  // namespace duz::test
