#include "harness/replies.h"

#include <algorithm>

#include "link/frames.h"

namespace duz::fuzz {

namespace {
bool portGone = false;
}  // namespace

bool portGoneRequested() {
  const bool gone = portGone;
  portGone = false;
  return gone;
}

Bytes Input::take(std::size_t n) {
  n = std::min(n, left());
  Bytes out(data_ + pos_, data_ + pos_ + n);
  pos_ += n;
  return out;
}

Bytes nextReply(Input& in, const Bytes& request) {
  if (in.empty()) return {};
  const std::uint8_t control = in.byte();
  const std::size_t length = in.byte() + ((control & kLong) ? 256u : 0u);
  Bytes reply = in.take(length);
  if (control & kGone) portGone = true;
  if (control & kEcho) {
    for (std::size_t i = 0; i < 2 && i < reply.size() && i < request.size(); ++i) reply[i] = request[i];
  }
  if ((control & kSeal) && reply.size() >= 3 && request.size() >= 2) {
    const int frame = replyLength(request[1], static_cast<int>(request.size()), reply.data());
    if (frame >= 4 && reply.size() >= static_cast<std::size_t>(frame)) putCrc(reply.data(), frame);
  }
  return reply;
}

void appendChunk(Bytes& out, const Bytes& reply) {
  const std::size_t n = std::min<std::size_t>(reply.size(), 511);
  out.push_back(n > 255 ? kLong : 0);
  out.push_back(static_cast<std::uint8_t>(n & 0xFF));
  out.insert(out.end(), reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(n));
}

}  // namespace duz::fuzz
