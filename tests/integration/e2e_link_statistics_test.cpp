// The line's statistics over a real line: the module loaded in this process as a gateway loads it,
// counting what the simulator's faults did to its replies.
#include <stdlib.h>

#include <chrono>
#include <thread>

#include "duz_version.h"
#include "e2e_harness.h"
#include "host/shell/link_statistics.h"
#include "module_library.h"

namespace duz::test {
namespace {

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

int countFrames(const std::vector<TraceFrame>& frames, bool received, std::uint8_t address,
                const std::string& note) {
  int n = 0;
  for (const TraceFrame& f : frames)
    n += f.received == received && !f.bytes.empty() && f.bytes[0] == address && f.note == note;
  return n;
}

TEST_F(EndToEnd, LinkStatisticsCountWhatTheSimulatorsFaultsDid) {
  startSimulator(kTwoTransducers);
  setenv("DUZEVOD_DIR", dir().c_str(), 1);
  setenv("DUZEVOD_PORTS", pty().c_str(), 1);
  setenv("DUZEVOD_OPERATOR", searchScript(2).c_str(), 1);
  unsetenv("DUZEVOD_TRACE");
  std::string error;
  auto module = tools::ModuleLibrary::load(DUZ_MODULE, error);
  ASSERT_TRUE(module) << error;
  const auto statistics = module->function<DuzevodLinkStatisticsFn>("DuzevodLinkStatistics");
  ASSERT_TRUE(statistics);
  DuzLinkStatistics s{};
  s.size = sizeof s;
  const auto read = [&] { return statistics(&s) == 1; };

  // Polling: a full cycle has ended.
  ASSERT_TRUE(waitUntil([&] { return read() && s.cyclePeriodMs > 0; }, 10000));
  const std::int64_t faultFrom = fileTimeNow();
  ASSERT_EQ(sim().command("1 fault badcrc"), "ok");
  ASSERT_TRUE(waitUntil([&] { return countFrames(sim().trace(), false, 1, "bad CRC") >= 3; }, 15000));
  ASSERT_EQ(sim().command("1 fault normal"), "ok");
  // Once the second device's reply has gone out, the first device's exchange of that cycle has ended
  // and its next is a second away.
  std::vector<TraceFrame> frames;
  ASSERT_TRUE(waitUntil(
      [&] {
        frames = sim().trace();
        return countFrames(frames, false, 1, "") > 0 && !frames.back().received &&
               frames.back().bytes[0] == 2 && frames.back().note.empty() && read();
      },
      10000));
  const std::int64_t readAt = fileTimeNow();

  // Nothing else went wrong on a healthy pseudo-terminal: each request the simulator saw from the
  // module (its search included) is one attempt, and each bad CRC it sent one failure.
  EXPECT_EQ(countFrames(frames, false, 1, "bad CRC"), 3);
  const DuzLinkDeviceStatistics& d = s.devices[0];
  EXPECT_EQ(d.badCrc, 3u);
  EXPECT_EQ(d.exchanges, static_cast<std::uint64_t>(countFrames(frames, true, 1, "")));
  EXPECT_EQ(d.noAnswer + d.exceptions + d.wrongAddress + d.wrongFunction, 0u);
  EXPECT_EQ(d.lastFailure, DuzLinkFailureBadCrc);
  EXPECT_GE(static_cast<std::int64_t>(d.lastFailureTime), faultFrom);
  EXPECT_LE(static_cast<std::int64_t>(d.lastFailureTime), readAt);
  EXPECT_GT(d.medianExchangeUs, 0u);

  const DuzLinkDeviceStatistics& other = s.devices[1];
  EXPECT_GT(other.exchanges, 0u);
  EXPECT_EQ(other.noAnswer + other.badCrc + other.exceptions + other.wrongAddress + other.wrongFunction, 0u);
  EXPECT_EQ(other.lastFailure, DuzLinkFailureNone);
  EXPECT_EQ(other.lastFailureTime, 0u);
  EXPECT_EQ(s.devices[2].exchanges, 0u);

  EXPECT_EQ(s.portState, DuzPortOpen);
  EXPECT_EQ(s.reopenedCount, 0u);
  EXPECT_STREQ(s.portName, pty().c_str());
  EXPECT_STREQ(s.version, kVersion);
  EXPECT_GE(s.cyclePeriodMs, 1000u + 2 * 60);
  EXPECT_TRUE(module->unload(error)) << error;
}

}  // namespace
}  // namespace duz::test
