#include "poll/polling_thread.h"

#include "host/module.h"

namespace duz {

void PollingThread::start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void PollingThread::stop(bool join) {
  stop_.request();
  if (!thread_.joinable()) return;
  if (join) {
    thread_.join();
  } else {
    while (!finished_.waitFor(std::chrono::milliseconds(100))) {
    }
    thread_.detach();
  }
}

void PollingThread::run() {
  module_.link.pollingActive = 1;
  while (module_.platform.clock.sleepMs(1000, &stop_)) {
    if (!pollAllDevices()) break;
  }
  finished_.request();
}

bool PollingThread::pollAllDevices() {
  return !stop_.requested();
}

}  // namespace duz
