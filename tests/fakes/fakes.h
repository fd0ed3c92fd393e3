// Fake platform parts for unit tests: virtual time, scripted serial devices, a recording host library,
// a scripted operator, fixed locale names and a temporary host directory.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/host_library.h"
#include "host/module.h"
#include "platform/platform.h"
#include "ui/operator.h"

namespace duz::test {

// Virtual time: sleeps advance the clock at once and are logged, so waits can be asserted exactly.
class FakeClock : public Clock {
 public:
  bool sleepMs(std::uint32_t ms, StopSignal* stop = nullptr) override;
  void pauseMicroseconds(std::uint32_t us) override;
  std::uint64_t monotonicMs() override;
  std::uint64_t monotonicUs() override;
  std::uint64_t fileTimeNow() override;

  void advance(std::uint64_t ms);
  std::vector<std::uint32_t> sleeps();  // every sleepMs argument, in order
  void clearSleeps();
  std::uint64_t pausedMicroseconds();
  // Called after every sleep with the virtual time (ms); may request stops to end a thread's run.
  std::function<void(std::uint64_t nowMs)> onSleep;

 private:
  std::mutex mutex_;
  std::uint64_t nowUs_ = 0;
  std::uint64_t pausedUs_ = 0;
  std::vector<std::uint32_t> sleeps_;
};

// Wire bytes exchanged through a fake port.
using Bytes = std::vector<std::uint8_t>;

// A serial port whose far end is a function: every write is handed to `responder`, whose answer
// becomes readable. Reads that find too few bytes cost their time-out in virtual time.
class FakeSerialPort : public SerialPort {
 public:
  explicit FakeSerialPort(FakeClock& clock) : clock_(clock) {}
  bool configure(const std::string& settings) override;
  void setTimeouts(const CommTimeouts& timeouts) override;
  int read(std::uint8_t* buffer, int count) override;
  int write(const std::uint8_t* buffer, int count) override;
  void purgeBeforeWrite() override;
  void purgeAfterWrite() override;

  std::function<Bytes(const Bytes& request)> responder;
  bool configureResult = true;
  int writeLimit = -1;  // when >= 0, a write sends at most this many bytes
  // Takes the port away, as an unplugged adapter: from now on reads and writes fail and lostReason
  // says `reason`.
  void takeAway(const std::string& reason);
  std::string lostReason() const override;
  std::int64_t quietNs() const override { return quiet; }
  std::int64_t quiet = 0;  // what the port says of the line's quiet

  std::vector<Bytes> writes();
  std::string lastSettings;
  CommTimeouts timeouts;

 private:
  FakeClock& clock_;
  mutable std::mutex mutex_;
  std::string lost_;
  std::deque<std::uint8_t> rx_;
  std::vector<Bytes> writes_;
};

class FakeSerialPorts : public SerialPorts {
 public:
  explicit FakeSerialPorts(FakeClock& clock) : clock_(clock) {}
  std::unique_ptr<SerialPort> open(const std::string& name) override;
  std::vector<std::string> list() override { return listed; }

  std::vector<std::string> listed;
  std::vector<std::string> openable;  // names that open; empty = every name opens
  bool configureResult = true;
  std::function<Bytes(const Bytes& request)> responder;
  std::vector<std::string> opened;  // every successful open, in order
  FakeSerialPort* last = nullptr;   // the port most recently opened (owned by the caller)

 private:
  FakeClock& clock_;
};

// Builds a reply frame: bytes plus CRC.
Bytes withCrc(Bytes frame);

struct Publication {
  char kind;  // 'a', 'b', 'i'
  const void* handle;
  double value;
  std::uint32_t quality;
  std::uint64_t timestamp;
};

// Records every publication and stores it into the handle record, as the host library does.
class FakeHostLibrary : public HostLibrary {
 public:
  void exposeAnTag(AnalogTagHandle* h, float v, std::uint32_t q, std::uint64_t ts) override;
  void exposeBitTag(BitTagHandle* h, std::int32_t v, std::uint32_t q, std::uint64_t ts) override;
  void exposeIntTag(IntTagHandle* h, std::int32_t v, std::uint32_t q, std::uint64_t ts) override;
  std::vector<Publication> take();  // returns and clears the log

 private:
  std::mutex mutex_;
  std::vector<Publication> log_;
};

struct ShownBox {
  std::string text;  // CP1251
  std::string caption;
  BoxIcon icon;
  BoxButtons buttons;
  BoxAnswer defaultButton;
  BoxAnswer answer;
};

// Answers boxes from a queue (default button when empty) and runs `onModal` for each modal showing.
class FakeOperator : public Operator {
 public:
  BoxAnswer messageBox(const std::string& text, const std::string& caption, BoxIcon icon, BoxButtons buttons,
                       BoxAnswer defaultButton) override;
  void showModal(TForm2& dialog) override;
  void showModeless(TForm2& dialog) override;
  void repaint(TForm2& dialog) override;
  void hide(TForm2& dialog) override;
  void setPointerHidden(bool hidden) override { pointerHidden = hidden; }

  std::deque<BoxAnswer> answers;
  std::vector<ShownBox> boxes;
  std::function<void(TForm2&)> onModal;  // must close the dialog
  int modalShowings = 0;
  int modelessShowings = 0;
  int repaints = 0;
  int hides = 0;
  bool pointerHidden = false;
};

class FakeLocale : public Locale {
 public:
  LocalTime now() override { return time; }
  std::string monthName(int month) override;
  std::string weekdayName(int weekday) override;
  LocalTime time{2026, 12, 7, 1, 0, 38};  // Monday 7 December 2026, 0:38
};

// A fresh temporary directory, removed with its files at destruction.
class TempHostDirectory : public HostDirectory {
 public:
  TempHostDirectory();
  ~TempHostDirectory() override;
  std::string path() override { return dir_ + "/"; }
  bool replaceFile(const std::string& from, const std::string& to) override;
  bool failReplace = false;

 private:
  std::string dir_;
};

// Files on the real disk, with the faults of a bad day on request.
class FaultyFiles : public Files {
 public:
  std::optional<std::vector<std::uint8_t>> read(const std::string& path, std::size_t limit) override;
  std::unique_ptr<WrittenFile> create(const std::string& path) override;
  void remove(const std::string& path) override;

  std::size_t writeChunk = 0;            // > 0: no write takes more bytes than this
  std::optional<std::size_t> diskSpace;  // bytes the disk still takes, in all files together
  bool failClose = false;                // the last bytes never reach the disk
};

// A module on fake parts.
struct FakeWorld {
  FakeClock clock;
  FakeSerialPorts ports{clock};
  FakeOperator op;
  FakeLocale locale;
  TempHostDirectory directory;
  FaultyFiles files;
  FakeHostLibrary host;
  Platform platform() { return Platform{clock, ports, op, locale, directory, files, host}; }
};

}  // namespace duz::test
