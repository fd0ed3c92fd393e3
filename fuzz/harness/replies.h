// The far end of the line in a fuzz target: every request the module writes to its fake port is answered
// with the next chunk of the fuzzer's bytes. A chunk is [control][length][length bytes]; the control byte
// lets the fuzzer reach past the checks it cannot guess (echo, CRC) while still sending partial,
// over-long and garbled frames:
//   kEcho  bytes 0 and 1 become the request's address and function code;
//   kSeal  the CRC of the frame (byte count + 5 bytes, or the request's length for an echo function) is
//          written where it belongs when the chunk is long enough; bytes after it stay as surplus;
//   kLong  the length is 256 more (a full 260-byte frame);
//   kGone  right after this reply the system takes the port away (an adapter pulled): the module has to
//          notice and open it again.
// Once the input is used up the line is silent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "fakes/fakes.h"

namespace duz::fuzz {

using test::Bytes;

// A violated expectation is a finding like a sanitizer's: say what, and abort so that the fuzzer keeps
// the input.
#define DUZ_FUZZ_CHECK(condition)                                                        \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

// Reads the fuzzer's bytes front to back; zeros once they are used up.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  std::size_t left() const { return size_ - pos_; }
  std::uint8_t byte() { return empty() ? 0 : data_[pos_++]; }
  Bytes take(std::size_t n);
  Bytes rest() { return take(left()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

constexpr std::uint8_t kEcho = 0x01;
constexpr std::uint8_t kSeal = 0x02;
constexpr std::uint8_t kLong = 0x04;
constexpr std::uint8_t kGone = 0x08;

// What the line answers to one request.
using Responder = std::function<Bytes(const Bytes& request)>;

// The reply to `request` made from the next chunk; empty (silence) once the input is used up.
Bytes nextReply(Input& in, const Bytes& request);

// True once after a chunk with kGone has been served: the port that sent the request is to be taken away.
bool portGoneRequested();

// Appends a chunk that serves `reply` byte for byte (for seeds).
void appendChunk(Bytes& out, const Bytes& reply);

}  // namespace duz::fuzz
