// A TCP port on 127.0.0.1 for a private server (a test's or the benchmark's broker).
#pragma once

namespace duz::tools {

// A port that nothing listens on right now, -1 when none could be had. Another program may still take
// it before the caller's server does: a server that cannot bind should be started on another.
int freeLoopbackPort();

}  // namespace duz::tools
