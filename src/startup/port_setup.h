// Opening and configuring the serial line before a search and before polling.
#pragma once

namespace duz {

class Module;

enum class PortResult { Proceed, Retry };

// Opens settings.portName, configures it from settings.portSettings with RTS raised while sending and
// the fixed read time-outs; asks the operator on failure. Retry: the port is closed and the caller
// shows the dialog again.
PortResult OpenPort(Module& module);

}  // namespace duz
