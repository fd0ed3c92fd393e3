// The serial link: the one open port and the Modbus-RTU exchange every byte of the module goes through.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "link/frames.h"
#include "link/link_statistics.h"
#include "platform/platform.h"

namespace duz {

class TraceSink;
struct TracedAttempt;

// Transaction results besides 0 (success) and -1 (failed write, short read, wrong CRC).
constexpr int kWrongAddress = 1;
constexpr int kWrongFunction = 2;

// Read time-outs of every exchange: 100 ms between bytes, 500 ms + 2 ms per byte for a whole read.
constexpr CommTimeouts kPortTimeouts{100, 2, 500};

// Line speeds a serial port can plausibly run at, bit/s.
constexpr std::uint32_t kMinBaud = 50;
constexpr std::uint32_t kMaxBaud = 4'000'000;

class Link {
 public:
  explicit Link(Clock& clock) : clock_(clock) {}

  // One complete exchange: request out, matching response in, echo/length/CRC checked, retried within
  // the budgets (5 header / 10 body attempts before polling starts, one attempt once it runs). The
  // response buffer's capacity bounds the reply: a reply that would not fit is a failed attempt. Holds
  // the port from the first purge to the return.
  int Transaction(int requestLength, const std::uint8_t* request, std::uint8_t* response, int capacity);

  // One blocking read / write on the open port (-1 when the call fails or no port is open).
  int PortRead(std::uint8_t* buffer, int count);
  int PortWrite(const std::uint8_t* buffer, std::uint8_t count);
  // The silent interval before a request: 3.5 character times of the line (11 bits a character),
  // at least 1.75 ms.
  void BusyDelay();

  // Line speed in bit/s, taken from the settings text when the port is configured (for BusyDelay).
  // Speeds outside 50..4,000,000 bit/s (or 0: none given) fall back to 9600.
  void setBaud(std::uint32_t baud);
  std::uint32_t baud() const { return baud_; }

  // The open port ("portHandle"); null stands for the invalid handle. Replaced on the start-up thread
  // before polling starts, and afterwards only through installPort.
  std::unique_ptr<SerialPort> port;

  // How the start-up last opened and set up the port, repeated when a lost port is opened again.
  struct PortSetup {
    std::string name;
    std::string settings;
    bool lineSet = false;  // the line took the settings (the operator may have gone on without)
  };
  PortSetup setup;  // written by the start-up before polling starts

  // Puts `newPort` (null: none) in place of the present one under the line's lock and clears a loss.
  // Replacing a lost port is traced as its return.
  void installPort(std::unique_ptr<SerialPort> newPort);
  // True from the moment an exchange found that the system took the port away (the port is then
  // closed, and every exchange fails at once) until a port is installed again.
  bool portLost() const { return lost_.load(); }

  enum class PortState : std::uint32_t {
    None = 0,  // no port installed (the start-up went on without one, or has not opened it yet)
    Open = 1,
    Lost = 2,  // the system took it away; polling opens it again
  };
  // For hosts that watch the line; readable from any thread.
  PortState portState() const { return portState_.load(); }
  // Times a lost port was installed again.
  std::uint32_t reopenedCount() const { return reopened_.load(); }
  // After the system took the open port away (portLost): opens the same name again from `ports` and
  // sets it up exactly as the start-up did, without asking anyone. True when the port is back.
  bool ReopenPort(SerialPorts& ports);
  // The start-up went on without a port (it could not be opened): polling looks for it as for a lost
  // one, so that an adapter plugged in after the host started is taken without a restart.
  void awaitPort();
  // Set by the polling thread as its first action; selects the single-attempt budget.
  std::atomic<int> pollingActive{0};
  // 1 while the polling thread holds the port for an exchange; write commands wait for 0.
  std::atomic<int> busBusy{0};

  // The polling thread's stop: an unload cuts short the pause after a failed attempt (null: never).
  StopSignal* stop = nullptr;

  // The reply to the last request of discovery or the polling thread.
  std::uint8_t responseBuffer[260] = {};

  Clock& clock() { return clock_; }

  // Every attempt's frames go to `sink` from now on (null: no trace). Set before the first exchange;
  // the sink must outlive the link's use.
  void setTrace(TraceSink* sink) { trace_ = sink; }

  // Every attempt of every exchange, counted by the request's bus address.
  LinkStatistics statistics;
  // A good reply from `address` that its reader could not use (too few data bytes for what was asked):
  // counted as a failure of the wrong-length kind.
  void refuseReply(std::uint8_t address);

 private:
  // Counts the attempt that began at `startUs` (monotonic) under its request's address, and traces it.
  void endAttempt(TracedAttempt& attempt, std::uint64_t startUs);
  // With the line held: when the port says it is gone, closes it and marks the loss. True then.
  bool dropIfLost();
  void traceEvent(const std::string& words);

  Clock& clock_;
  TraceSink* trace_ = nullptr;
  std::mutex portMutex_;  // one exchange at a time on the line
  std::uint32_t baud_ = 9600;
  std::atomic<bool> lost_{false};
  std::atomic<PortState> portState_{PortState::None};
  std::atomic<std::uint32_t> reopened_{0};
};

// Parses the speed out of a settings text such as "baud=19200 parity=N data=8 stop=1" (0 if none).
std::uint32_t baudFromSettings(const char* settings);

}  // namespace duz
