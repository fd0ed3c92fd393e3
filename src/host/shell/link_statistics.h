// The line's statistics, for hosts on Linux that watch the bus's health (the MQTT gateway). Exported by
// the Linux library only: the Windows DLL's exports stay the six the host knows.
#pragma once

#include <cstdint>

#include "model/tables.h"

extern "C" {

// Why a device's last exchange failed.
enum DuzLinkFailure : std::uint32_t {
  DuzLinkFailureNone = 0,
  DuzLinkFailureNoAnswer = 1,      // nothing came back in time, or the reply stopped short
  DuzLinkFailureBadCrc = 2,        // a whole reply whose checksum is wrong
  DuzLinkFailureException = 3,     // the device answered with a Modbus exception
  DuzLinkFailureWrongAddress = 4,  // another address answered
  DuzLinkFailureWrongFunction = 5, // the reply carries another function or length
  DuzLinkFailureWriteFailed = 6,   // the request could not be sent (the port failed or is lost)
};

// One device slot's counters since the module was loaded. Counted per attempt: a retried exchange that
// fails twice counts two failures.
struct DuzLinkDeviceStatistics {
  std::uint64_t exchanges;  // attempts made, good or not
  std::uint64_t noAnswer;
  std::uint64_t badCrc;
  std::uint64_t exceptions;
  std::uint64_t wrongAddress;
  std::uint64_t wrongFunction;  // with writeFailed attempts counted in exchanges only
  std::uint32_t lastFailure;    // DuzLinkFailure
  std::uint32_t medianExchangeUs;  // of the last good exchanges (up to 64), request out to reply in; 0: none
  std::uint64_t lastFailureTime;   // FILETIME (100 ns since 1601, UTC); 0: never failed
};

enum DuzPortState : std::uint32_t {
  DuzPortNone = 0,  // no port was opened (the start-up went on without one)
  DuzPortOpen = 1,
  DuzPortLost = 2,  // the system took it away; the polling thread is trying to open it again
};

struct DuzLinkStatistics {
  std::uint32_t size;  // set by the caller to sizeof(DuzLinkStatistics); the module fills no more
  std::uint32_t portState;      // DuzPortState
  std::uint32_t reopenedCount;  // times a lost port came back
  std::uint32_t cyclePeriodMs;  // the last full polling cycle as measured; 0 before the first ends
  char portName[64];            // as the start-up opened it, NUL-terminated
  char version[32];             // the module's version, NUL-terminated
  DuzLinkDeviceStatistics devices[duz::kSlots];  // by slot, as the status table
};

// Fills `out` (up to out->size bytes) with a consistent copy. 1 done; 0 when `out` is null or its size
// is too small for the fields above `devices`.
std::uint32_t DuzevodLinkStatistics(DuzLinkStatistics* out);
}

namespace duz {
using DuzevodLinkStatisticsFn = std::uint32_t (*)(DuzLinkStatistics*);
}
