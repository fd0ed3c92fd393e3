#include "startup/port_setup.h"

#include "host/module.h"

namespace duz {

// Opens the port without questions until the operator's boxes are in place.
PortResult OpenPort(Module& module) {
  module.link.port = module.platform.ports.open(module.settings.portName);
  return PortResult::Proceed;
}

}  // namespace duz
