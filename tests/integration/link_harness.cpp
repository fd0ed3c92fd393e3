#include "link_harness.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>

#include "platform/system.h"

namespace duz::test {

namespace {

std::string tempName() {
  char pattern[] = "/tmp/duzevod-it-XXXXXX";
  const int fd = mkstemp(pattern);
  if (fd >= 0) close(fd);
  return pattern;
}

}  // namespace

Bytes sealed(Bytes frame) {
  frame.resize(frame.size() + 2);
  putCrc(frame.data(), static_cast<int>(frame.size()));
  return frame;
}

LineLink::LineLink() : clock(makeSystemClock()), ports(makeSystemSerialPorts()), link(*clock) {}
LineLink::~LineLink() = default;

bool LineLink::open(const std::string& path, const std::string& settings) {
  link.port = ports->open(path);
  if (!link.port || !link.port->configure(settings)) return false;
  link.port->setTimeouts({100, 2, 500});
  link.setBaud(baudFromSettings(settings.c_str()));
  return true;
}

int LineLink::exchange(const Bytes& request, Bytes& reply) {
  const Bytes frame = sealed(request);
  std::uint8_t response[260];
  const int r = link.Transaction(static_cast<int>(frame.size()), frame.data(), response, sizeof response);
  reply.clear();
  if (r == 0) {
    const std::size_t length = request[1] == 5 ? frame.size() : response[2] + 5u;
    reply.assign(response, response + length);
  }
  return r;
}

TempFile::TempFile(const std::string& content) : path_(tempName()) {
  std::ofstream(path_) << content;
}
TempFile::~TempFile() {
  unlink(path_.c_str());
}

}  // namespace duz::test
