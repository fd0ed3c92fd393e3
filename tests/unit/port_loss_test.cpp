// A port the system takes away while the module polls: closed at once, opened again at most once a
// cycle with the start-up's settings, devices lost meanwhile and back at their first answer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "host/shell/lifecycle.h"
#include "link/trace.h"
#include "poll_world.h"
#include "startup/port_setup.h"
#include "startup/registration.h"

namespace duz::test {
namespace {

class RecordingTrace : public TraceSink {
 public:
  void append(std::string_view lines) override {
    std::lock_guard lock(mutex);
    text += lines;
  }
  std::mutex mutex;
  std::string text;
};

// Two current-loop modules at addresses 1 and 2 on COM4, set up by the start-up's OpenPort.
class PortLoss : public ::testing::Test {
 protected:
  PortLoss() {
    m.GiveString("baud=19200 parity=E data=8 stop=1", "COM4", "2", "Abort");
    m.link.setTrace(&trace);
    w.world.ports.responder = [](const Bytes& request) {
      return request[1] == 71 ? reply(request[0], 71, {0x20, 0x00, 0x00}) : Bytes{};
    };
    EXPECT_EQ(OpenPort(m), PortResult::Proceed);
    w.world.ports.opened.clear();
    w.add(kModelCurrentLoop.view(), 1);
    w.add(kModelCurrentLoop.view(), 2);
    RegisterTags(m);
  }

  FakeSerialPort& port() { return *w.world.ports.last; }
  int opens() const { return static_cast<int>(w.world.ports.opened.size()); }

  PollWorld w;
  Module& m = w.module;
  RecordingTrace trace;
};

TEST_F(PortLoss, PortComesBackWithTheStartUpsSettingsAndTheDevicesWithIt) {
  ASSERT_EQ(only(w.cycle(), 'a').size(), 2u);
  EXPECT_EQ(m.link.portState(), Link::PortState::Open);

  // Unplugged: the first exchange finds out, the port is closed and both devices fail at once, without
  // the pause after a failed attempt.
  port().takeAway("Input/output error");
  w.world.clock.clearSleeps();
  w.cycle();
  EXPECT_TRUE(m.link.portLost());
  EXPECT_FALSE(m.link.port);
  EXPECT_EQ(m.link.portState(), Link::PortState::Lost);
  EXPECT_EQ(w.world.clock.sleeps(), (std::vector<std::uint32_t>{60, 60}));
  EXPECT_NE(trace.text.find(" port COM4 lost: Input/output error\n"), std::string::npos) << trace.text;

  // Still away: one open a cycle, nothing asked, a host write refused at once; lost at the third
  // failing poll with the device-failure quality.
  w.world.ports.openable = {"COM9"};
  w.world.clock.clearSleeps();
  EXPECT_EQ(m.SetBitTagValue(0, 1), 0);
  EXPECT_TRUE(w.world.clock.sleeps().empty());
  w.cycle();
  const auto lost = w.cycle();
  EXPECT_EQ(opens(), 0);
  EXPECT_EQ(readOnline(m.deviceStatusTable[0]), 0);
  EXPECT_EQ(readOnline(m.deviceStatusTable[1]), 0);
  for (const Publication& p : only(lost, 'a')) EXPECT_EQ(p.quality, QualityDeviceFailure);
  EXPECT_TRUE(w.world.op.boxes.empty());

  // Plugged in again: the next cycle opens the same name, sets it up as the start-up did and polls.
  w.world.ports.openable.clear();
  const auto back = w.cycle();
  EXPECT_EQ(w.world.ports.opened, std::vector<std::string>{"COM4"});
  EXPECT_FALSE(m.link.portLost());
  EXPECT_EQ(port().lastSettings, "baud=19200 parity=E data=8 stop=1");
  EXPECT_EQ(port().timeouts.readInterval, 100u);
  EXPECT_EQ(port().timeouts.readTotalMultiplier, 2u);
  EXPECT_EQ(port().timeouts.readTotalConstant, 500u);
  ASSERT_EQ(only(back, 'a').size(), 2u);
  for (const Publication& p : only(back, 'a')) EXPECT_EQ(p.quality, QualityGood);
  EXPECT_EQ(readOnline(m.deviceStatusTable[0]), 1);
  EXPECT_EQ(readOnline(m.deviceStatusTable[1]), 1);
  EXPECT_NE(trace.text.find(" port COM4 back\n"), std::string::npos) << trace.text;
  w.cycle();
  EXPECT_EQ(opens(), 1);
  EXPECT_EQ(m.link.portState(), Link::PortState::Open);
  EXPECT_EQ(m.link.reopenedCount(), 1u);
  // Every exchange while the port was away failed at its write.
  const AddressStatistics device = m.link.statistics.read(1);
  EXPECT_EQ(device.writeFailed, 3u);
  EXPECT_EQ(device.lastFailure, AttemptOutcome::WriteFailed);
}

TEST_F(PortLoss, SilentDevicesNeverMakeTheModuleReopen) {
  port().responder = [](const Bytes&) { return Bytes{}; };
  for (int cycle = 0; cycle < 5; ++cycle) w.cycle();
  EXPECT_FALSE(m.link.portLost());
  EXPECT_TRUE(m.link.port);
  EXPECT_EQ(opens(), 0);
  EXPECT_EQ(trace.text.find(" port "), std::string::npos);
}

TEST_F(PortLoss, APortThatNoLongerTakesItsSettingsIsTriedAgainNextCycle) {
  port().takeAway("hang-up");
  w.cycle();
  w.world.ports.configureResult = false;
  w.cycle();
  EXPECT_EQ(opens(), 1);
  EXPECT_TRUE(m.link.portLost());
  w.world.ports.configureResult = true;
  w.cycle();
  EXPECT_FALSE(m.link.portLost());
  EXPECT_EQ(readOnline(m.deviceStatusTable[0]), 1);
}

TEST(PortNeverOpened, AnAdapterPluggedInAfterTheStartUpIsTakenWithItsSettings) {
  PollWorld w;
  Module& m = w.module;
  RecordingTrace trace;
  m.link.setTrace(&trace);
  m.GiveString("baud=19200 parity=E data=8 stop=1", "COM4", "1", "Abort");
  w.world.ports.openable = {"COM9"};  // the operator answers the open failure with Cancel
  EXPECT_EQ(OpenPort(m), PortResult::Proceed);
  EXPECT_TRUE(m.link.portLost());
  EXPECT_EQ(m.link.portState(), Link::PortState::None);
  w.world.ports.opened.clear();
  w.add(kModelCurrentLoop.view(), 1);
  RegisterTags(m);
  w.world.ports.responder = [](const Bytes& request) { return reply(request[0], 71, {0x20, 0x00, 0x00}); };
  for (int cycle = 0; cycle < 3; ++cycle) w.cycle();
  EXPECT_EQ(readOnline(m.deviceStatusTable[0]), 0);
  EXPECT_TRUE(w.world.ports.opened.empty());

  // It appears, but refuses the settings: not taken, tried again next cycle.
  w.world.ports.openable.clear();
  w.world.ports.configureResult = false;
  w.cycle();
  EXPECT_TRUE(m.link.portLost());
  w.world.ports.configureResult = true;
  const auto back = w.cycle();
  EXPECT_FALSE(m.link.portLost());
  EXPECT_EQ(w.world.ports.last->lastSettings, "baud=19200 parity=E data=8 stop=1");
  EXPECT_EQ(readOnline(m.deviceStatusTable[0]), 1);
  ASSERT_FALSE(only(back, 'a').empty());
  EXPECT_EQ(only(back, 'a')[0].quality, QualityGood);
  EXPECT_NE(trace.text.find(" port COM4 not open: "), std::string::npos) << trace.text;
  EXPECT_NE(trace.text.find(" port COM4 back\n"), std::string::npos) << trace.text;
  // Opened for the first time, not come back.
  EXPECT_EQ(m.link.portState(), Link::PortState::Open);
  EXPECT_EQ(m.link.reopenedCount(), 0u);
}

// One adapter that the test pulls out and plugs in from its own thread, with a current-loop module at
// address 1 and an alarm instrument at address 2 behind it. Pulling it kills every port opened before.
class Adapter : public SerialPorts {
 public:
  class Port : public SerialPort {
   public:
    Port(Adapter& adapter, int generation) : adapter_(adapter), generation_(generation) {}
    bool configure(const std::string&) override { return true; }
    void setTimeouts(const CommTimeouts&) override {}
    void purgeBeforeWrite() override { rx_.clear(); }
    void purgeAfterWrite() override {}
    int write(const std::uint8_t* buffer, int count) override {
      if (gone()) return -1;
      const Bytes r(buffer, buffer + count);
      ++adapter_.exchanges;
      if (r[1] == 5)
        rx_ = r;
      else if (r[1] == 71)
        rx_ = reply(r[0], 71, {0x20, 0x00, 0x00});
      else if (r[1] == 2)
        rx_ = reply(r[0], 2, {0x0F, 0x00, 0x00, 0x00});
      else
        rx_ = reply(r[0], 1, r[3] == 0xF0 ? Bytes{0x01} : Bytes{0xF0, 0x00});
      return count;
    }
    int read(std::uint8_t* buffer, int count) override {
      if (gone()) return -1;
      int n = 0;
      while (n < count && !rx_.empty()) {
        buffer[n++] = rx_.front();
        rx_.erase(rx_.begin());
      }
      return n;
    }
    std::string lostReason() const override { return gone() ? "device removed" : ""; }

   private:
    bool gone() const { return adapter_.generation.load() != generation_; }
    Adapter& adapter_;
    const int generation_;
    Bytes rx_;
  };

  std::unique_ptr<SerialPort> open(const std::string&) override {
    if (!present) return nullptr;
    ++opens;
    return std::make_unique<Port>(*this, generation.load());
  }
  std::vector<std::string> list() override { return {}; }

  std::atomic<bool> present{true};
  std::atomic<int> generation{0};
  std::atomic<int> opens{0};
  std::atomic<int> exchanges{0};
};

// Virtual time that lets the other threads run after each sleep.
class YieldingClock : public FakeClock {
 public:
  bool sleepMs(std::uint32_t ms, StopSignal* stop) override {
    const bool full = FakeClock::sleepMs(ms, stop);
    std::this_thread::yield();
    return full;
  }
};

TEST(PortLossWhilePolling, PulledAndPluggedAgainWithHostWritesInBetween) {
  FakeWorld world;
  YieldingClock clock;
  Adapter adapter;
  Module module(Platform{clock, adapter, world.op, world.locale, world.directory, world.files, world.host});
  module.GiveString("baud=9600 parity=N data=8 stop=2", "ttyUSB0", "2", "Abort");
  ASSERT_EQ(OpenPort(module), PortResult::Proceed);
  const auto configure = [&](int slot, std::string_view model, std::uint8_t address) {
    module.deviceConfig[slot].byte0(cell::kBusAddress) = address;
    std::memcpy(module.deviceConfig[slot].text(cell::kModelName), model.data(), model.size());
  };
  configure(0, kModelCurrentLoop.view(), 1);
  configure(1, kModelAlarm.view(), 2);
  std::strcpy(module.deviceConfig[1].text(cell::kAlarmVariant), "9852");
  module.configuredCount = 2;
  RegisterTags(module);
  module.pollingThread.start();

  const auto waitFor = [](auto done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    return done();
  };
  std::atomic<bool> writing{true};
  std::thread host([&] {
    for (int i = 0; writing; ++i) module.SetBitTagValue((1u << 16) | 14u, static_cast<std::uint32_t>(i & 1));
  });
  for (int round = 0; round < 20; ++round) {
    const int before = adapter.exchanges;
    ASSERT_TRUE(waitFor([&] { return adapter.exchanges > before + 5; })) << "round " << round;
    adapter.present = false;
    ++adapter.generation;
    ASSERT_TRUE(waitFor([&] { return module.link.portLost(); })) << "round " << round;
    const int opens = adapter.opens;
    adapter.present = true;
    ASSERT_TRUE(waitFor([&] { return adapter.opens > opens && !module.link.portLost(); }))
        << "round " << round;
  }
  writing = false;
  host.join();
  ASSERT_TRUE(waitFor([&] { return readOnline(module.deviceStatusTable[0]) == 1; }));
  module.pollingThread.stop();
  EXPECT_EQ(adapter.opens, 21);
}

// A port driver that hangs in its open, as some USB serial drivers do while the device re-enumerates.
class HangingPorts : public FakeSerialPorts {
 public:
  using FakeSerialPorts::FakeSerialPorts;
  std::unique_ptr<SerialPort> open(const std::string&) override {
    std::unique_lock lock(mutex_);
    entered_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return released_; });
    return nullptr;
  }
  bool waitEntered() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [this] { return entered_; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool entered_ = false, released_ = false;
};

// The polling thread as the Windows entry makes it; let go of by the unload, it is kept for the test.
struct KeptThread {
  static inline std::thread* kept = nullptr;
  static void* start(PollingThread& thread) {
    return new std::thread([&thread] { thread.run(); });
  }
  static void join(void* thread) {
    static_cast<std::thread*>(thread)->join();
    delete static_cast<std::thread*>(thread);
  }
  static void detach(void* thread) { kept = static_cast<std::thread*>(thread); }
  static constexpr PollingThread::SystemThreads hooks{start, join, detach};
};

TEST(PortLossAtUnload, AnOpenThatHangsHoldsTheUnloadOnlyForItsBound) {
  static HangingPorts* ports = nullptr;
  static RecordingTrace* trace = nullptr;
  static FakeHostLibrary* host = nullptr;
  const auto parts = []() {
    auto loaded = std::make_unique<shell::LoadedModule>();
    auto clock = std::make_unique<FakeClock>();
    auto hanging = std::make_unique<HangingPorts>(*clock);
    auto recording = std::make_unique<RecordingTrace>();
    auto library = std::make_unique<FakeHostLibrary>();
    ports = hanging.get();
    trace = recording.get();
    host = library.get();
    loaded->clock = std::move(clock);
    loaded->ports = std::move(hanging);
    loaded->op = std::make_unique<FakeOperator>();
    loaded->locale = std::make_unique<FakeLocale>();
    loaded->directory = std::make_unique<TempHostDirectory>();
    loaded->files = std::make_unique<FaultyFiles>();
    loaded->host = std::move(library);
    loaded->trace = std::move(recording);
    return loaded;
  };
  // The start-up could not open COM4: the first cycle opens it again, and the driver hangs there.
  const auto startup = [](Module& m) {
    m.link.setup.name = "COM4";
    m.link.awaitPort();
    m.deviceConfig[0].byte0(cell::kBusAddress) = 1;
    std::memcpy(m.deviceConfig[0].text(cell::kModelName), kModelCurrentLoop.c_str(),
                kModelCurrentLoop.view().size());
    m.configuredCount = 1;
    RegisterTags(m);
    PollingThread::systemThreads = &KeptThread::hooks;
    m.pollingThread.start();
    PollingThread::systemThreads = nullptr;
  };
  std::unique_ptr<shell::LoadedModule> loaded = shell::load(parts, startup);
  ASSERT_TRUE(loaded && ports->waitEntered());
  shell::LoadedModule* module = loaded.get();
  host->take();

  auto unloading = std::async(std::launch::async, [&] { return shell::unload(loaded, false, 50); });
  const bool unloadEnded = unloading.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  EXPECT_TRUE(unloadEnded) << "the unload waited for the hanging open";
  ports->release();
  const bool stopped = unloading.get();
  EXPECT_FALSE(stopped);
  EXPECT_EQ(loaded, nullptr);
  // The thread comes back into a module that is still there, and ends without publishing.
  ASSERT_NE(KeptThread::kept, nullptr);
  KeptThread::kept->join();
  delete KeptThread::kept;
  KeptThread::kept = nullptr;
  if (stopped) return;  // the module is gone already
  EXPECT_TRUE(host->take().empty());
  EXPECT_NE(trace->text.find(" unload: the polling thread did not stop within 50 ms"), std::string::npos)
      << trace->text;
  delete module;
}

}  // namespace
}  // namespace duz::test
