// The DLL's entry point. The C++ run-time has constructed the DLL's statics before it calls us on
// attach and destroys them after us on detach. Built into the DLL only, never into the platform library.
#include <windows.h>

#include <atomic>

#include "host/shell/library.h"
#include "poll/polling_thread.h"

namespace {

// FreeLibrary unmaps the DLL as soon as DllMain returns, and with it the thread-start and C++ run-time
// code linked into it that a returning polling thread would still run. So during an unload the thread
// parks instead: one call sets `parkedSignal` and enters an alertable wait that nothing else ends, and
// DllMain, once it has seen the signal, has ExitThread run there as an APC. The thread thus never
// executes our code again, and its ExitThread (which waits for the loader lock DllMain holds) tidies up
// after the unload as any thread end does. Left behind: its C++ run-time bookkeeping, a few hundred bytes,
// and one event handle.
std::atomic<HANDLE> parkedSignal{nullptr};  // set by DllMain before it stops the module
std::atomic<HANDLE> parkedThread{nullptr};  // set by the thread before it says it has finished

void endPollingThread(duz::PollingThread& thread) {
  const HANDLE signal = parkedSignal.load();
  HANDLE self = nullptr;
  if (signal && DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                                SYNCHRONIZE | THREAD_SET_CONTEXT, FALSE, 0))
    parkedThread.store(self);
  thread.sayFinished();
  if (!self) return;  // not an unload, or no way to park: end as on any other platform
  // A thread's wait for itself ends only by an APC. Our own pseudo-handle: DllMain closes `self`.
  SignalObjectAndWait(signal, GetCurrentThread(), INFINITE, TRUE);
  for (;;) WaitForSingleObjectEx(GetCurrentThread(), INFINITE, TRUE);  // after an APC not ours
}

// A new thread must take the loader lock before it runs any of our code, and the load that launches the
// polling thread holds that lock. A FreeLibrary coming right after the load could then find the thread
// not yet started, which it can neither wait for (deadlock) nor end (it would die holding, or waiting in,
// the loader's own bookkeeping), and which would then start in unmapped code. So the thread holds a
// reference to the DLL from its launch until it has entered its body, and the unload can only come after.
std::atomic<HMODULE> launchReference{nullptr};

void holdLibraryForLaunch() {
  HMODULE self = nullptr;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&launchReference),
                         &self))
    launchReference.store(self);
}

VOID CALLBACK releaseAfterReturn(PTP_CALLBACK_INSTANCE instance, PVOID self) {
  FreeLibraryWhenCallbackReturns(instance, static_cast<HMODULE>(self));
}

// The reference is given back by a pool thread, in the system's code: if the host has already let go,
// that FreeLibrary is the unload, and it must not return into the DLL it unmaps. Should the callback not
// be accepted, the DLL simply stays loaded.
void releaseLaunchReference() {
  if (const HMODULE self = launchReference.exchange(nullptr))
    TrySubmitThreadpoolCallback(releaseAfterReturn, self, nullptr);
}

// Stops the module for FreeLibrary and lets a parked polling thread go: ExitThread itself is the APC.
void unloadUnderLoaderLock() {
  parkedSignal.store(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  duz::shell::libraryUnload(false);
  if (const HANDLE thread = parkedThread.exchange(nullptr)) {
    WaitForSingleObject(parkedSignal.load(), INFINITE);
    const auto exitThread = reinterpret_cast<PAPCFUNC>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ExitThread")));
    if (exitThread) QueueUserAPC(exitThread, thread, 0);
    CloseHandle(thread);
  }
  // The signal stays open: a wait interrupted by a completing I/O may be entered again together with its
  // signal (Wine does so), and that must not meet a closed handle, or its number reused for another.
  parkedSignal.store(nullptr);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      duz::PollingThread::launching = holdLibraryForLaunch;
      duz::PollingThread::entered = releaseLaunchReference;
      duz::PollingThread::ending = endPollingThread;
      duz::shell::libraryLoad();
      break;
    case DLL_PROCESS_DETACH:
      // Non-null: the process is ending and its other threads are already gone; nothing to do.
      // Null: FreeLibrary. We hold the loader lock, so the polling thread is not joined: it says when it
      // no longer touches module data and parks in a wait it leaves only through ExitThread.
      if (!reserved) unloadUnderLoaderLock();
      break;
    default:
      break;
  }
  return TRUE;
}
