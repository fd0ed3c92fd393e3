#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "link/link.h"
#include "link/trace.h"

namespace duz {

std::uint32_t baudFromSettings(const char* settings) {
  const char* p = settings ? std::strstr(settings, "baud=") : nullptr;
  if (!p) return 0;
  const unsigned long baud = std::strtoul(p + 5, nullptr, 10);
  return baud <= kMaxBaud ? static_cast<std::uint32_t>(baud) : 0;
}

void Link::setBaud(std::uint32_t baud) {
  // A speed no line runs at would stretch every inter-frame gap to seconds; keep the dialog's default.
  baud_ = baud >= kMinBaud && baud <= kMaxBaud ? baud : 9600;
}

int Link::PortRead(std::uint8_t* buffer, int count) {
  if (!port) return -1;
  return port->read(buffer, count);
}

int Link::PortWrite(const std::uint8_t* buffer, std::uint8_t count) {
  if (!port) return -1;
  return port->write(buffer, count);
}

void Link::BusyDelay() {
  // 3.5 characters of 11 bits; the standard fixes 1.75 ms above 19200 bit/s.
  std::uint32_t us = static_cast<std::uint32_t>(3.5 * 11 * 1'000'000.0 / baud_);
  if (us < 1750) us = 1750;
  // The gap is silence on the line, and silence the port has already seen counts towards it (while
  // polling, the wait before each request has usually given all of it).
  const std::int64_t quietUs = port ? port->quietNs() / 1000 : 0;
  if (quietUs >= us) return;
  clock_.pauseMicroseconds(us - static_cast<std::uint32_t>(quietUs));
}

void Link::endAttempt(TracedAttempt& a, std::uint64_t startUs) {
  const std::uint64_t endUs = clock_.monotonicUs();
  const AttemptOutcome outcome = classifyAttempt(a);
  // The end of a failed attempt dates its failure; a good one needs no date.
  const std::uint64_t endedAt = outcome != AttemptOutcome::Good || trace_ ? clock_.fileTimeNow() : 0;
  const std::uint64_t us = endUs - startUs;
  statistics.count(a.request[0], outcome, endedAt,
                   static_cast<std::uint32_t>(std::min<std::uint64_t>(us, UINT32_MAX)));
  if (!trace_) return;
  a.durationMs = endUs / 1000 - startUs / 1000;
  // The request's time, from the end less the attempt: one clock reading fewer on every attempt.
  a.sentAt = endedAt - std::min<std::uint64_t>(endedAt, us * 10);
  trace_->append(traceLines(a));
}

void Link::traceEvent(const std::string& words) {
  if (trace_) trace_->append(traceTime(clock_.fileTimeNow()) + " port " + setup.name + " " + words + "\n");
}

bool Link::dropIfLost() {
  if (!port) return false;
  const std::string reason = port->lostReason();
  if (reason.empty()) return false;
  port.reset();
  lost_ = true;
  portState_ = PortState::Lost;
  traceEvent("lost: " + reason);
  return true;
}

void Link::awaitPort() {
  std::lock_guard hold(portMutex_);
  if (port) return;
  lost_ = true;
  traceEvent("not open: the start-up could not open it");
}

void Link::installPort(std::unique_ptr<SerialPort> newPort) {
  std::lock_guard hold(portMutex_);
  port = std::move(newPort);
  if (port && lost_.exchange(false)) traceEvent("back");
  lost_ = false;
  // Only a port the system took away comes back; a first open after the start-up went on without one
  // is no return.
  if (port && portState_.load() == PortState::Lost) ++reopened_;
  portState_ = port ? PortState::Open : PortState::None;
}

bool Link::ReopenPort(SerialPorts& ports) {
  if (!portLost()) return false;
  std::unique_ptr<SerialPort> fresh = ports.open(setup.name);
  if (!fresh) return false;
  // A line that took its settings at the start-up must take them again: at other settings every
  // exchange would fail (or, worse, half work). The next cycle tries anew.
  if (!fresh->configure(setup.settings) && setup.lineSet) return false;
  fresh->setTimeouts(kPortTimeouts);
  installPort(std::move(fresh));
  return true;
}

int Link::Transaction(int requestLength, const std::uint8_t* request, std::uint8_t* response, int capacity) {
  // A frame needs at least an address and a function code, and its length goes out as one byte.
  if (requestLength < 2 || requestLength > 255) return -1;
  std::lock_guard hold(portMutex_);
  // Read once: the polling thread may start meanwhile, and both budgets must come from the same answer.
  const bool polling = pollingActive.load() != 0;
  const int budget = polling ? 1 : 5;
  int headerBudget = budget;
  int bodyBudget = polling ? 1 : 10;
  const std::uint8_t function = request[1];
  for (;;) {
    if (port) port->purgeBeforeWrite();
    BusyDelay();
    TracedAttempt a;
    a.request = request;
    a.requestLength = requestLength;
    a.reply = response;
    a.capacity = capacity;
    const std::uint64_t startUs = clock_.monotonicUs();
    if (PortWrite(request, static_cast<std::uint8_t>(requestLength)) != requestLength) {
      a.result = -1;
      a.writeFailed = true;
      endAttempt(a, startUs);
      dropIfLost();
      return -1;
    }
    if (port) port->purgeAfterWrite();

    int result = -1;
    bool headerFailure = true;
    int received = 0;  // reply bytes now in `response`
    int length = 0;    // the reply's length once its header is accepted
    const int header = capacity >= 3 ? PortRead(response, 3) : 0;
    if (header > 0) received = header;
    if (header == 3) {
      if (response[0] != request[0]) {
        result = kWrongAddress;
      } else if (response[1] != function) {
        result = kWrongFunction;
      } else {
        headerFailure = false;
        headerBudget = budget;
        length = replyLength(function, requestLength, response);
        // A reply longer than the caller's buffer is a failed attempt, never a write past it.
        if (length >= 5 && length <= capacity) {
          const int body = PortRead(response + 3, length - 3);
          if (body > 0) received += body;
          if (body == length - 3 && crcMatches(response, length)) result = 0;
        }
      }
    }
    a.replyLength = received;
    a.result = result;
    a.expectedLength = length;
    endAttempt(a, startUs);
    if (result == 0) return 0;
    // A port the system took away fails every further attempt: no pause, no retry.
    if (dropIfLost()) return -1;
    if (!clock_.sleepMs(500, stop)) return headerFailure ? result : -1;
    if (headerFailure) {
      if (--headerBudget == 0) return result;
    } else {
      if (--bodyBudget == 0) return -1;
    }
  }
}

void Link::refuseReply(std::uint8_t address) {
  statistics.refuse(address, AttemptOutcome::WrongFunction, clock_.fileTimeNow());
}

}  // namespace duz
