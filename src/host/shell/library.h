// What the library's entry points do (posix_entry.cpp, win32_entry.cpp): build the module on the
// system's platform parts when the library is loaded, take it down when it is unloaded.
#pragma once

#include "poll/polling_thread.h"

namespace duz::shell {

void libraryLoad() noexcept;
// join: true on POSIX; false under the Windows loader lock, where the wait is bounded. False when the
// polling thread did not stop in time and still runs the library's code, which must then stay mapped.
bool libraryUnload(bool join) noexcept;

}  // namespace duz::shell
