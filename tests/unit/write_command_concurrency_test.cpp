#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "poll_world.h"

namespace duz::test {
namespace {

// Plays an alarm instrument (address 1) and a current-loop module (address 2) on one line, and notes
// every exchange that begins while another is still unfinished.
class OverlapDetectingPort : public SerialPort {
 public:
  bool configure(const std::string&) override { return true; }
  void setTimeouts(const CommTimeouts&) override {}
  void purgeBeforeWrite() override {
    if (inExchange_.exchange(true)) ++overlaps;
    std::this_thread::yield();  // widen the window a second exchange would fall into
    std::lock_guard lock(mutex_);
    rx_.clear();
  }
  void purgeAfterWrite() override {}
  int write(const std::uint8_t* buffer, int count) override {
    const Bytes request(buffer, buffer + count);
    (request[1] == 5 ? writes : polls)++;
    const Bytes answer = respond(request);
    std::this_thread::yield();
    std::lock_guard lock(mutex_);
    rx_.assign(answer.begin(), answer.end());
    return count;
  }
  int read(std::uint8_t* buffer, int count) override {
    std::lock_guard lock(mutex_);
    int n = 0;
    while (n < count && !rx_.empty()) {
      buffer[n++] = rx_.front();
      rx_.pop_front();
    }
    if (rx_.empty()) inExchange_ = false;  // the whole reply has been taken
    return n;
  }

  std::atomic<int> overlaps{0};
  std::atomic<int> polls{0};
  std::atomic<int> writes{0};

 private:
  static Bytes respond(const Bytes& r) {
    if (r[1] == 5) return r;
    if (r[1] == 71) return reply(r[0], 71, {0x10, 0x00, 0x01});
    if (r[1] == 2) return reply(r[0], 2, {0x0F, 0x00, 0x00, 0x00});
    return reply(r[0], 1, r[3] == 0xF0 ? Bytes{0x01} : Bytes{0xF0, 0x00});
  }

  std::atomic<bool> inExchange_{false};
  std::mutex mutex_;
  std::deque<std::uint8_t> rx_;
};

// Counts publications without touching the handle records (the writers store into them).
class CountingHost : public HostLibrary {
 public:
  void exposeAnTag(AnalogTagHandle*, float, std::uint32_t, std::uint64_t) override { ++count; }
  void exposeBitTag(BitTagHandle*, std::int32_t, std::uint32_t, std::uint64_t) override { ++count; }
  void exposeIntTag(IntTagHandle*, std::int32_t, std::uint32_t, std::uint64_t) override { ++count; }
  std::atomic<int> count{0};
};

// Virtual time that lets the other threads run after each sleep, so that writers waiting for the bus
// do not crowd the polling thread out of the clock.
class YieldingClock : public FakeClock {
 public:
  bool sleepMs(std::uint32_t ms, StopSignal* stop) override {
    const bool full = FakeClock::sleepMs(ms, stop);
    std::this_thread::yield();
    return full;
  }
};

TEST(SetBitTagValue, WritesFromHostThreadsNeverInterleaveWithPolling) {
  FakeWorld world;
  YieldingClock clock;
  CountingHost host;
  Module module(Platform{clock, world.ports, world.op, world.locale, world.directory, world.files, host});
  auto owned = std::make_unique<OverlapDetectingPort>();
  OverlapDetectingPort& port = *owned;
  module.link.port = std::move(owned);
  module.configuredCount = 2;
  const auto configure = [&](int slot, std::string_view model, std::uint8_t address) {
    module.deviceConfig[slot].byte0(cell::kBusAddress) = address;
    std::memcpy(module.deviceConfig[slot].text(cell::kModelName), model.data(), model.size());
  };
  configure(0, kModelAlarm.view(), 1);
  std::strcpy(module.deviceConfig[0].text(cell::kAlarmVariant), "9852");
  configure(1, kModelCurrentLoop.view(), 2);
  RegisterTags(module);

  // A safety net: however the threads are scheduled, the run ends after ten virtual hours.
  clock.onSleep = [&](std::uint64_t now) {
    if (now > 36'000'000) module.pollingThread.stopSignal().request();
  };
  module.pollingThread.start();

  // Each writer writes while the thread polls, at least kWrites times and until kPolls polling
  // exchanges have been made.
  constexpr int kPolls = 200;
  constexpr int kWrites = 100;
  std::atomic<int> refused{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; (i < kWrites || port.polls < kPolls) && !module.pollingThread.stopSignal().requested();
           ++i) {
        const std::uint32_t bit = 14 + static_cast<std::uint32_t>((t + i) % 3);
        if (module.SetBitTagValue(bit, static_cast<std::uint32_t>(i & 1)) != 1) ++refused;
      }
    });
  }
  for (auto& w : writers) w.join();
  module.pollingThread.stop();

  EXPECT_EQ(port.overlaps, 0);
  EXPECT_GE(port.polls, kPolls);
  EXPECT_GE(port.writes, 3 * kWrites);
  EXPECT_EQ(refused, 0);
  EXPECT_GT(host.count, 0);
}

}  // namespace
}  // namespace duz::test
