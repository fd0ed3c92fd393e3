#include "harness/scenarios.h"

#include <cmath>
#include <cstring>
#include <new>
#include <sstream>
#include <string>

#include "link/trace.h"
#include "model/catalogue.h"
#include "poll/controller_modules.h"
#include "sim_answer.h"
#include "sim_bus.h"
#include "startup/config_file.h"
#include "startup/discovery.h"
#include "startup/registration.h"
#include "ui/dialog.h"

namespace duz::fuzz {

namespace {

using test::Publication;

// Fake parts without a host directory: nothing here touches the configuration file.
struct LineWorld {
  struct NoDirectory : HostDirectory {
    std::string path() override { return ""; }
    bool replaceFile(const std::string&, const std::string&) override { return false; }
  };
  test::FakeClock clock;
  test::FakeSerialPorts ports{clock};
  test::FakeOperator op;
  test::FakeLocale locale;
  NoDirectory directory;
  test::FaultyFiles files;  // never used
  test::FakeHostLibrary host;
  Platform platform() { return Platform{clock, ports, op, locale, directory, files, host}; }
};

// A module with its fake world; the polling thread is never started, cycles run on the caller's thread.
// The module (some 140 KB) is built in storage kept from run to run: a fresh mapping for every run would
// cost more than the run itself.
class Bench {
 public:
  explicit Bench(const Responder& line) {
    DUZ_FUZZ_CHECK(depth_ < kDepth);
    module = new (storage_[depth_++]) Module(world.platform());
    world.ports.responder = [this, line](const Bytes& request) {
      Bytes reply = line(request);
      if (portGoneRequested()) world.ports.last->takeAway("fuzz: the adapter was pulled");
      return reply;
    };
    module->link.setup.name = "COM1";
    module->link.port = world.ports.open("COM1");
    module->link.port->setTimeouts({100, 2, 500});
  }
  ~Bench() {
    module->~Module();
    --depth_;
  }
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  LineWorld world;
  Module* module;

 private:
  static constexpr int kDepth = 2;  // a search's result is polled on a bench of its own
  alignas(Module) static inline unsigned char storage_[kDepth][sizeof(Module)];
  static inline int depth_ = 0;
};

bool knownQuality(std::uint32_t q) {
  return q == QualityGood || q == QualityDeviceFailure || q == QualitySensorFailure ||
         q == QualitySensorNotAccurate || q == QualityConfigError;
}

// Every publication goes to a named tag of a configured slot, with a known quality and a finite value.
void checkPublications(Module& module, const std::vector<Publication>& log) {
  for (const Publication& p : log) {
    DUZ_FUZZ_CHECK(knownQuality(p.quality));
    DUZ_FUZZ_CHECK(std::isfinite(p.value));
    bool found = false;
    for (int s = 0; s < module.configuredCount && !found; ++s) {
      const DeviceStatusRecord& r = module.deviceStatusTable[s];
      const auto in = [&](const auto* row, int count) {
        const auto* h = static_cast<decltype(row)>(p.handle);
        return h >= row && h < row + count && h->name != nullptr;
      };
      found = (p.kind == 'a' && in(r.analogTags, r.analogCount)) ||
              (p.kind == 'b' && in(r.bitTags, r.bitCount)) || (p.kind == 'i' && in(r.intTags, r.intCount));
    }
    DUZ_FUZZ_CHECK(found);
  }
}

// The frame trace of every attempt, garbage included: whole lines, each request and what came back.
class CheckedTrace : public TraceSink {
 public:
  void append(std::string_view lines) override {
    DUZ_FUZZ_CHECK(!lines.empty() && lines.back() == '\n');
    for (std::size_t start = 0; start < lines.size();) {
      const std::size_t end = lines.find('\n', start);
      const std::string_view line = lines.substr(start, end - start);
      DUZ_FUZZ_CHECK(line.find(" tx ") != line.npos || line.find(" rx ") != line.npos ||
                     line.find(" port ") != line.npos);
      start = end + 1;
    }
  }
};

void putText(DeviceConfig& c, int cellIndex, std::string_view text) {
  std::memset(c.cells[cellIndex], 0, kCellSize);
  std::memcpy(c.cells[cellIndex], text.data(), std::min<std::size_t>(text.size(), kCellSize - 1));
}

DeviceConfig& addDevice(Module& m, DeviceKind kind, std::uint8_t address) {
  DeviceConfig& c = m.deviceConfig[m.configuredCount++];
  c.byte0(cell::kBusAddress) = address;
  putText(c, cell::kModelName, modelText(kind));
  return c;
}

std::int16_t int16At(Input& in) {
  const int high = in.byte();
  return static_cast<std::int16_t>(high << 8 | in.byte());
}

}  // namespace

PollPlan readPollPlan(Input& in) {
  PollPlan p;
  for (auto& code : p.slotCodes) code = in.byte();
  p.variantIndex = in.byte();
  p.thermocoupleLow = int16At(in);
  p.thermocoupleHigh = int16At(in);
  p.resistanceLow = int16At(in);
  p.resistanceHigh = int16At(in);
  return p;
}

Bytes encodePollPlan(const PollPlan& p) {
  Bytes out(p.slotCodes.begin(), p.slotCodes.end());
  out.push_back(p.variantIndex);
  for (std::int16_t v : {p.thermocoupleLow, p.thermocoupleHigh, p.resistanceLow, p.resistanceHigh}) {
    out.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8));
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  }
  return out;
}

void runPolling(const PollPlan& plan, const Responder& line, const std::function<bool()>& more, int maxCycles,
                bool silentAtEnd) {
  CheckedTrace trace;  // outlives the module that writes to it
  Bench bench(line);
  Module& m = *bench.module;

  DeviceConfig& controller = addDevice(m, DeviceKind::Controller, kPolledAddresses[0]);
  char variant[5] = {'0', '0', '0', '0', 0};
  for (int s = 0; s < 8; ++s) {
    controller.byte0(cell::kSlotModule0 + s) = plan.slotCodes[s];
    if (plan.slotCodes[s] >= 1 && plan.slotCodes[s] <= 4) ++variant[plan.slotCodes[s] - 1];
  }
  putText(controller, cell::kControllerVariant, variant);
  DeviceConfig& alarm = addDevice(m, DeviceKind::AlarmInstrument, kPolledAddresses[1]);
  putText(alarm, cell::kAlarmVariant, alarmVariantTable()[plan.variantIndex % kAlarmVariantCount].code());
  DeviceConfig& tc = addDevice(m, DeviceKind::Thermocouple, kPolledAddresses[2]);
  putText(tc, cell::kRangeLow, std::to_string(plan.thermocoupleLow));
  putText(tc, cell::kRangeHigh, std::to_string(plan.thermocoupleHigh));
  DeviceConfig& rtd = addDevice(m, DeviceKind::ResistanceThermometer, kPolledAddresses[3]);
  putText(rtd, cell::kRangeLow, std::to_string(plan.resistanceLow));
  putText(rtd, cell::kRangeHigh, std::to_string(plan.resistanceHigh));
  addDevice(m, DeviceKind::CurrentLoop, kPolledAddresses[4]);
  RegisterTags(m);
  m.link.pollingActive = 1;
  m.link.setTrace(&trace);

  const std::uint32_t commandBits = m.deviceStatusTable[1].bitCount;
  int silentCycles = 3;
  bool ended = false;
  for (int cycle = 0; cycle < maxCycles; ++cycle) {
    if (!more() && silentCycles-- == 0) {
      ended = true;
      break;
    }
    m.pollingThread.pollAllDevices();
    checkPublications(m, bench.world.host.take());
    // The host writes Reset, Cancellation or Mode of blocking between two cycles.
    const std::uint32_t bit = commandBits - 1 - static_cast<std::uint32_t>(cycle % 3);
    const std::uint8_t written = m.SetBitTagValue(1u << 16 | bit, cycle & 1);
    DUZ_FUZZ_CHECK(written == 0 || written == 1);
  }
  // A device silent for three cycles is reported lost, whatever it sent before (a controller without
  // served modules is never read).
  if (!ended || !silentAtEnd) return;
  // A port taken away came back at the start of the next cycle.
  DUZ_FUZZ_CHECK(!m.link.portLost() && m.link.port);
  for (int s = 0; s < m.configuredCount; ++s) {
    if (s == 0 && servedModules(controller) == 0) continue;
    DUZ_FUZZ_CHECK(readOnline(m.deviceStatusTable[s]) == 0);
  }
}

void pollOnce(const std::array<DeviceConfig, kSlots>& configs, int count, const Responder& line) {
  Bench bench(line);
  Module& m = *bench.module;
  m.deviceConfig = configs;
  m.configuredCount = count;
  RegisterTags(m);
  m.link.pollingActive = 1;
  m.pollingThread.pollAllDevices();
  checkPublications(m, bench.world.host.take());
}

void runDiscovery(int limit, const Responder& line) {
  Bench bench(line);
  Module& m = *bench.module;
  TForm2 form(bench.world.op, bench.world.ports,
              [&m](const char* s, const char* p, const char* l, const char* a) { m.GiveString(s, p, l, a); });
  copyField(m.settings.searchLimitText, std::to_string(limit).c_str());
  DiscoverDevices(m, form);

  // Recorded in address order, each at an address that was probed.
  DUZ_FUZZ_CHECK(m.configuredCount >= 0 && m.configuredCount <= limit);
  DUZ_FUZZ_CHECK(m.link.port == nullptr);
  int lastAddress = 0;
  for (int s = 0; s < m.configuredCount; ++s) {
    const DeviceConfig& c = m.deviceConfig[s];
    DUZ_FUZZ_CHECK(c.busAddress() > lastAddress && c.busAddress() <= limit);
    lastAddress = c.busAddress();
    // A model name is one of ours or nothing at all.
    DUZ_FUZZ_CHECK(modelKindOfCell(c.modelName()) || c.textLength(cell::kModelName) == 0);
  }
  if (m.configuredCount == 0) return;

  // What the start-up does next: tags, the dialog's description of every device, the saved file.
  RegisterTags(m);
  form.DeviceCount = m.configuredCount;
  form.Devices = m.deviceConfig;
  form.show();
  for (int row = 1; row <= m.configuredCount; ++row) form.StringGrid1SelectCell(1, row);
  form.close();

  ConfigContents saved;
  saved.count = m.configuredCount;
  saved.records = m.deviceConfig;
  saved.portSettings = "baud=9600 parity=N data=8 stop=2";
  saved.portName = "COM1";
  saved.description = "fuzz";
  const DecodedConfig restored = decodeConfigFile(encodeConfigFile(saved));
  DUZ_FUZZ_CHECK(restored.valid());
  DUZ_FUZZ_CHECK(std::memcmp(restored.contents.records.data(), saved.records.data(),
                             sizeof(DeviceConfig) * static_cast<std::size_t>(saved.count)) == 0);

  pollOnce(m.deviceConfig, m.configuredCount, line);
}

Responder simulatorLine(const char* busText) {
  auto bus = std::make_shared<sim::Bus>();
  std::istringstream in(busText);
  std::string error;
  if (!sim::parseBus(in, "seed.bus", *bus, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::abort();
  }
  return [bus](const Bytes& request) { return sim::answer(*bus, request).reply; };
}

}  // namespace duz::fuzz
