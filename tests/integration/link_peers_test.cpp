// Real Modbus peers: mbpoll as master against the simulator, a libmodbus slave against our master.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>

#include "link/link.h"
#include "link_harness.h"

namespace duz::test {
namespace {

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
    ASSERT_TRUE(sim.started()) << sim.errorText();
    path = sim.path();
  }
  Finished mbpoll(const std::vector<std::string>& args) {
    std::vector<std::string> argv{DUZ_MBPOLL, "-m", "rtu",  "-a", "2", "-b",
                                  "9600",     "-P", "none", "-s", "2", "-0"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runToEnd(argv);
  }

  TempFile bus{kAlarmBus};
  tools::Simulator sim{DUZ_SIM, {"--bus", bus.path()}};
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
  const auto state = sim.commandLines("show 2");
  EXPECT_NE(std::find(state.begin(), state.end(), "  coil 240 0"), state.end());
}

#ifdef DUZ_MODBUS_SLAVE
class LinkAgainstLibmodbusSlave : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto line = slave.readLine();
    ASSERT_TRUE(line) << slave.errorText();
    ASSERT_TRUE(line_.open(*line));
    line_.link.pollingActive = 1;
  }
  // Data bytes of a reply with a byte count; the whole echo of a write.
  int exchange(const Bytes& request, Bytes& data) {
    const int r = line_.exchange(request, data);
    if (r == 0 && request[1] != 5) data = Bytes(data.begin() + 3, data.end() - 2);
    return r;
  }

  Child slave{{DUZ_MODBUS_SLAVE}};
  LineLink line_;
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
