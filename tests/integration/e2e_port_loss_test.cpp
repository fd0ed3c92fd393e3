// A line that vanishes and comes back, as a USB adapter pulled and plugged in again: the simulator
// ends, a new one starts on another pseudo-terminal, and the configured name (a symlink, as
// /dev/serial/by-id/... is) is pointed at it. The module must find its devices again by itself.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

#include "e2e_harness.h"

namespace duz::test {
namespace {

bool allOnline(const Json& snapshot, int online) {
  for (int slot = 0; slot < 5; ++slot)
    if (deviceOf(snapshot, slot).online != online) return false;
  return true;
}

// The symlink replaced in one step, so the module never finds the name missing halfway.
void pointAt(const std::string& link, const std::string& target) {
  const std::string fresh = link + ".new";
  std::filesystem::remove(fresh);
  std::filesystem::create_symlink(target, fresh);
  std::filesystem::rename(fresh, link);
}

TEST_F(EndToEnd, DevicesComeBackWhenTheLostLineReturns) {
  const std::string line = dir() + "/line";
  const std::string tracePath = dir() + "/frames.log";
  auto first = std::make_unique<Simulator>(DUZ_SAMPLE_BUS);
  pointAt(line, first->pty());
  setenv("DUZEVOD_TRACE", tracePath.c_str(), 1);
  Host host(dir(), line, "dialog port=" + line + " limit=5 search; dialog exit",
            {"--seconds", "60", "--interval", "100"});
  unsetenv("DUZEVOD_TRACE");
  const auto report = [&] { return host.transcript() + "module trace:\n" + readBytes(tracePath); };

  ASSERT_TRUE(host.waitFor([](const Json& s) { return allOnline(s, 1); }, 30000)) << report();

  // Unplugged: every device goes lost after its three failing polls, and stays so. As udev does with
  // /dev/serial/by-id/..., the name goes with the line.
  first.reset();
  std::filesystem::remove(line);
  ASSERT_TRUE(host.waitFor([](const Json& s) { return allOnline(s, 0); }, 10000)) << report();
  const auto lost = host.waitFor([](const Json&) { return true; }, 3000);
  ASSERT_TRUE(lost);
  for (int slot = 0; slot < 5; ++slot) {
    const Device d = deviceOf(*lost, slot);
    EXPECT_EQ(d.online, 0) << "slot " << slot;
    for (const Tag& t : d.bit) EXPECT_EQ(t.quality, kDeviceFailure) << t.name;
    EXPECT_EQ(d.integer.at(0).quality, kGood);
  }

  // Plugged in again: a new line under the same name. A cycle of the sample bus takes about two
  // seconds; the devices must be back within two.
  Simulator second(DUZ_SAMPLE_BUS);
  pointAt(line, second.pty());
  const double back = nowMs();
  ASSERT_TRUE(host.waitFor([](const Json& s) { return allOnline(s, 1); }, 15000)) << report();
  const double ms = nowMs() - back;
  std::cout << "devices back " << ms << " ms after the line\n";
  EXPECT_LT(ms, 4500.0) << report();
  const auto fresh = host.waitFor([](const Json&) { return true; }, 3000);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(deviceOf(*fresh, 2).analog.at(0).quality, kGood);

  host.interrupt();
  EXPECT_EQ(host.finish(5000), 0) << report();
  EXPECT_EQ(host.err().find("Sanitizer"), std::string::npos) << host.err();
  const std::string trace = readBytes(tracePath);
  EXPECT_NE(trace.find(" port " + line + " lost: "), std::string::npos) << trace;
  EXPECT_NE(trace.find(" port " + line + " back\n"), std::string::npos) << trace;
  // Nothing asked anyone while the line was away.
  EXPECT_EQ(host.err().find("COM-"), std::string::npos) << host.err();
}

}  // namespace
}  // namespace duz::test
