// The reply path of a polling transaction and each read procedure's decoding: the bus plan (controller
// modules, alarm variant, transducer ranges), then one chunk per request as the line's answer (see
// harness/replies.h): garbled, partial, over-long, wrong address or function, bad CRC, or correct.
#include <cstddef>
#include <cstdint>

#include "harness/scenarios.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace duz::fuzz;
  Input in(data, size);
  const PollPlan plan = readPollPlan(in);
  runPolling(
      plan, [&in](const Bytes& request) { return nextReply(in, request); }, [&in] { return !in.empty(); }, 64,
      true);
  return 0;
}
