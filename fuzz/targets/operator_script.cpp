// The operator script (DUZEVOD_OPERATOR): the fuzzer's bytes, up to the first NUL as an environment
// variable ends, drive the whole start-up on a small simulated bus: first without a configuration file,
// then once more with the one the first run saved. Every report is one line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "harness/scenarios.h"
#include "ui/scripted/scripted_operator.h"

namespace {

using namespace duz;
using namespace duz::fuzz;

constexpr const char* kBus = R"(
device 1 LUMA-12
  modules 1 0 2 0 0 0 0 0
device 2 DEK-04
  ident 98 52
device 3 VEKS-1
  sensor 2
  range 0
)";

void startUp(test::FakeWorld& world, const std::string& script) {
  auto op = makeTextOperator(
      script.c_str(), [](const std::string& line) { DUZ_FUZZ_CHECK(line.find('\n') == std::string::npos); });
  Platform platform{world.clock, world.ports, *op, world.locale, world.directory, world.files, world.host};
  auto module = std::make_unique<Module>(platform);
  // The polling thread ends at its first sleep: the start-up is what is being driven here.
  const auto self = std::this_thread::get_id();
  Module* m = module.get();
  world.clock.onSleep = [m, self](std::uint64_t) {
    if (std::this_thread::get_id() != self) m->pollingThread.stopSignal().request();
  };
  module->runStartup();
  module->pollingThread.stop();
  world.clock.onSleep = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Responder line = simulatorLine(kBus);
  const std::string script(reinterpret_cast<const char*>(data), size);
  test::FakeWorld world;
  world.ports.listed = {"COM1", "COM2"};
  world.ports.openable = {"COM1", "COM2", "/dev/ttyUSB0"};
  world.ports.responder = line;
  startUp(world, script.c_str());
  startUp(world, script.c_str());
  return 0;
}
