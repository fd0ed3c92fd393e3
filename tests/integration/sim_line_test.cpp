// The simulator's sick line, as the soak uses it: noise, a line that goes and comes back behind the
// same link name, and a record that holds every byte it served.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "link_harness.h"
#include "temp_dir.h"

namespace duz::test {
namespace {

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(SimulatorLine, NoiseLossAndReturnAreServedAndRecorded) {
  TempDir dir("duzevod-sim-line");
  TempFile bus("device 3 VEKS-1\n  raw 258\n");
  const std::string record = dir.path() + "/record", link = dir.path() + "/line";
  tools::Simulator sim(DUZ_SIM, {"--bus", bus.path(), "--record", record, "--link", link});
  ASSERT_TRUE(sim.started()) << sim.errorText();
  EXPECT_EQ(std::filesystem::read_symlink(link), sim.path());

  Bytes reply;
  {
    LineLink line;
    ASSERT_TRUE(line.open(link));
    line.link.pollingActive = 1;
    ASSERT_EQ(line.exchange({3, 0x47, 0, 1}, reply), 0);

    // Every reply hit inside, bursts in between: no exchange gets through whole.
    EXPECT_EQ(sim.command("noise 20 100"), "ok");
    EXPECT_NE(line.exchange({3, 0x47, 0, 1}, reply), 0);
    usleep(200'000);
    EXPECT_EQ(sim.command("noise off"), "ok");
    EXPECT_EQ(sim.command("noise 0"), "error: usage: noise off | noise MEAN_MS [PERCENT]");

    EXPECT_EQ(sim.command("line drop"), "ok");
    EXPECT_EQ(line.exchange({3, 0x47, 0, 1}, reply), -1);
    EXPECT_EQ(sim.command("line drop"), "error: the line is already down");
  }
  const auto lines = sim.commandLines("line up");
  ASSERT_EQ(lines.size(), 1u) << sim.errorText();
  EXPECT_EQ(std::filesystem::read_symlink(link), lines[0]);
  LineLink again;
  ASSERT_TRUE(again.open(link));
  again.link.pollingActive = 1;
  ASSERT_EQ(again.exchange({3, 0x47, 0, 1}, reply), 0);
  EXPECT_EQ(reply, sealed({3, 0x47, 3, 0x01, 0x02, 0x00}));  // the device kept its state
  EXPECT_TRUE(sim.commandLines("show 3").size() > 0);        // everything is recorded by now

  const std::string text = fileText(record);
  const Bytes good = sealed({3, 0x47, 3, 0x01, 0x02, 0x00});
  char goodHex[64];
  std::snprintf(goodHex, sizeof goodHex, "tx %02X %02X %02X %02X %02X %02X %02X %02X", good[0], good[1],
                good[2], good[3], good[4], good[5], good[6], good[7]);
  for (const std::string& part : {std::string(" line ") + sim.path() + "\n", std::string(" rx 03 47 00 01 "),
                                  std::string(goodHex) + "\n", std::string(" noise "), std::string(" drop\n"),
                                  " line " + lines[0] + "\n"})
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  // A spoilt reply is recorded as it went out: longer than the good one.
  std::istringstream in(text);
  int longer = 0;
  for (std::string l; std::getline(in, l);)
    if (l.find(" tx 03 ") != std::string::npos && l.size() > l.find(" tx ") + 4 + 3 * good.size()) ++longer;
  EXPECT_GE(longer, 1) << text;
}

}  // namespace
}  // namespace duz::test
