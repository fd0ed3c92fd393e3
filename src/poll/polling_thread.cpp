#include "poll/polling_thread.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <system_error>
#include <utility>

#include "host/module.h"
#include "model/catalogue.h"
#include "poll/read_procedures.h"

namespace duz {

namespace {

// The counters are 8 bits wide; a device silent for hours must stay lost rather than wrap to "fresh".
void countUp(std::uint8_t& counter) {
  if (counter < 0xFF) ++counter;
}

std::optional<DeviceKind> currentKind(const Module& module) {
  return modelKindOfCell(module.deviceConfig[module.currentDevice].modelName());
}

void readDevice(Module& m, DeviceKind kind) {
  switch (kind) {
    case DeviceKind::Controller:
      PollController(m);
      break;
    case DeviceKind::AlarmInstrument:
      PollAlarmInstrument(m);
      break;
    case DeviceKind::Thermocouple:
    case DeviceKind::ResistanceThermometer:
    case DeviceKind::CurrentLoop:
      PollTransducer(m);
      break;
  }
}

}  // namespace

void PollingThread::start() {
  if (running()) return;
  module_.link.stop = &stop_;
  if (launching) launching();
  try {
    if (systemThreads) {
      if (systemThreads->finishedWaiter) finished_.useWaiter(systemThreads->finishedWaiter());
      system_ = systemThreads->start(*this);
      if (!system_) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      systemThreads_ = systemThreads;
    } else {
      thread_ = std::thread([this] { run(); });
    }
  } catch (...) {
    if (entered) entered();
    throw;
  }
}

bool PollingThread::stop(bool join, std::uint32_t boundMs) {
  stop_.request();
  if (!running()) return true;
  if (join) {
    if (system_) {
      systemThreads_->join(std::exchange(system_, nullptr));
    } else {
      thread_.join();
    }
    return true;
  }
  const bool finished = finished_.wait(boundMs);
  if (system_) {
    systemThreads_->detach(std::exchange(system_, nullptr));
  } else {
    thread_.detach();
  }
  return finished;
}

void PollingThread::run() {
  if (entered) entered();
  module_.platform.clock.keepExactTimeOnThisThread();
  module_.link.pollingActive = 1;
  Clock& clock = module_.platform.clock;
  std::uint64_t cycleStart = clock.monotonicMs();
  while (clock.sleepMs(1000, &stop_)) {
    if (!pollAllDevices()) break;
    const std::uint64_t now = clock.monotonicMs();
    cyclePeriodMs_.store(static_cast<std::uint32_t>(std::min<std::uint64_t>(now - cycleStart, UINT32_MAX)),
                         std::memory_order_relaxed);
    cycleStart = now;
  }
  if (ending) {
    ending(*this);
  } else {
    sayFinished();
  }
}

bool PollingThread::pollAllDevices() {
  Module& m = module_;
  // A port the system took away is tried once a cycle; its devices fail meanwhile as silent ones do.
  if (m.configuredCount > 0) m.link.ReopenPort(m.platform.ports);
  const int count = std::min(m.configuredCount, kSlots);
  for (m.currentDevice = 0; m.currentDevice < count; ++m.currentDevice) {
    deferredWaitMs_ = 50;
    const auto kind = currentKind(m);
    if (kind) readDevice(m, *kind);
    // A device that made no exchange still waits its 50 ms.
    if (deferredWaitMs_ > 0 && !m.platform.clock.sleepMs(takeDeferredWait(), &stop_)) return false;
    if (!kind) continue;  // no model: not read, nothing published, counters untouched
    if (stop_.requested()) return false;
    if (m.failedExchanges[m.currentDevice]) countUp(m.failedCycles[m.currentDevice]);
    PublishDeviceNumber(m);
  }
  return !stop_.requested();
}

Exchange PollExchange(Module& module, const RequestFrame& request, int dataBytes) {
  StopSignal& stop = module.pollingThread.stopSignal();
  if (!module.platform.clock.sleepMs(10 + module.pollingThread.takeDeferredWait(), &stop))
    return Exchange::Stopped;
  Link& link = module.link;
  link.busBusy = 1;
  int result = link.Transaction(request.length, request.data(), link.responseBuffer,
                                static_cast<int>(sizeof link.responseBuffer));
  link.busBusy = 0;
  if (stop.requested()) return Exchange::Stopped;
  if (result == 0 && link.responseBuffer[2] < dataBytes) {
    link.refuseReply(CurrentAddress(module));
    result = -1;
  }

  const int d = module.currentDevice;
  if (result == 0) {
    module.failedExchanges[d] = 0;
    module.failedCycles[d] = 0;
    return Exchange::Answered;
  }
  countUp(module.failedExchanges[d]);
  if (module.failedCycles[d] >= 2) {
    ReportDeviceLost(module);
    return Exchange::Lost;
  }
  return Exchange::Failed;
}

std::uint8_t CurrentAddress(const Module& module) {
  return module.deviceConfig[module.currentDevice].busAddress();
}

std::uint8_t ReplyData(const Module& module, int i) {
  return module.link.responseBuffer[3 + i];
}

void StartFreshGroup(Module& module) {
  module.lastTimestamp = module.platform.clock.fileTimeNow();
  setOnline(module.deviceStatusTable[module.currentDevice], 1);
}

void PublishAnalog(Module& module, int index, float value) {
  const DeviceStatusRecord& r = module.deviceStatusTable[module.currentDevice];
  if (index < 0 || index >= r.analogCount) return;
  module.platform.host.exposeAnTag(r.analogTags + index, value, module.currentQuality, module.lastTimestamp);
}

void PublishBit(Module& module, int index, bool value) {
  const DeviceStatusRecord& r = module.deviceStatusTable[module.currentDevice];
  if (index < 0 || index >= r.bitCount) return;
  module.platform.host.exposeBitTag(r.bitTags + index, value ? 1 : 0, module.currentQuality,
                                    module.lastTimestamp);
}

void ReportDeviceLost(Module& module) {
  const auto kind = currentKind(module);
  if (!kind) return;
  DeviceStatusRecord& r = module.deviceStatusTable[module.currentDevice];
  setOnline(r, 0);
  module.currentQuality = QualityDeviceFailure;
  module.lastTimestamp = module.platform.clock.fileTimeNow();
  const auto analogs = [&] {
    for (int a = 0; a < r.analogCount; ++a) PublishAnalog(module, a, 0.0f);
  };
  const auto bits = [&] {
    for (int b = 0; b < r.bitCount; ++b) PublishBit(module, b, false);
  };
  switch (*kind) {
    case DeviceKind::Controller:
      analogs();
      bits();
      break;
    case DeviceKind::AlarmInstrument:
      bits();
      break;
    case DeviceKind::Thermocouple:
    case DeviceKind::ResistanceThermometer:
    case DeviceKind::CurrentLoop:
      bits();
      PublishAnalog(module, 0, 0.0f);
      break;
  }
}

void PublishDeviceNumber(Module& module) {
  const int d = module.currentDevice;
  const DeviceStatusRecord& r = module.deviceStatusTable[d];
  if (r.intCount == 0) return;  // no tags were registered for the slot
  module.currentQuality = QualityGood;
  module.platform.host.exposeIntTag(r.intTags + (r.intCount - 1), module.deviceConfig[d].busAddress(),
                                    QualityGood, module.lastTimestamp);
}

}  // namespace duz
