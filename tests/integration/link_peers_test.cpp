// Real Modbus peers: mbpoll as master against the simulator, a libmodbus slave against our master.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <regex>

#include "link/link.h"
#include "link_process.h"
#include "platform/system.h"

namespace duz::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kAlarmBus[] = R"(
device 2 DEK-04
  inputs 0x0000A53C
  coils 0x0102
  coil 240 1
)";

// "[N]: \tV" lines of mbpoll's output, by reference.
std::map<int, int> mbpollValues(const std::string& out) {
  std::map<int, int> values;
  const std::regex line(R"(\[(\d+)\]:\s+(-?\d+))");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it)
    values[std::stoi((*it)[1])] = std::stoi((*it)[2]);
  return values;
}

class MbpollAgainstSimulator : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(DUZ_MBPOLL, X_OK) != 0) GTEST_SKIP() << "mbpoll is not installed (scripts/install-deps.sh)";
    const auto line = sim.readLine();
    ASSERT_TRUE(line) << sim.errorText();
    path = *line;
  }
  Finished mbpoll(const std::vector<std::string>& args) {
    std::vector<std::string> argv{DUZ_MBPOLL, "-m", "rtu",  "-a", "2", "-b",
                                  "9600",     "-P", "none", "-s", "2", "-0"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runToEnd(argv);
  }

  TempFile bus{kAlarmBus};
  Child sim{{DUZ_SIM, "--bus", bus.path()}};
  std::string path;
};

TEST_F(MbpollAgainstSimulator, ReadsDiscreteInputs) {
  const Finished r = mbpoll({"-t", "1", "-r", "0", "-c", "32", "-1", path});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto values = mbpollValues(r.out);
  ASSERT_EQ(values.size(), 32u) << r.out;
  for (int i = 0; i < 32; ++i) EXPECT_EQ(values.at(i), (0xA53C >> i) & 1) << "input " << i;
}

TEST_F(MbpollAgainstSimulator, ReadsCoilsAndWritesTheBlockingCoil) {
  Finished r = mbpoll({"-t", "0", "-r", "0", "-c", "16", "-1", path});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto values = mbpollValues(r.out);
  ASSERT_EQ(values.size(), 16u) << r.out;
  for (int i = 0; i < 16; ++i) EXPECT_EQ(values.at(i), (0x0102 >> i) & 1) << "coil " << i;

  r = mbpoll({"-t", "0", "-r", "240", path, "0"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = mbpoll({"-t", "0", "-r", "240", "-c", "1", "-1", path});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(mbpollValues(r.out).at(240), 0);
  sim.send("show 2");
  bool seen = false;
  while (auto line = sim.readLine()) {
    if (*line == "ok") break;
    seen = seen || *line == "  coil 240 0";
  }
  EXPECT_TRUE(seen);
}

#ifdef DUZ_MODBUS_SLAVE
Bytes sealed(Bytes frame) {
  frame.resize(frame.size() + 2);
  putCrc(frame.data(), static_cast<int>(frame.size()));
  return frame;
}

class LinkAgainstLibmodbusSlave : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto line = slave.readLine();
    ASSERT_TRUE(line) << slave.errorText();
    link.port = ports->open(*line);
    ASSERT_TRUE(link.port);
    ASSERT_TRUE(link.port->configure("baud=9600 parity=N data=8 stop=2"));
    link.port->setTimeouts({100, 2, 500});
    link.pollingActive = 1;
  }
  int exchange(const Bytes& request, Bytes& data) {
    const Bytes frame = sealed(request);
    std::uint8_t response[260];
    const int r = link.Transaction(static_cast<int>(frame.size()), frame.data(), response, sizeof response);
    data.clear();
    if (r == 0 && request[1] == 5) data.assign(response, response + 8);
    if (r == 0 && request[1] != 5) data.assign(response + 3, response + 3 + response[2]);
    return r;
  }

  Child slave{{DUZ_MODBUS_SLAVE}};
  std::unique_ptr<Clock> clock = makeSystemClock();
  std::unique_ptr<SerialPorts> ports = makeSystemSerialPorts();
  Link link{*clock};
};

TEST_F(LinkAgainstLibmodbusSlave, ReadsInputsAndCoilsAndWritesACoil) {
  Bytes data;
  ASSERT_EQ(exchange({17, 2, 0, 0, 0, 32}, data), 0);
  EXPECT_EQ(data, (Bytes{0xA5, 0xF0, 0x21, 0x84}));
  ASSERT_EQ(exchange({17, 1, 0, 0, 0, 16}, data), 0);
  EXPECT_EQ(data, (Bytes{0x08, 0x00}));
  ASSERT_EQ(exchange({17, 1, 0, 0xF0, 0, 1}, data), 0);
  EXPECT_EQ(data, (Bytes{0x01}));

  ASSERT_EQ(exchange({17, 5, 0, 0xF0, 0, 0}, data), 0);
  EXPECT_EQ(data, sealed({17, 5, 0, 0xF0, 0, 0}));
  ASSERT_EQ(exchange({17, 1, 0, 0xF0, 0, 1}, data), 0);
  EXPECT_EQ(data, (Bytes{0x00}));
}

TEST_F(LinkAgainstLibmodbusSlave, FunctionItDoesNotKnowIsAnExceptionReply) {
  Bytes data;
  EXPECT_EQ(exchange({17, 0x44}, data), kWrongFunction);  // the parameter request
}
#endif

}  // namespace
}  // namespace duz::test
