// The DLL's entry point. The C++ run-time has constructed the DLL's statics before it calls us on
// attach and destroys them after us on detach. Built into the DLL only, never into the platform library.
#include <windows.h>

#include "host/shell/library.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      duz::shell::libraryLoad();
      break;
    case DLL_PROCESS_DETACH:
      // Non-null: the process is ending and its other threads are already gone; nothing to do.
      // Null: FreeLibrary. We hold the loader lock, so the polling thread is not joined: we wait only for
      // its signal that it no longer touches module data.
      if (!reserved) duz::shell::libraryUnload(false);
      break;
    default:
      break;
  }
  return TRUE;
}
