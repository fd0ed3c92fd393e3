// What the core needs of the operating system, as small interfaces. Each has a POSIX and a Win32
// implementation (src/platform/posix, src/platform/win32) and a fake for tests (tests/fakes).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace duz {

// A stop request that wakes sleepers at once (unloading must not wait out a 1000 ms cycle).
class StopSignal {
 public:
  // A wait with the system's own primitives, for a platform whose C++ thread library must not see the
  // polling thread wait (Windows: there, that wait gives the thread bookkeeping which only the thread's
  // end through that library frees, and the polling thread of an unloaded library never gets there).
  class Waiter {
   public:
    virtual ~Waiter() = default;
    // Ends every sleep, present and future. Called once, by request().
    virtual void wake() = 0;
    // Sleeps up to `ms` milliseconds, or less once woken; true when woken.
    virtual bool sleep(std::uint32_t ms) = 0;
  };
  using WaiterMaker = std::unique_ptr<Waiter> (*)();

  void request() {
    Waiter* waiter = nullptr;
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
      waiter = waiter_.get();
    }
    cv_.notify_all();
    if (waiter) waiter->wake();
  }
  bool requested() const {
    std::lock_guard lock(mutex_);
    return stopped_;
  }
  // Waits up to `duration`; true when the stop was requested meanwhile (or before).
  template <typename Rep, typename Period>
  bool waitFor(std::chrono::duration<Rep, Period> duration) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, duration, [this] { return stopped_; });
  }
  // The same with the platform's waiter, made by `make` on first use and kept for the signal's life; the
  // wait above where it cannot be made.
  bool waitFor(std::uint32_t ms, WaiterMaker make) {
    Waiter* waiter = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return true;
      if (!waiter_) waiter_ = make();
      waiter = waiter_.get();
    }
    if (!waiter) return waitFor(std::chrono::milliseconds(ms));
    // Made, or seen made, under the lock under which request() looks for it: no request goes unnoticed.
    waiter->sleep(ms);
    return requested();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool stopped_ = false;
  std::unique_ptr<Waiter> waiter_;  // under mutex_; never replaced once made
};

// Time: every sleep, timeout and "now" goes through here so tests can run in virtual time.
class Clock {
 public:
  virtual ~Clock() = default;
  // Sleeps `ms` milliseconds. With a stop signal the sleep ends early when a stop is requested; the
  // result is false then (and true after a full sleep).
  virtual bool sleepMs(std::uint32_t ms, StopSignal* stop = nullptr) = 0;
  // Precise short pause (the inter-frame gap before a request); must not burn a core.
  virtual void pauseMicroseconds(std::uint32_t us) = 0;
  // Monotonic milliseconds, for read deadlines and measurements.
  virtual std::uint64_t monotonicMs() = 0;
  // Monotonic microseconds, for exchange times (a reply at 115200 bit/s takes a few milliseconds).
  virtual std::uint64_t monotonicUs() = 0;
  // Current time as FILETIME: 100 ns units since 1601-01-01 UTC.
  virtual std::uint64_t fileTimeNow() = 0;
  // The calling thread is the module's own and keeps the bus's time from now on (the polling thread):
  // its waits may be made as exact as the system allows for the rest of its life.
  virtual void keepExactTimeOnThisThread() {}
};

// Read time-outs with the semantics of the Win32 COMMTIMEOUTS the module sets (milliseconds).
struct CommTimeouts {
  std::uint32_t readInterval = 0;
  std::uint32_t readTotalMultiplier = 0;
  std::uint32_t readTotalConstant = 0;
};

// An open serial port.
class SerialPort {
 public:
  virtual ~SerialPort() = default;
  // Applies a settings text such as "baud=9600 parity=N data=8 stop=2" with RTS raised while sending.
  // False when the line could not be set (the "settings" failure); a text that does not parse is not
  // by itself a failure.
  virtual bool configure(const std::string& settings) = 0;
  virtual void setTimeouts(const CommTimeouts& timeouts) = 0;
  // One blocking read of `count` bytes under the time-outs; bytes read, or -1 when the call fails.
  virtual int read(std::uint8_t* buffer, int count) = 0;
  // One blocking write; bytes written, or -1 when the call fails.
  virtual int write(const std::uint8_t* buffer, int count) = 0;
  // Empties both directions before a request is sent.
  virtual void purgeBeforeWrite() = 0;
  // Right after a write: lets the sent bytes leave, then discards what came back meanwhile (echo).
  virtual void purgeAfterWrite() = 0;
  // Empty while the port works. Once a read or write has failed because the port itself is gone (the
  // adapter pulled, the far end of a virtual line closed, a dead handle), what the system said: such a
  // port never works again and has to be opened anew. A silent line or a bad reply is never that.
  virtual std::string lostReason() const { return {}; }
  // How long the line has been quiet as far as this port can tell: since the last byte it read, sent
  // or threw away. 0 when it cannot tell (nothing seen since the open, or a port that does not know).
  virtual std::int64_t quietNs() const { return 0; }
};

class SerialPorts {
 public:
  virtual ~SerialPorts() = default;
  // Opens a port exclusively; null when it cannot be opened (missing, or held by someone else).
  virtual std::unique_ptr<SerialPort> open(const std::string& name) = 0;
  // The serial ports of this machine that the dialog offers, in the platform's order.
  virtual std::vector<std::string> list() = 0;
};

// Local calendar time and the locale's names (code page 1251).
struct LocalTime {
  int year = 0;
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int weekday = 0;  // 0 = Sunday
  int hour = 0;
  int minute = 0;
};

class Locale {
 public:
  virtual ~Locale() = default;
  virtual LocalTime now() = 0;
  // Long month name in the nominative form ("декабрь"), CP1251.
  virtual std::string monthName(int month) = 0;
  // Long weekday name, CP1251; 0 = Sunday.
  virtual std::string weekdayName(int weekday) = 0;
};

// A file that is only ever appended to (the frame trace); every write lands at its end.
class AppendOnlyFile {
 public:
  virtual ~AppendOnlyFile() = default;
  // Writes some of `count` bytes: how many, or 0 when nothing more can be written.
  virtual std::size_t writeSome(const char* bytes, std::size_t count) = 0;
};

// A file being written whole. Only a successful close says that every byte written reached it.
class WrittenFile {
 public:
  virtual ~WrittenFile() = default;
  // Writes some of `count` bytes: how many, or 0 when nothing more can be written (a full disk).
  virtual std::size_t write(const std::uint8_t* bytes, std::size_t count) = 0;
  // Puts the bytes on the disk and closes the file; false when that failed.
  virtual bool close() = 0;
};

// Whole files by path: the configuration file and its copies.
class Files {
 public:
  virtual ~Files() = default;
  // The file's bytes, at most `limit` + 1 of them (one more than `limit` says it is longer); empty when
  // it cannot be opened or read.
  virtual std::optional<std::vector<std::uint8_t>> read(const std::string& path, std::size_t limit) = 0;
  // A new, empty file of that name in place of any old one; null when it cannot be made.
  virtual std::unique_ptr<WrittenFile> create(const std::string& path) = 0;
  // Removes the file if it is there.
  virtual void remove(const std::string& path) = 0;
};

// Where the configuration file lives, and the one file operation the runtime's file functions lack.
class HostDirectory {
 public:
  virtual ~HostDirectory() = default;
  // Directory of the host executable, with its trailing separator ("" when unknown).
  virtual std::string path() = 0;
  // Replaces `to` with `from` in one step; false when that failed (the old `to` stays as it was).
  virtual bool replaceFile(const std::string& from, const std::string& to) = 0;
};

}  // namespace duz
