// The line's statistics: every attempt counted under its request's address and classified from what
// the exchange saw, the median exchange time, the polling cycle's period, and the copy the Linux
// library's export gives its hosts.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "duz_version.h"
#include "host/shell/lifecycle.h"
#include "poll_world.h"

namespace duz::test {
namespace {

constexpr std::uint64_t kStartFileTime = 134096832000000000ull;  // FakeClock's time 0

// A link on a fake port with the module's read time-outs, one attempt per exchange as while polling.
class Counting : public ::testing::Test {
 protected:
  Counting() {
    auto owned = std::make_unique<FakeSerialPort>(clock);
    port = owned.get();
    port->setTimeouts({100, 2, 500});
    port->quiet = 1'000'000'000;  // the line has been quiet: no inter-frame pause to account for
    link.port = std::move(owned);
    link.pollingActive = 1;
  }
  // The transducer read of `address`: function 71, channel 0, one channel; 3 data bytes back.
  int exchange(std::uint8_t address = 5) {
    const Bytes request = withCrc({address, 71, 0, 1});
    std::uint8_t response[16];
    return link.Transaction(static_cast<int>(request.size()), request.data(), response, sizeof response);
  }
  static Bytes good(std::uint8_t address = 5) { return reply(address, 71, {0x20, 0x00, 0x00}); }

  FakeClock clock;
  Link link{clock};
  FakeSerialPort* port = nullptr;
};

TEST_F(Counting, EveryKindOfFailedAttemptIsCountedAndDated) {
  struct Case {
    const char* what;
    std::function<Bytes()> answer;
    AttemptOutcome kind;
  };
  const std::vector<Case> cases = {
      {"silence", [] { return Bytes{}; }, AttemptOutcome::NoAnswer},
      {"a reply that stops short",
       [] {
         return Bytes{5, 71, 3, 0x20};
       },
       AttemptOutcome::NoAnswer},
      {"a bad CRC",
       [] {
         Bytes b = good();
         b.back() ^= 0xFF;
         return b;
       },
       AttemptOutcome::BadCrc},
      {"an exception",
       [] {
         return withCrc({5, 71 | 0x80, 2});
       },
       AttemptOutcome::Exception},
      {"another address", [] { return good(6); }, AttemptOutcome::WrongAddress},
      {"another function",
       [] {
         return reply(5, 17, {1, 2, 3});
       },
       AttemptOutcome::WrongFunction},
      {"a length past the buffer",
       [] {
         return Bytes{5, 71, 0xFF};
       },
       AttemptOutcome::WrongFunction},
  };
  std::uint64_t exchanges = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    port->responder = [&](const Bytes&) { return c.answer(); };
    EXPECT_NE(exchange(), 0);
    // The failure is dated when its attempt ended, before the pause after it.
    const std::uint64_t endedMs = clock.monotonicMs() - 500;
    const AddressStatistics s = link.statistics.read(5);
    EXPECT_EQ(s.exchanges, ++exchanges);
    EXPECT_EQ(s.lastFailure, c.kind);
    EXPECT_EQ(s.lastFailureTime, kStartFileTime + endedMs * 10'000);
  }
  // A good exchange counts as an exchange and leaves the last failure standing.
  port->responder = [](const Bytes&) { return good(); };
  EXPECT_EQ(exchange(), 0);

  // A write that fails: the port took fewer bytes than the request has.
  port->writeLimit = 2;
  EXPECT_EQ(exchange(), -1);
  const AddressStatistics s = link.statistics.read(5);
  EXPECT_EQ(s.exchanges, exchanges + 2);
  EXPECT_EQ(s.noAnswer, 2u);
  EXPECT_EQ(s.badCrc, 1u);
  EXPECT_EQ(s.exceptions, 1u);
  EXPECT_EQ(s.wrongAddress, 1u);
  EXPECT_EQ(s.wrongFunction, 2u);
  EXPECT_EQ(s.writeFailed, 1u);
  EXPECT_EQ(s.lastFailure, AttemptOutcome::WriteFailed);
  // Counted under the request's address: the one that answered in its place has nothing.
  EXPECT_EQ(link.statistics.read(6).exchanges, 0u);
}

TEST_F(Counting, ARetriedExchangeCountsEachAttempt) {
  // Before polling an exchange makes up to ten body attempts: each bad CRC is counted.
  link.pollingActive = 0;
  port->responder = [](const Bytes&) {
    Bytes b = good();
    b[3] ^= 1;
    return b;
  };
  EXPECT_EQ(exchange(), -1);
  const AddressStatistics s = link.statistics.read(5);
  EXPECT_EQ(s.exchanges, 10u);
  EXPECT_EQ(s.badCrc, 10u);
  EXPECT_EQ(s.noAnswer + s.exceptions + s.wrongAddress + s.wrongFunction + s.writeFailed, 0u);
}

TEST_F(Counting, MedianOfTheLastGoodExchangesFromRequestToReply) {
  EXPECT_EQ(link.statistics.read(5).medianExchangeUs, 0u);  // none yet
  std::uint64_t takes = 0;
  port->responder = [&](const Bytes&) {
    clock.advance(takes);
    return good();
  };
  for (std::uint64_t ms : {30, 10, 20}) {
    takes = ms;
    exchange();
  }
  EXPECT_EQ(link.statistics.read(5).medianExchangeUs, 20'000u);
  takes = 40;
  exchange();
  EXPECT_EQ(link.statistics.read(5).medianExchangeUs, 25'000u);  // between the middle two
  // Failed exchanges have no part in it; the oldest good ones drop out after 64.
  port->responder = [](const Bytes&) { return Bytes{}; };
  exchange();
  port->responder = [&](const Bytes&) {
    clock.advance(7);
    return good();
  };
  for (int i = 0; i < LinkStatistics::kSamples - 2; ++i) exchange();
  EXPECT_EQ(link.statistics.read(5).medianExchangeUs, 7'000u);
}

TEST(LinkStatisticsExport, SlotsShowTheirAddressesAndTheCycleAsMeasured) {
  PollWorld w;
  w.port->quiet = 1'000'000'000;
  w.add(kModelCurrentLoop.view(), 9);
  w.add(kModelCurrentLoop.view(), 4);  // answers too short to be read
  RegisterTags(w.module);
  w.module.link.setup.name = "/dev/ttyUSB0";
  w.port->responder = [](const Bytes& request) -> Bytes {
    if (request[0] == 9) return reply(9, 71, {0x20, 0x00, 0x00});
    if (request[0] == 4) return reply(4, 71, {0x20});  // too few data bytes to read a value from
    return {};
  };
  DuzLinkStatistics out{};
  out.size = sizeof out;
  ASSERT_EQ(shell::fillLinkStatistics(&w.module, &out), 1u);
  EXPECT_EQ(out.cyclePeriodMs, 0u);  // no cycle has ended

  // A host thread reads while the polling thread counts: every copy is whole for each device.
  std::atomic<bool> polling{true};
  std::atomic<int> torn{0};
  std::thread host([&] {
    DuzLinkStatistics seen{};
    seen.size = sizeof seen;
    while (polling) {
      shell::fillLinkStatistics(&w.module, &seen);
      for (const DuzLinkDeviceStatistics& d : seen.devices)
        if (d.noAnswer + d.badCrc + d.exceptions + d.wrongAddress + d.wrongFunction > d.exchanges ||
            (d.lastFailure == DuzLinkFailureNone) != (d.lastFailureTime == 0))
          ++torn;
    }
  });
  int cycles = 0;
  runUntil(w, [&](std::uint64_t) { return w.world.clock.sleeps().back() == 1000 && ++cycles == 3; });
  polling = false;
  host.join();
  EXPECT_EQ(torn.load(), 0);
  ASSERT_EQ(shell::fillLinkStatistics(&w.module, &out), 1u);
  // 1000 ms, then per device 50 + 10 ms; the refused reply was a whole frame, so no pause followed it.
  EXPECT_EQ(out.cyclePeriodMs, 1000u + 60 + 60);
  EXPECT_STREQ(out.portName, "/dev/ttyUSB0");
  EXPECT_STREQ(out.version, kVersion);
  EXPECT_EQ(out.devices[0].exchanges, 2u);
  EXPECT_EQ(out.devices[0].lastFailure, DuzLinkFailureNone);
  EXPECT_EQ(out.devices[0].lastFailureTime, 0u);
  EXPECT_EQ(out.devices[1].exchanges, 2u);
  EXPECT_EQ(out.devices[1].wrongFunction, 2u);
  EXPECT_EQ(out.devices[1].lastFailure, DuzLinkFailureWrongFunction);
  EXPECT_EQ(out.devices[2].exchanges, 0u);

  // A caller's record ends where its size says; one too short for the port's fields gets nothing.
  DuzLinkStatistics older;
  std::memset(&older, 0x5A, sizeof older);
  older.size = offsetof(DuzLinkStatistics, devices) + sizeof(DuzLinkDeviceStatistics);
  ASSERT_EQ(shell::fillLinkStatistics(&w.module, &older), 1u);
  EXPECT_EQ(older.devices[0].exchanges, 2u);
  EXPECT_EQ(older.devices[1].exchanges, 0x5A5A5A5A5A5A5A5Aull);
  older.size = offsetof(DuzLinkStatistics, devices) - 1;
  EXPECT_EQ(shell::fillLinkStatistics(&w.module, &older), 0u);
  EXPECT_EQ(shell::fillLinkStatistics(&w.module, nullptr), 0u);
}

}  // namespace
}  // namespace duz::test
