// The polling thread: reads every configured device once per cycle and publishes its values.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>

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
  // lock, where waiting for a thread to end would deadlock), and the wait is bounded by `boundMs`: a
  // thread held in a system call that does not return (a port driver hanging in its open while its
  // device re-enumerates) must not hang the host's unload. False when the thread did not say so in
  // time: it is detached all the same and still uses the module, which must then be kept.
  bool stop(bool join = true, std::uint32_t boundMs = kUnloadWaitMs);
  // Far longer than anything the thread does between two looks at its stop (a read of the largest reply
  // ends within about a second), even on a machine too busy to run it for a while.
  static constexpr std::uint32_t kUnloadWaitMs = 10'000;
  bool running() const { return thread_.joinable() || system_; }

  // Called just before the thread is created, and by the thread as the first thing it does (or at once,
  // if it could not be created). Windows keeps the library loaded in between: until the thread has got
  // through the loader, an unload could neither wait for it nor let it run into unmapped code.
  static inline void (*launching)() = nullptr;
  static inline void (*entered)() = nullptr;

  // Where the thread must be one of the system's own rather than the C++ library's, the platform makes,
  // joins and lets go of it (Windows: a library thread that ends after its library is unloaded would
  // leave that library's bookkeeping of the thread behind). Null: std::thread.
  struct SystemThreads {
    void* (*start)(PollingThread& thread);  // runs thread.run(); null when no thread could be made
    void (*join)(void* thread);
    void (*detach)(void* thread);
    // Makes what an unload waits on for the thread's word that it has finished, with the system's own
    // primitives: the unloading thread is the host's, and must not be known to the C++ thread library
    // either. Null, or nothing made: a condition variable.
    StopSignal::WaiterMaker finishedWaiter = nullptr;
  };
  static inline const SystemThreads* systemThreads = nullptr;

  // The thread body: sets pollingActive, then cycles until a stop is requested.
  void run();
  // One cycle after its 1000 ms sleep: every configured slot in order. False when a stop interrupted it.
  bool pollAllDevices();

  StopSignal& stopSignal() { return stop_; }
  // The last full cycle as the thread measured it, from the start of its 1000 ms sleep to the start of
  // the next; 0 until one has ended. Readable from any thread.
  std::uint32_t cyclePeriodMs() const { return cyclePeriodMs_.load(std::memory_order_relaxed); }
  // The wait before a device that its first exchange sleeps together with its own: the same timeline,
  // one wake-up fewer. Nothing observable happens between the two.
  std::uint32_t takeDeferredWait() { return std::exchange(deferredWaitMs_, 0); }

  // How the thread ends after its last touch of module data. Null: it says it has finished and returns.
  // A library whose code is unmapped as soon as its unload has heard that (Windows: FreeLibrary, right
  // after DllMain) sets a function that says it through sayFinished() and keeps the thread from running
  // any instruction of that code afterwards.
  static inline void (*ending)(PollingThread& thread) = nullptr;
  void sayFinished() { finished_.raise(); }

 private:
  // A one-way flag raised by the thread. Unlike a StopSignal it is done with itself once raised: the
  // waiter may destroy the module the moment it sees `finished_`, so the condition variable is notified
  // under its lock, and a platform waiter's wake is its last touch of itself.
  class Finished {
   public:
    // Before the thread starts: then raise() wakes the waiter and wait() sleeps on it alone.
    void useWaiter(std::unique_ptr<StopSignal::Waiter> waiter) { waiter_ = std::move(waiter); }
    void raise() {
      if (waiter_) {
        waiter_->wake();
        return;
      }
      std::lock_guard lock(mutex_);
      raised_ = true;
      cv_.notify_all();
    }
    // True when raised within `ms`.
    bool wait(std::uint32_t ms) {
      if (waiter_) return waiter_->sleep(ms);
      std::unique_lock lock(mutex_);
      return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return raised_; });
    }

   private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool raised_ = false;
    std::unique_ptr<StopSignal::Waiter> waiter_;
  };

  Module& module_;
  StopSignal stop_;
  Finished finished_;
  std::thread thread_;
  void* system_ = nullptr;  // or a thread made through systemThreads_
  const SystemThreads* systemThreads_ = nullptr;
  std::uint32_t deferredWaitMs_ = 0;  // polling thread only
  std::atomic<std::uint32_t> cyclePeriodMs_{0};
};

}  // namespace duz
