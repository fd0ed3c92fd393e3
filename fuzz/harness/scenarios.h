// The module on fake parts as the fuzz targets drive it: polling a bus of one device of each model, and
// searching a bus. The line's answers come from a Responder: the fuzzer's bytes in the targets, the
// simulator's own answers when the seeds are written.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "harness/replies.h"
#include "host/module.h"

namespace duz::fuzz {

// How the polled bus is configured: what a search would have recorded for it.
struct PollPlan {
  std::array<std::uint8_t, 8> slotCodes{};  // controller module types (any byte, as a file may hold)
  std::uint8_t variantIndex = 0;            // alarm variant: row of the catalogue (modulo its size)
  std::int16_t thermocoupleLow = -50, thermocoupleHigh = 200;
  std::int16_t resistanceLow = -50, resistanceHigh = 180;
};
constexpr std::size_t kPollPlanBytes = 8 + 1 + 4 * 2;
PollPlan readPollPlan(Input& in);
Bytes encodePollPlan(const PollPlan& plan);

// Bus addresses of the polled devices, in slot order: controller, alarm instrument, thermocouple,
// resistance thermometer, current loop.
constexpr std::uint8_t kPolledAddresses[5] = {1, 2, 3, 4, 5};

// Polls the planned bus cycle after cycle while `more()` says so (at most `maxCycles`), then three
// silent cycles more so that every device is lost. Each cycle ends with a write of one of the alarm
// instrument's command bits. Checks every publication as it goes and, when `silentAtEnd` (the line says
// nothing once `more()` is false), that every device read in a cycle is reported lost at the end.
void runPolling(const PollPlan& plan, const Responder& line, const std::function<bool()>& more, int maxCycles,
                bool silentAtEnd);

// Searches addresses 1..limit, then checks what was recorded: names the tags, shows every device in the
// dialog's description, stores and restores the result in memory, and polls it once.
void runDiscovery(int limit, const Responder& line);

// Polls `count` devices of `configs` once on a module of their own (tags named as the start-up would)
// with `line` at the other end, and checks the publications.
void pollOnce(const std::array<DeviceConfig, kSlots>& configs, int count, const Responder& line);

// The simulator's answers to requests on a bus (a bus file's text).
Responder simulatorLine(const char* busText);

}  // namespace duz::fuzz
