// The bus search's handling of identification and parameter replies: the search limit, then one chunk
// per request as the line's answer (see harness/replies.h). What the search records is then named,
// described, stored and polled with the chunks that are left.
#include <cstddef>
#include <cstdint>

#include "harness/scenarios.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace duz::fuzz;
  Input in(data, size);
  const int limit = 1 + in.byte() % 31;
  runDiscovery(limit, [&in](const Bytes& request) { return nextReply(in, request); });
  return 0;
}
