#include "platform/system.h"

namespace duz {

namespace {
// No serial port support yet: nothing opens, nothing is listed.
class NoSerialPorts : public SerialPorts {
 public:
  std::unique_ptr<SerialPort> open(const std::string&) override { return nullptr; }
  std::vector<std::string> list() override { return {}; }
};
}  // namespace

std::unique_ptr<SerialPorts> makeSystemSerialPorts() {
  return std::make_unique<NoSerialPorts>();
}

}  // namespace duz
