// The DLL's entry point. The C++ run-time has constructed the DLL's statics before it calls us on
// attach and destroys them after us on detach. Built into the DLL only, never into the platform library.
#include <pthread.h>
#include <windows.h>

#include "host/shell/library.h"

namespace {

// A polling thread launched at load but not yet in its body is waiting for the loader lock we hold:
// it has run none of the module's code and holds nothing of ours, so ending it here is safe, and it
// must not start once the DLL's code is gone.
void endUnstartedThread(std::thread& thread) {
  TerminateThread(pthread_gethandle(thread.native_handle()), 0);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      duz::shell::libraryLoad();
      break;
    case DLL_PROCESS_DETACH:
      // Non-null: the process is ending and its other threads are already gone; nothing to do.
      // Null: FreeLibrary. We hold the loader lock, so the polling thread is not joined: we wait only for
      // its signal that it no longer touches module data.
      if (!reserved) duz::shell::libraryUnload(false, endUnstartedThread);
      break;
    default:
      break;
  }
  return TRUE;
}
