// Internal to polling: the steps every read procedure shares, and the procedures themselves. All of
// them work on the device at module.currentDevice and run on the polling thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "link/frames.h"

namespace duz {

class Module;

// How a polling transaction ended, after the link-state rule has been applied to it.
enum class Exchange {
  Answered,  // the reply is in link.responseBuffer; the device's counters are cleared
  Failed,    // counted; nothing is published for the request
  Lost,      // counted, and the device has just been reported lost: the procedure ends
  Stopped,   // the thread is being stopped: no transaction, nothing more may be published
};

// One polling transaction of `request`: pause 10 ms, then one attempt with the port marked busy. A
// reply carrying fewer than `dataBytes` data bytes counts as a failure (it would otherwise be decoded
// from stale bytes).
Exchange PollExchange(Module& module, const RequestFrame& request, int dataBytes);

// The bus address of the device being polled.
std::uint8_t CurrentAddress(const Module& module);
// Data byte i of the reply in link.responseBuffer.
std::uint8_t ReplyData(const Module& module, int i);

// Starts a group of fresh values: takes a new timestamp and marks the device online.
void StartFreshGroup(Module& module);
// Publish to tag `index` of the current device with currentQuality and lastTimestamp. Indexes at or
// above the slot's count of that kind are not tags and are never published.
void PublishAnalog(Module& module, int index, float value);
void PublishBit(Module& module, int index, bool value);

void ReportDeviceLost(Module& module);
void PublishDeviceNumber(Module& module);

void PollController(Module& module);
void PollAlarmInstrument(Module& module);
void PollTransducer(Module& module);

// A decimal text as a float, independent of the process's locale: the whole text must be a finite
// number (an optional sign, digits, a point as the separator). Empty when it is not.
std::optional<float> ParseDecimal(std::string_view text);
// The value as the host sees it: rounded to `decimals` places through its fixed-point text.
float RoundThroughText(float value, int decimals);

}  // namespace duz
