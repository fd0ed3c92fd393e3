// The polling thread: reads every configured device once per cycle and publishes its values.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace duz {

class Module;

class PollingThread {
 public:
  explicit PollingThread(Module& module) : module_(module) {}
  ~PollingThread() { stop(); }
  PollingThread(const PollingThread&) = delete;
  PollingThread& operator=(const PollingThread&) = delete;

  // Starts the thread (once, at the end of the start-up).
  void start();
  // Asks the thread to end, wakes it from its sleeps and waits until it no longer touches module data.
  // With join = false the thread is detached once it has said so (Windows unloads under the loader
  // lock, where waiting for a thread to end would deadlock). A thread that was launched but has not
  // entered its body yet cannot say so: it is blocked behind that very lock. It is handed to `abandon`
  // (which ends it without running any of its code) and detached.
  using AbandonFn = void (*)(std::thread& thread);
  void stop(bool join = true, AbandonFn abandon = nullptr);
  bool running() const { return thread_.joinable(); }

  // The thread body: sets pollingActive, then cycles until a stop is requested.
  void run();
  // One cycle after its 1000 ms sleep: every configured slot in order. False when a stop interrupted it.
  bool pollAllDevices();

  StopSignal& stopSignal() { return stop_; }

  // How the thread ends after its last touch of module data. Null: it says it has finished and returns.
  // A library whose code is unmapped as soon as its unload has heard that (Windows: FreeLibrary, right
  // after DllMain) sets a function that says it through sayFinished() and keeps the thread from running
  // any instruction of that code afterwards.
  static inline void (*ending)(PollingThread& thread) = nullptr;
  void sayFinished() { finished_.raise(); }

 private:
  // A one-way flag raised by the thread. Unlike a StopSignal it notifies while holding its lock: the
  // waiter may destroy the module the moment it sees `finished_`, so the thread must be done with the
  // condition variable by then.
  class Finished {
   public:
    void raise() {
      std::lock_guard lock(mutex_);
      raised_ = true;
      cv_.notify_all();
    }
    bool waitFor(std::chrono::milliseconds duration) {
      std::unique_lock lock(mutex_);
      return cv_.wait_for(lock, duration, [this] { return raised_; });
    }

   private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool raised_ = false;
  };

  enum Phase : int { kIdle, kLaunched, kRunning, kAbandoned };

  Module& module_;
  std::atomic<int> phase_{kIdle};
  StopSignal stop_;
  Finished entered_;  // raised when the thread has entered its body
  Finished finished_;
  std::thread thread_;
};

}  // namespace duz
