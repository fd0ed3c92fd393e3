#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "poll_world.h"

namespace duz::test {
namespace {

// An ORTA at `address` that answers raw 8192, status 0, while `answering` says so.
std::function<Bytes(const Bytes&)> currentLoop(std::uint8_t address, const bool& answering) {
  return [address, &answering](const Bytes& request) {
    if (!answering || request[0] != address || request[1] != 71) return Bytes{};
    return reply(address, 71, {0x20, 0x00, 0x00});
  };
}

TEST(PollingThread, CycleSleepsExactly) {
  PollWorld w;
  w.add(kModelCurrentLoop.view(), 1);
  w.addController(2, {1, 0, 0, 0, 0, 1, 0, 0}, "2000");
  w.add("none", 3);
  w.add(kModelCurrentLoop.view(), 4);  // silent: one attempt, 500 ms after it
  RegisterTags(w.module);
  w.port->responder = [](const Bytes& request) -> Bytes {
    if (request[0] == 1) return reply(1, 71, {0, 0, 0});
    if (request[0] == 2) return reply(2, 71, Bytes(54 * (request[3] / 6), ' '));
    return {};
  };
  int cycles = 0;
  runUntil(w, [&](std::uint64_t) { return w.world.clock.sleeps().back() == 1000 && ++cycles == 2; });
  // 50 ms before each device and 10 ms before each exchange; a device's first exchange sleeps both at
  // once, and a device that makes none still waits its 50 ms.
  EXPECT_EQ(w.world.clock.sleeps(), (std::vector<std::uint32_t>{1000, 60, 60, 10, 50, 60, 500, 1000}));
  EXPECT_EQ(w.module.link.pollingActive.load(), 1);
}

TEST(PollingThread, WithoutDevicesOnlySleeps) {
  PollWorld w;
  runUntil(w, [](std::uint64_t now) { return now >= 3000; });
  EXPECT_EQ(w.world.clock.sleeps(), (std::vector<std::uint32_t>{1000, 1000, 1000}));
  EXPECT_TRUE(w.world.host.take().empty());
  EXPECT_TRUE(w.port->writes().empty());
}

TEST(PollingThread, DeviceIsLostFromItsThirdFailingPollInARow) {
  PollWorld w;
  w.add(kModelCurrentLoop.view(), 7);
  RegisterTags(w.module);
  bool answering = false;
  w.port->responder = currentLoop(7, answering);
  const DeviceStatusRecord& record = w.module.deviceStatusTable[0];

  // Fail, fail, answer: never lost, and nothing but the device number while failing.
  for (int poll = 1; poll <= 2; ++poll) {
    const auto log = w.cycle();
    ASSERT_EQ(log.size(), 1u) << poll;
    EXPECT_EQ(log[0].kind, 'i');
    EXPECT_EQ(readOnline(record), 1);
  }
  EXPECT_EQ(w.module.failedCycles[0], 2);
  answering = true;
  EXPECT_EQ(w.cycle().size(), 4u);
  EXPECT_EQ(w.module.failedExchanges[0], 0);
  EXPECT_EQ(w.module.failedCycles[0], 0);

  // Three failing polls in a row: lost in the third and in every later failing poll.
  answering = false;
  EXPECT_EQ(w.cycle().size(), 1u);
  EXPECT_EQ(w.cycle().size(), 1u);
  for (int poll = 3; poll <= 4; ++poll) {
    const auto log = w.cycle();
    ASSERT_EQ(log.size(), 4u);
    // Bits first, then the value, all 0 and bad; the device number stays good.
    EXPECT_EQ(log[0].handle, w.bit(0, 0));
    EXPECT_EQ(log[1].handle, w.bit(0, 1));
    EXPECT_EQ(log[2].handle, w.analog(0, 0));
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(log[i].value, 0.0);
      EXPECT_EQ(log[i].quality, QualityDeviceFailure);
      EXPECT_EQ(log[i].timestamp, log[3].timestamp);
    }
    EXPECT_EQ(log[3].handle, w.integer(0, 0));
    EXPECT_EQ(log[3].value, 7.0);
    EXPECT_EQ(log[3].quality, QualityGood);
    EXPECT_EQ(readOnline(record), 0);
  }

  // The first answer brings it back.
  answering = true;
  const auto log = w.cycle();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].quality, QualityGood);
  EXPECT_EQ(readOnline(record), 1);
}

TEST(PollingThread, CountersSaturateInsteadOfWrapping) {
  PollWorld w;
  w.add(kModelCurrentLoop.view(), 7);
  RegisterTags(w.module);
  for (int poll = 0; poll < 300; ++poll) w.cycle();
  EXPECT_EQ(w.module.failedExchanges[0], 255);
  EXPECT_EQ(w.module.failedCycles[0], 255);
  EXPECT_EQ(w.cycle().size(), 4u);  // still reported lost
}

TEST(PollingThread, DeviceNumberCarriesTheLatestTimestamp) {
  PollWorld w;
  w.add(kModelCurrentLoop.view(), 9);
  w.add(kModelCurrentLoop.view(), 10);
  RegisterTags(w.module);
  bool answering = false;
  w.port->responder = currentLoop(10, answering);
  answering = true;

  const auto log = w.cycle();
  ASSERT_EQ(log.size(), 5u);
  // Slot 0 failed before any timestamp was taken.
  EXPECT_EQ(log[0].handle, w.integer(0, 0));
  EXPECT_EQ(log[0].value, 9.0);
  EXPECT_EQ(log[0].quality, QualityGood);
  EXPECT_EQ(log[0].timestamp, 0u);
  // Slot 1's group and its device number share one timestamp.
  EXPECT_NE(log[1].timestamp, 0u);
  for (int i = 2; i < 5; ++i) EXPECT_EQ(log[i].timestamp, log[1].timestamp);
  EXPECT_EQ(log[4].handle, w.integer(1, 0));

  // The next failing poll of slot 0 reuses the latest one.
  const auto next = w.cycle();
  EXPECT_EQ(next[0].handle, w.integer(0, 0));
  EXPECT_EQ(next[0].timestamp, log[4].timestamp);
}

TEST(PollingThread, UnknownModelIsNeitherReadNorPublished) {
  PollWorld w;
  w.add("LUMA-12", 3);
  RegisterTags(w.module);
  w.port->responder = [](const Bytes&) { return reply(3, 71, {0, 0, 0}); };
  EXPECT_TRUE(w.cycle().empty());
  EXPECT_TRUE(w.port->writes().empty());
  EXPECT_EQ(w.module.failedCycles[0], 0);
  EXPECT_EQ(w.world.clock.sleeps(), std::vector<std::uint32_t>{50});
}

// The launch hooks bracket the time a Windows unload could not handle: one on the caller before the
// thread exists, the other on the thread before it touches anything of the module.
TEST(PollingThread, LaunchHooksBracketTheThreadsStart) {
  static std::mutex mutex;
  static std::vector<std::string> events;
  static std::thread::id caller;
  events.clear();
  caller = std::this_thread::get_id();
  PollingThread::launching = [] {
    std::lock_guard lock(mutex);
    events.push_back(std::this_thread::get_id() == caller ? "launching on caller" : "launching elsewhere");
  };
  PollingThread::entered = [] {
    std::lock_guard lock(mutex);
    events.push_back(std::this_thread::get_id() == caller ? "entered on caller" : "entered on thread");
  };
  PollWorld w;
  w.module.link.pollingActive = 0;
  runUntil(w, [&](std::uint64_t) {
    std::lock_guard lock(mutex);
    events.push_back(w.module.link.pollingActive ? "slept, active" : "slept, not active");
    return true;
  });
  PollingThread::launching = nullptr;
  PollingThread::entered = nullptr;
  EXPECT_EQ(events, (std::vector<std::string>{"launching on caller", "entered on thread", "slept, active"}));
}

// A clock whose n-th sleep of a given length blocks (in real time) until a stop is requested, so a
// stop is seen arriving in the middle of a cycle.
class BlockingClock : public FakeClock {
 public:
  BlockingClock(std::uint32_t ms, int occurrence) : ms_(ms), remaining_(occurrence) {}

  bool sleepMs(std::uint32_t ms, StopSignal* stop) override {
    if (ms == ms_ && --remaining_ == 0) {
      if (!stop) {
        uninterruptible = true;
        return FakeClock::sleepMs(ms, stop);
      }
      {
        std::lock_guard lock(mutex_);
        blocked_ = true;
      }
      cv_.notify_all();
      woken = stop->waitFor(std::chrono::minutes(1));
      return false;
    }
    return FakeClock::sleepMs(ms, stop);
  }
  bool waitUntilBlocked() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [this] { return blocked_; });
  }

  std::atomic<bool> woken{false};
  std::atomic<bool> uninterruptible{false};

 private:
  const std::uint32_t ms_;
  std::atomic<int> remaining_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool blocked_ = false;
};

struct StopCase {
  std::uint32_t ms;
  int occurrence;
  bool join;
  bool systemThread = false;  // made, joined and let go of through PollingThread::systemThreads
};
void PrintTo(const StopCase& c, std::ostream* os) {
  *os << "sleep " << c.ms << " #" << c.occurrence << (c.join ? " joined" : " detached")
      << (c.systemThread ? ", system thread" : "");
}

// A platform's waiter: each sleep blocks in real time until woken or until its time is up.
class TestWaiter : public StopSignal::Waiter {
 public:
  static inline std::atomic<int> made{0}, sleeps{0}, wakes{0};
  static std::unique_ptr<StopSignal::Waiter> make() {
    ++made;
    return std::make_unique<TestWaiter>();
  }
  static std::unique_ptr<StopSignal::Waiter> fail() { return nullptr; }

  void wake() override {
    ++wakes;
    std::lock_guard lock(mutex_);
    woken_ = true;
    cv_.notify_all();
  }
  bool sleep(std::uint32_t ms) override {
    ++sleeps;
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return woken_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool woken_ = false;
};

// A platform's own threads, as the Windows entry makes them; counts what it was asked.
struct SystemThreadCalls {
  static inline std::atomic<int> started{0}, joined{0}, detached{0};
  static void* start(PollingThread& thread) {
    ++started;
    return new std::thread([&thread] { thread.run(); });
  }
  static void join(void* thread) {
    ++joined;
    static_cast<std::thread*>(thread)->join();
    delete static_cast<std::thread*>(thread);
  }
  static void detach(void* thread) {
    ++detached;
    static_cast<std::thread*>(thread)->detach();
    delete static_cast<std::thread*>(thread);
  }
  static constexpr PollingThread::SystemThreads hooks{start, join, detach, TestWaiter::make};
};

class PollingThreadStop : public testing::TestWithParam<StopCase> {};

TEST_P(PollingThreadStop, EndsPromptlyMidCycleAndPublishesNoMore) {
  const StopCase c = GetParam();
  FakeWorld world;
  BlockingClock clock(c.ms, c.occurrence);
  FakeSerialPorts ports(clock);
  Module module(Platform{clock, ports, world.op, world.locale, world.directory, world.files, world.host});
  module.link.port = ports.open("COM1");
  module.configuredCount = 2;
  for (int s = 0; s < 2; ++s) {
    module.deviceConfig[s].byte0(cell::kBusAddress) = static_cast<std::uint8_t>(s + 1);
    std::memcpy(module.deviceConfig[s].text(cell::kModelName), kModelCurrentLoop.c_str(), 5);
  }
  RegisterTags(module);
  ports.last->responder = [](const Bytes& request) { return reply(request[0], 71, {0, 0, 0}); };

  SystemThreadCalls::started = SystemThreadCalls::joined = SystemThreadCalls::detached = 0;
  TestWaiter::made = TestWaiter::sleeps = TestWaiter::wakes = 0;
  if (c.systemThread) PollingThread::systemThreads = &SystemThreadCalls::hooks;
  module.pollingThread.start();
  PollingThread::systemThreads = nullptr;  // the thread keeps the hooks it was made with
  ASSERT_TRUE(clock.waitUntilBlocked());
  const auto published = world.host.take().size();
  const auto writes = ports.last->writes().size();
  module.pollingThread.stop(c.join);
  EXPECT_FALSE(module.pollingThread.running());
  const int expected = c.systemThread ? 1 : 0;
  EXPECT_EQ(SystemThreadCalls::started, expected);
  EXPECT_EQ(SystemThreadCalls::joined, c.join ? expected : 0);
  EXPECT_EQ(SystemThreadCalls::detached, c.join ? 0 : expected);
  // A platform's own thread says it has finished through the platform's waiter, made before it started.
  EXPECT_EQ(TestWaiter::made, expected);
  EXPECT_EQ(TestWaiter::wakes, expected);
  EXPECT_TRUE(clock.woken);
  EXPECT_FALSE(clock.uninterruptible);
  EXPECT_TRUE(world.host.take().empty()) << "published after " << published;
  EXPECT_EQ(ports.last->writes().size(), writes);
}

INSTANTIATE_TEST_SUITE_P(Sleeps, PollingThreadStop,
                         testing::Values(StopCase{1000, 1, true}, StopCase{1000, 2, false},
                                         StopCase{60, 2, true}, StopCase{60, 1, true}, StopCase{60, 3, false},
                                         StopCase{1000, 2, true, true}, StopCase{60, 2, false, true}));

// One waiter per signal, however many sleeps (each would hold a system object); a request wakes a
// sleep at once, and once requested nothing sleeps any more.
TEST(StopSignal, PlatformWaiterIsMadeOnceAndWokenByTheRequest) {
  TestWaiter::made = TestWaiter::sleeps = TestWaiter::wakes = 0;
  StopSignal stop;
  EXPECT_FALSE(stop.waitFor(1, TestWaiter::make));
  EXPECT_FALSE(stop.waitFor(1, TestWaiter::make));
  EXPECT_EQ(TestWaiter::made, 1);
  EXPECT_EQ(TestWaiter::sleeps, 2);

  const auto start = std::chrono::steady_clock::now();
  std::thread sleeper([&] { EXPECT_TRUE(stop.waitFor(20'000, TestWaiter::make)); });
  while (TestWaiter::sleeps < 3) std::this_thread::yield();
  stop.request();
  sleeper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(TestWaiter::wakes, 1);

  EXPECT_TRUE(stop.waitFor(60'000, TestWaiter::make));
  EXPECT_EQ(TestWaiter::sleeps, 3);
  EXPECT_EQ(TestWaiter::made, 1);
}

// Where the system's waiter cannot be made, the signal still sleeps and wakes.
TEST(StopSignal, WithoutAWaiterSleepsAsBefore) {
  StopSignal stop;
  EXPECT_FALSE(stop.waitFor(1, TestWaiter::fail));
  std::thread stopper([&] { stop.request(); });
  EXPECT_TRUE(stop.waitFor(60'000, TestWaiter::fail));
  stopper.join();
}

}  // namespace
}  // namespace duz::test
