// Writes the seeds whose bytes are frames and files the system itself makes: the simulator's replies to
// the module's requests (poll_replies, discovery) and configuration files written by the module after a
// search of the simulator's bus (config_file). Run from the fuzz build after a change of the frame format:
//   build/fuzz/fuzz/fuzz_make_seeds
// The hand-written seeds (scripts, texts, bus files) are kept in the corpus folders as they are.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "harness/scenarios.h"
#include "model/catalogue.h"
#include "startup/config_file.h"
#include "startup/discovery.h"
#include "ui/dialog.h"

namespace {

using namespace duz;
using namespace duz::fuzz;

const std::filesystem::path kCorpus = std::filesystem::path(DUZ_SOURCE_DIR) / "fuzz" / "corpus";

std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write(const std::string& target, const std::string& name, const Bytes& bytes) {
  std::filesystem::create_directories(kCorpus / target);
  std::ofstream out(kCorpus / target / ("seed-" + name), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  std::printf("%s/seed-%s: %zu bytes\n", target.c_str(), name.c_str(), bytes.size());
}

// The simulator answering, each reply recorded as a chunk.
Responder recording(const std::string& busText, Bytes& out) {
  Responder sim = simulatorLine(busText.c_str());
  return [sim, &out](const Bytes& request) {
    Bytes reply = sim(request);
    appendChunk(out, reply);
    return reply;
  };
}

std::uint8_t variantIndex(const char* code) {
  for (int i = 0; i < kAlarmVariantCount; ++i)
    if (std::string(alarmVariantTable()[i].code(), 4) == code) return static_cast<std::uint8_t>(i);
  return 0;
}

// The polled bus of the harness (addresses 1..5) in bus-file form.
std::string pollBus(const std::string& modules, const std::string& ident, const std::string& fault) {
  std::string text = "device 1 LUMA-12\n  modules " + modules +
                     "\n  channel 0 0 \"  23.50 \" 0x01\n  channel 0 1 \"  -3.20 \" 0x22\n"
                     "  channel 0 2 \" 101.00 \" 0x40\n  channel 0 3 \"   7.75 \" 0x83\n"
                     "device 2 DEK-04\n  ident " +
                     ident +
                     "\n  inputs 0x00000215\n  coils 0x0050\n  coil 240 1\n"
                     "device 3 VEKS-1\n  sensor 2\n  range 0\n  raw 4096\n  status 0x02\n"
                     "device 4 VEKS-2\n  sensor 3\n  range 4\n  raw -1200\n  status 0x01\n"
                     "device 5 ORTA\n  raw 8192\n";
  std::string faulted;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    faulted += line + "\n";
    if (!fault.empty() && line.rfind("device ", 0) == 0) faulted += "  fault " + fault + "\n";
  }
  return faulted;
}

// Marks chunk `index` of a poll seed: the port is taken away right after that reply.
Bytes withPortGone(Bytes seed, int index) {
  std::size_t at = kPollPlanBytes;
  for (int i = 0; i < index && at + 1 < seed.size(); ++i)
    at += 2 + seed[at + 1] + ((seed[at] & kLong) ? 256 : 0);
  if (at < seed.size()) seed[at] |= kGone;
  return seed;
}

Bytes pollSeed(const std::string& name, const PollPlan& plan, const std::string& bus) {
  Bytes seed = encodePollPlan(plan);
  int cycles = 0;
  runPolling(
      plan, recording(bus, seed), [&cycles] { return cycles++ < 2; }, 8, false);
  write("poll_replies", name, seed);
  return seed;
}

void discoverySeed(const std::string& name, int limit, const std::string& bus) {
  Bytes seed{static_cast<std::uint8_t>(limit - 1)};
  runDiscovery(limit, recording(bus, seed));
  write("discovery", name, seed);
}

// The file the module saves after searching `bus` up to `limit`.
Bytes savedConfiguration(const std::string& bus, int limit) {
  test::FakeWorld world;
  world.ports.responder = simulatorLine(bus.c_str());
  Module module(world.platform());
  TForm2 form(world.op, world.ports, nullptr);
  copyField(module.settings.searchLimitText, std::to_string(limit).c_str());
  copyField(module.settings.portSettings, "baud=19200 parity=E data=8 stop=1");
  copyField(module.settings.portName, "COM3");
  module.link.port = world.ports.open("COM3");
  DiscoverDevices(module, form);
  const ConfigPaths paths = configPaths(world.directory);
  SaveConfiguration(module, paths);
  const std::string file = readText(paths.config);
  return Bytes(file.begin(), file.end());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    std::printf("Usage: %s\nWrites the frame and file seeds into %s.\n", argv[0], kCorpus.c_str());
    return std::string(argv[1]) == "--help" ? 0 : 2;
  }
  const std::string sample = readText(std::filesystem::path(DUZ_SOURCE_DIR) / "tools/sim/sample.bus");
  const std::string demo = readText(std::filesystem::path(DUZ_SOURCE_DIR) / "tools/sim/demo.bus");

  PollPlan plan;
  plan.slotCodes = {1, 0, 2, 0, 0, 4, 0, 0};
  plan.variantIndex = variantIndex("9852");
  plan.thermocoupleLow = -50;
  plan.thermocoupleHigh = 200;
  plan.resistanceLow = -50;
  plan.resistanceHigh = 180;
  const Bytes healthy = pollSeed("healthy", plan, pollBus("1 0 2 0 0 4 0 0", "98 52", ""));
  write("poll_replies", "port-gone", withPortGone(healthy, 4));
  for (const char* fault : {"badcrc", "wrongaddr", "exception", "short", "silent"})
    pollSeed(fault, plan, pollBus("1 0 2 0 0 4 0 0", "98 52", fault));
  PollPlan full = plan;
  full.slotCodes = {1, 2, 3, 4, 1, 2, 3, 4};  // five served: two blocks of four and one
  const std::string code = alarmVariantTable()[0].code();
  full.variantIndex = 0;
  pollSeed("full-controller", full,
           pollBus("1 2 3 4 1 2 3 4",
                   std::to_string(std::stoi(code.substr(0, 2))) + " " +
                       std::to_string(std::stoi(code.substr(2, 2))),
                   ""));

  discoverySeed("sample", 5, sample);
  discoverySeed("demo", 6, demo);
  discoverySeed("faults", 5, pollBus("1 0 2 0 0 4 0 0", "98 52", "short"));

  // config_file: a leading 0 for a file as stored, 1 for plain contents the target stores itself.
  const auto stored = [](Bytes file) {
    file.insert(file.begin(), 0);
    return file;
  };
  const Bytes saved = savedConfiguration(sample, 5);
  write("config_file", "sample", stored(saved));
  write("config_file", "demo", stored(savedConfiguration(demo, 6)));
  Bytes damaged = saved;
  damaged[damaged.size() / 2] ^= 0x10;
  write("config_file", "damaged", stored(damaged));
  Bytes plain{1};
  for (std::size_t k = saved.size(); k-- > 2;) plain.push_back(saved[k] ^ 0xA7);
  write("config_file", "sample-plain", plain);
  return 0;
}
