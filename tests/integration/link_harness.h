// What the link's integration tests share: child processes (the simulator, peers and tools, talked to
// through pipes and always ended and reaped by the test that started them) and our link on a line.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child.h"
#include "link/link.h"
#include "platform/platform.h"
#include "simulator.h"

namespace duz::test {

// Programs the tests run: both pipes, standard error in a file of their own.
using tools::Child;
using tools::Finished;
using tools::runToEnd;

// A temporary file with the given content, removed at destruction.
class TempFile {
 public:
  explicit TempFile(const std::string& content);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Monotonic milliseconds, for measurements.
inline double nowMs() {
  return tools::monotonicMs();
}

using Bytes = std::vector<std::uint8_t>;
// A frame with its CRC appended.
Bytes sealed(Bytes frame);

// Our link with the real serial port, opened on `path` and set up as the module does it: 9600 bit/s,
// 8 data bits, no parity, 2 stop bits, read time-outs 100 / 2 / 500 ms.
class LineLink {
 public:
  LineLink();
  ~LineLink();
  bool open(const std::string& path, const std::string& settings = "baud=9600 parity=N data=8 stop=2");
  // One Transaction of `request` (CRC added); on success `reply` holds the whole reply frame.
  int exchange(const Bytes& request, Bytes& reply);

  std::unique_ptr<Clock> clock;
  std::unique_ptr<SerialPorts> ports;
  Link link;
};

}  // namespace duz::test
