// The simulator's bus file. The fuzzer's bytes up to the first NUL are the file; what follows is a list
// of request frames ([length][bytes]) the simulated bus then answers. A file that parses must describe
// itself (as the simulator's `show` does) in lines that parse to the same description.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "harness/replies.h"
#include "link/link.h"
#include "sim_answer.h"
#include "sim_bus.h"

namespace {

using namespace duz;
using namespace duz::fuzz;

std::string described(const sim::Bus& bus) {
  std::string text;
  for (const auto& [address, device] : bus)
    for (const std::string& line : sim::describe(device)) text += line + "\n";
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t textSize = 0;
  while (textSize < size && data[textSize] != 0) ++textSize;
  std::istringstream file(std::string(reinterpret_cast<const char*>(data), textSize));
  sim::Bus bus;
  std::string error;
  if (!sim::parseBus(file, "fuzz.bus", bus, error)) {
    DUZ_FUZZ_CHECK(error.rfind("fuzz.bus:", 0) == 0);
    return 0;
  }

  const std::string first = described(bus);
  std::istringstream again(first);
  sim::Bus reread;
  const bool parsed = sim::parseBus(again, "shown.bus", reread, error);
  if (!parsed) std::fprintf(stderr, "%s\n%s", error.c_str(), first.c_str());
  DUZ_FUZZ_CHECK(parsed);
  DUZ_FUZZ_CHECK(described(reread) == first);

  // The bus at work: values move, requests are answered (a sealed reply's CRC always holds).
  for (auto& [address, device] : bus) sim::animate(device, 12.5);
  Input in(data + textSize, size - textSize);
  in.byte();  // the NUL
  while (!in.empty()) {
    const Bytes request = in.take(in.byte());
    const sim::Answer answer = sim::answer(bus, request);
    const Bytes& r = answer.reply;
    const auto device = request.empty() ? bus.end() : bus.find(request[0]);
    if (device == bus.end() || device->second.fault != sim::Fault::Normal || r.empty()) continue;
    DUZ_FUZZ_CHECK(r.size() >= 4);
    const std::uint16_t crc = Crc16(static_cast<int>(r.size()) - 2, r.data());
    DUZ_FUZZ_CHECK(r[r.size() - 2] == (crc & 0xFF) && r[r.size() - 1] == (crc >> 8));
  }
  return 0;
}
