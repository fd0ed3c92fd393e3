// The simulator as a program: its help, its refusal of bad bus files and arguments, its commands and
// its trace.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include "link_harness.h"

namespace duz::test {
namespace {

TEST(SimulatorProgram, HelpDocumentsTheBusFileAndCommands) {
  const Finished r = runToEnd({DUZ_SIM, "--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* part : {"Bus description file", "Example:", "device 2 DEK-04", "fault MODE", "--pace",
                           "--trace", "show [ADDRESS]"})
    EXPECT_NE(r.out.find(part), std::string::npos) << part;
}

TEST(SimulatorProgram, SampleBusFileStarts) {
  Child sim({DUZ_SIM, "--bus", DUZ_SAMPLE_BUS});
  const auto path = sim.readLine();
  ASSERT_TRUE(path) << sim.errorText();
  EXPECT_EQ(path->rfind("/dev/pts/", 0), 0u) << *path;
  std::string models;
  for (const auto& line : sim.commandLines("show"))
    if (line.rfind("device ", 0) == 0) models += line.substr(line.rfind(' ') + 1) + " ";
  EXPECT_EQ(models, "LUMA-12 DEK-04 VEKS-1 VEKS-2 ORTA ");
  sim.send("quit");
  EXPECT_EQ(sim.wait(3000), 0);
}

TEST(SimulatorProgram, BadBusFilesNameTheLineAndDoNotStart) {
  struct Case {
    const char* text;
    const char* where;
    const char* message;
  };
  const Case cases[] = {
      {"raw 5\n", ":1:", "before the first 'device'"},
      {"device 1 LUMA-12\n\ndevice 0 ORTA\n", ":3:", "bus address"},
      {"device 1 LUMA12\n", ":1:", "unknown model"},
      {"device 3 VEKS-1\ndevice 3 ORTA\n", ":2:", "already taken"},
      {"device 2 DEK-04\n  raw 100\n", ":2:", "no setting of a DEK-04"},
      {"device 2 DEK-04\n  coil 16 1\n", ":2:", "coils 0 to 15 and 240"},
      {"device 2 DEK-04\n  inputs 0x1FFFFFFFF\n", ":2:", "input bits"},
      {"device 1 LUMA-12\n  channel 0 0 \"123456789\"\n", ":2:", "at most 8"},
      {"device 1 LUMA-12\n  channel 0 0 \"open\n", ":2:", "not closed"},
      {"device 1 LUMA-12\n  modules 1 2 3\n", ":2:", "usage: modules"},
      {"device 5 ORTA\n  fault sleepy\n", ":2:", "unknown fault"},
      {"device 5 ORTA\n  raw twelve\n", ":2:", "must be a number"},
  };
  for (const Case& c : cases) {
    TempFile bus(c.text);
    const Finished r = runToEnd({DUZ_SIM, "--bus", bus.path()});
    EXPECT_EQ(r.status, 2) << c.text;
    EXPECT_TRUE(r.out.empty()) << c.text << r.out;  // no line was offered
    EXPECT_NE(r.err.find(bus.path() + c.where), std::string::npos) << c.text << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.text << r.err;
  }
}

TEST(SimulatorProgram, ServesANamedDevice) {
  // A pseudo-terminal of the test's own stands in for a serial device; the test is the master.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string device = ptsname(master);
  TempFile bus("device 4 VEKS-2\n  raw 0x1234\n  status 1\n");
  Child sim(
      {DUZ_SIM, "--bus", bus.path(), "--device", device, "--baud", "19200", "--parity", "E", "--stop", "1"});
  EXPECT_EQ(sim.readLine(), device) << sim.errorText();

  const Bytes request = sealed({4, 0x47, 0, 1});
  ASSERT_EQ(write(master, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  Bytes reply;
  const double end = nowMs() + 2000;
  while (reply.size() < 8 && nowMs() < end) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    std::uint8_t buffer[16];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n > 0) reply.insert(reply.end(), buffer, buffer + n);
  }
  EXPECT_EQ(reply, sealed({4, 0x47, 3, 0x12, 0x34, 0x01}));
  close(master);
}

TEST(SimulatorProgram, BadArgumentsAreRefused) {
  for (const std::vector<std::string>& argv : std::vector<std::vector<std::string>>{
           {DUZ_SIM},
           {DUZ_SIM, "--bus", "/nonexistent/bus"},
           {DUZ_SIM, "--bus", DUZ_SAMPLE_BUS, "--baud", "fast"},
           {DUZ_SIM, "--bus", DUZ_SAMPLE_BUS, "--colour"},
           {DUZ_SIM, "--bus", DUZ_SAMPLE_BUS, "--device", "/nonexistent/tty"},
       }) {
    const Finished r = runToEnd(argv);
    EXPECT_NE(r.status, 0) << argv.back();
    EXPECT_FALSE(r.err.empty()) << argv.back();
  }
}

TEST(SimulatorProgram, CommandsAnswerOkOrSayWhatIsWrong) {
  TempFile bus("device 3 VEKS-1\n");
  tools::Simulator sim(DUZ_SIM, {"--bus", bus.path()});
  ASSERT_TRUE(sim.started());
  EXPECT_EQ(sim.command("3 raw -5"), "ok");
  EXPECT_EQ(sim.command("3 fault slow 250"), "ok");
  EXPECT_EQ(sim.command("4 raw 1"), "error: no device at address 4");
  EXPECT_EQ(sim.command("3 coil 1 1"), "error: 'coil' is no setting of a VEKS-1");
  EXPECT_EQ(sim.command("3"), "error: a setting is missing after the address");
  EXPECT_EQ(sim.command("hello").rfind("error: a command is", 0), 0u);
  const auto lines = sim.commandLines("show 3");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "  raw -5"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "  fault slow 250"), lines.end());
}

TEST(SimulatorProgram, TraceShowsEveryFrame) {
  TempFile bus("device 3 VEKS-1\n  raw 258\n");
  tools::Simulator sim(DUZ_SIM, {"--bus", bus.path(), "--trace"});
  ASSERT_TRUE(sim.started());
  LineLink line;
  ASSERT_TRUE(line.open(sim.path()));
  line.link.pollingActive = 1;
  Bytes reply;
  ASSERT_EQ(line.exchange({3, 0x47, 0, 1}, reply), 0);
  EXPECT_EQ(line.exchange({7, 0x11}, reply), -1);
  EXPECT_FALSE(sim.commandLines("show 3").empty());  // the trace is written by now
  const std::string trace = sim.errorText();
  EXPECT_NE(trace.find("rx 03 47 00 01"), std::string::npos) << trace;
  EXPECT_NE(trace.find("tx 03 47 03 01 02 00"), std::string::npos) << trace;
  EXPECT_NE(trace.find("rx 07 11"), std::string::npos) << trace;
  EXPECT_NE(trace.find("no device at this address"), std::string::npos) << trace;
}

}  // namespace
}  // namespace duz::test
