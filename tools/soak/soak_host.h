// The host side of the soak: a child process that loads the module as the host does, sees every
// publication through the host-library stand-in and carries out writes and snapshots on request. It
// talks to the checker over two pipes in fixed-size records, so that nothing it does for the soak
// allocates memory while the module runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "child.h"

namespace duz::soak {

struct Report {
  char type = 0;  // 'p' publication, 't' a slot of the table, 'r' ready, 'w' write done,
                  // 'o' a slot's state in a snapshot, 'e' end of snapshot, 'x' cannot load
  char kind = 0;  // publication: 'a', 'b' or 'i'; write: the writing thread, 0 or 1
  std::uint8_t slot = 0;
  std::uint8_t online = 0;
  std::uint16_t index = 0;       // tag index; write: the bit
  std::uint16_t counts[3] = {};  // table: analog, bit, int counts; snapshot: tags of a failed device
  std::uint32_t value = 0;       // float bits for analog tags; write: the value written
  std::uint32_t quality = 0;     // write: the result
  std::uint64_t timestamp = 0;   // FILETIME; write: start (us since 1970)
  std::uint64_t until = 0;       // write: end (us since 1970)
};
static_assert(sizeof(Report) <= 64);

struct Command {
  char type = 0;  // 'w' write, 's' snapshot, 'q' unload and exit
  std::uint8_t slot = 0;
  std::uint16_t bit = 0;
  std::uint32_t value = 0;
};

struct HostSetup {
  std::string module;
  std::string dir;
  std::string port;
  std::string trace;
  std::string log;  // the child's standard error
};

// Forks the host. Returns it, with the checker's ends of the pipes in `commands` (the main host
// thread's, and a second thread's that only writes) and `reports`; null when it cannot be started.
std::unique_ptr<tools::Child> startHost(const HostSetup& setup, int (&commands)[2], int& reports);

}  // namespace duz::soak
