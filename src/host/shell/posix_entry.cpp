// The library's entry points on POSIX: the start-up runs inside dlopen, the unload inside dlclose (or
// at process exit). Built into the shared library only, never into the platform library.
#include "host/shell/library.h"

namespace {

__attribute__((constructor)) void duzevodLoad() {
  duz::shell::libraryLoad();
}

// Stops the polling thread (sleeps are interruptible) and joins it before the names go away.
__attribute__((destructor)) void duzevodUnload() {
  duz::shell::libraryUnload(true);
}

}  // namespace
