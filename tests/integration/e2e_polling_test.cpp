// Polling end to end: published values following the instruments through a silence and a recovery,
// the host's write commands on the shared line, and unloading while the module polls.
#include <algorithm>
#include <cmath>

#include "e2e_harness.h"

namespace duz::test {
namespace {

// The measured value of a single-channel instrument in `slot`; NaN when the slot has no value tag.
float valueOf(const Json& snapshot, int slot) {
  const Device d = deviceOf(snapshot, slot);
  return d.analog.empty() ? std::nanf("") : static_cast<float>(d.analog[0].value);
}

TEST_F(EndToEnd, ValuesQualitiesAndOnlineFollowTheInstrumentsThroughASilenceAndARecovery) {
  startSimulator(kTwoTransducers);
  Host& host = startHost(searchScript(2), {"--seconds", "60", "--interval", "100"});
  ASSERT_TRUE(
      host.waitFor([](const Json& s) { return valueOf(s, 0) == 50.0f && valueOf(s, 1) == 75.0f; }, 15000));

  // New raw values are published scaled: 100 of 16383 is 0.61 %, 8192 is the top of -50 .. 200 °C.
  ASSERT_EQ(sim().command("1 raw 100"), "ok");
  ASSERT_EQ(sim().command("2 raw 8192"), "ok");
  ASSERT_EQ(sim().command("2 status 0x03"), "ok");
  const auto changed = host.waitFor(
      [](const Json& s) {
        const Device d = deviceOf(s, 1);
        return valueOf(s, 0) == 0.61f && valueOf(s, 1) == 200.0f && d.bit.at(0).value == 1 &&
               d.bit.at(1).value == 1;
      },
      8000);
  ASSERT_TRUE(changed);
  const Device answering = deviceOf(*changed, 1);
  EXPECT_EQ(answering.analog[0].quality, kGood);

  // Silent: two failing polls keep the last values, the third declares the device lost.
  ASSERT_EQ(sim().command("2 fault silent"), "ok");
  const std::size_t silentFrom = sim().trace().size();  // requests traced from here on go unanswered
  std::vector<Json> failing;
  const auto lost = host.waitFor(
      [&](const Json& s) {
        if (deviceOf(s, 1).online == 0) return true;
        failing.push_back(s);
        return false;
      },
      15000);
  ASSERT_TRUE(lost);
  for (const Json& s : failing) {
    const Device d = deviceOf(s, 1);
    ASSERT_EQ(d.analog[0].value, 200.0) << "t = " << s.at("t");
    ASSERT_EQ(d.analog[0].quality, kGood) << "t = " << s.at("t");
  }
  int unanswered = 0;
  const auto frames = sim().trace();
  for (std::size_t i = silentFrom; i < frames.size(); ++i)
    if (frames[i].received && frames[i].bytes.at(0) == 2) {
      EXPECT_EQ(frames[i].note, "silent");
      ++unanswered;
    }
  EXPECT_EQ(unanswered, 3) << "lost at the third failing poll";

  const Device gone = deviceOf(*lost, 1);
  EXPECT_EQ(gone.analog[0].value, 0.0);
  EXPECT_EQ(gone.analog[0].quality, kDeviceFailure);
  EXPECT_GT(gone.analog[0].timestamp, answering.analog[0].timestamp);
  for (const Tag& bit : gone.bit) {
    EXPECT_EQ(bit.value, 0) << bit.name;
    EXPECT_EQ(bit.quality, kDeviceFailure) << bit.name;
    EXPECT_EQ(bit.timestamp, gone.analog[0].timestamp) << bit.name;
  }
  ASSERT_EQ(gone.integer.size(), 1u);
  EXPECT_EQ(gone.integer[0].value, 2);
  EXPECT_EQ(gone.integer[0].quality, kGood);
  // The other instrument is not affected.
  const Device neighbour = deviceOf(*lost, 0);
  EXPECT_EQ(neighbour.online, 1);
  EXPECT_FLOAT_EQ(static_cast<float>(neighbour.analog[0].value), 0.61f);
  EXPECT_EQ(neighbour.analog[0].quality, kGood);

  // Answering again: fresh values and online at the next poll.
  ASSERT_EQ(sim().command("2 fault normal"), "ok");
  const auto back = host.waitFor([](const Json& s) { return deviceOf(s, 1).online == 1; }, 8000);
  ASSERT_TRUE(back);
  const Device recovered = deviceOf(*back, 1);
  EXPECT_EQ(recovered.analog[0].value, 200.0);
  EXPECT_EQ(recovered.analog[0].quality, kGood);
  for (const Tag& bit : recovered.bit) {
    EXPECT_EQ(bit.value, 1) << bit.name;
    EXPECT_EQ(bit.quality, kGood) << bit.name;
  }
  EXPECT_EQ(recovered.integer[0].quality, kGood);

  host.interrupt();
  EXPECT_EQ(host.finish(5000), 0);
}

TEST_F(EndToEnd, HostWritesReachTheAlarmInstrumentAsWholeExchanges) {
  // The alarm instrument at address 2 is slot 1: 10 inputs, 4 outputs, then bits 14 "Reset",
  // 15 "Cancellation of the signal system" and 16 "Mode of blocking". The first writes fall into the
  // first polling cycle, while the controller's long replies hold the line.
  startSampleBus();
  Host& host =
      runHost(searchScript(5), {"--seconds", "7", "--interval", "500", "--write", "1:14=1@1.1", "--write",
                                "1:13=1@1.2", "--write", "2:0=1@1.3", "--write", "1:17=1@1.35", "--write",
                                "1:16=1@1.4", "--write", "1:15=1@1.6", "--write", "1:16=0@5.5"});
  ASSERT_EQ(host.status(), 0);

  // An output bit, a transducer's slot and a bit beyond the device are refused.
  const auto writes = host.writes();
  ASSERT_EQ(writes.size(), 7u);
  const int results[] = {1, 0, 0, 0, 1, 1, 1};
  for (std::size_t i = 0; i < writes.size(); ++i)
    EXPECT_EQ(integerOf(writes[i].at("result")), results[i])
        << "write " << writes[i].at("slot") << ":" << writes[i].at("bit");

  // Every request has its whole reply right after it, nothing garbled, and the accepted writes are
  // the exact write-coil frames, echoed.
  const auto frames = sim().trace();
  std::vector<std::string> coilWrites;
  for (std::size_t i = 0; i < frames.size(); i += 2) {
    const TraceFrame& request = frames[i];
    ASSERT_TRUE(request.received) << "frame " << i << " is a reply without a request";
    ASSERT_EQ(request.note, "") << hexText(request.bytes);
    ASSERT_LT(i + 1, frames.size()) << "no reply to " << hexText(request.bytes);
    const TraceFrame& reply = frames[i + 1];
    ASSERT_FALSE(reply.received) << "two requests in a row: " << hexText(reply.bytes);
    ASSERT_GE(reply.bytes.size(), 2u);
    EXPECT_EQ(reply.bytes[0], request.bytes.at(0));
    EXPECT_EQ(reply.bytes[1], request.bytes.at(1));
    if (request.bytes[1] == 5) {
      coilWrites.push_back(hexText(request.bytes));
      EXPECT_EQ(reply.bytes, request.bytes);
    }
  }
  EXPECT_EQ(coilWrites, (std::vector<std::string>{"02 05 00 01 FF 00 DD C9", "02 05 00 F0 00 00 CD CA",
                                                  "02 05 00 00 FF 00 8C 09", "02 05 00 F0 FF 00 8C 3A"}));
  const auto state = sim().show(2);
  EXPECT_NE(std::find(state.begin(), state.end(), "  coils 0x0053"), state.end()) << "coils 0 and 1 set";
  EXPECT_NE(std::find(state.begin(), state.end(), "  coil 240 1"), state.end()) << "blocking mode off again";

  // The commands read back as 0; blocking mode as written, stored at once and then read back by polls.
  std::int64_t blockingStamp = -1;
  bool republished = false;
  for (const Json& s : host.snapshots()) {
    const std::int64_t t = integerOf(s.at("t"));
    const Device dek = deviceOf(s, 1);
    ASSERT_EQ(dek.bit.size(), 17u);
    EXPECT_EQ(dek.bit[14].value, 0) << "Reset at t = " << t;
    EXPECT_EQ(dek.bit[15].value, 0) << "Cancellation at t = " << t;
    if (t >= 1500 && t < 5500) {
      EXPECT_EQ(dek.bit[16].value, 1) << "Mode of blocking at t = " << t;
      if (blockingStamp >= 0 && dek.bit[16].timestamp != blockingStamp) republished = true;
      blockingStamp = dek.bit[16].timestamp;
    } else if (t >= 5500) {
      EXPECT_EQ(dek.bit[16].value, 0) << "Mode of blocking at t = " << t;
    }
  }
  EXPECT_TRUE(republished) << "a poll read blocking mode back after the write";
}

TEST_F(EndToEnd, UnloadingWhilePollingIsPromptAndClean) {
  // A cycle of the sample bus lasts about two seconds: one second's sleep, 5 × 50 ms and the exchanges.
  // The runs end at different points of it.
  startSampleBus();
  ASSERT_EQ(runHost(searchScript(5), {"--seconds", "0"}).status(), 0);
  for (const char* seconds : {"2.7", "3", "3.4"}) {
    const std::size_t from = sim().trace().size();
    Host& host = runHost("answer no", {"--seconds", seconds, "--interval", "100"});
    EXPECT_EQ(host.status(), 0) << "run of " << seconds << " s";
    EXPECT_EQ(host.err().find("Sanitizer"), std::string::npos) << host.err();
    EXPECT_LT(host.unloadMs(), 1000.0) << "run of " << seconds << " s";
    int measurements = 0;
    const auto frames = sim().trace();
    for (std::size_t i = from; i < frames.size(); ++i) measurements += frames[i].bytes.at(1) == 0x47;
    EXPECT_GT(measurements, 0) << "it was polling";
  }
}

TEST_F(EndToEnd, UnloadDuringAnExchangeWithASilentDeviceWaitsOutOnlyItsReadTimeOut) {
  // The first request goes out about 1064 ms after the load (1000 + 50 + 10 ms and the gap); a silent
  // device then holds the thread for the 506 ms read time-out, but not for the 500 ms pause after it.
  startSimulator("device 1 ORTA\n");
  ASSERT_EQ(runHost(searchScript(1), {"--seconds", "0"}).status(), 0);
  ASSERT_EQ(sim().command("1 fault silent"), "ok");
  Host& host = runHost("answer no", {"--seconds", "1.2", "--interval", "100"});
  EXPECT_EQ(host.status(), 0);
  EXPECT_LT(host.unloadMs(), 700.0);
  const auto frames = sim().trace();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().note, "silent") << "unloaded during the exchange";
}

}  // namespace
}  // namespace duz::test
