// The DLL's entry point. The C++ run-time has constructed the DLL's statics before it calls us on
// attach and destroys them after us on detach. Built into the DLL only, never into the platform library.
#include <windows.h>

#include <atomic>

#include "host/shell/library.h"
#include "platform/win32/win32_platform.h"
#include "poll/polling_thread.h"

// libstdc++'s own: frees the emergency exception pool its run-time allocates as it starts. Linked into
// the DLL, that run-time starts anew with every load, and without this each load and unload would leave
// the pool (some 70 kB) behind.
namespace __gnu_cxx {
void __freeres() noexcept;
}

namespace {

// FreeLibrary unmaps the DLL as soon as DllMain returns, and with it the thread-start and C++ run-time
// code linked into it that a returning polling thread would still run. So during an unload the thread
// parks instead: one call sets `parkSignal` and enters an alertable wait that nothing else ends, and
// DllMain, once it has seen the signal, has ExitThread run there as an APC. The thread thus never
// executes our code again, and its ExitThread (which waits for the loader lock DllMain holds) tidies up
// after the unload as any thread end does.
//
// What parking needs (the signal, the thread's own handle) is made before the thread polls, never during
// the unload, where a failure would leave the thread nothing but to return into code about to go. Should
// it not be made, the DLL pins itself instead: it then stays mapped, and the thread polls until the
// process ends, as if never unloaded.
std::atomic<HANDLE> parkSignal{nullptr};    // made at attach
std::atomic<HANDLE> ownThread{nullptr};     // the polling thread's handle, made by the thread as it starts
std::atomic<HANDLE> parkedThread{nullptr};  // set by the thread before it says it has finished
std::atomic<bool> unloading{false};
std::atomic<DWORD> launcher{0};  // the thread that starts the polling thread
// Whether the polling thread parks, or ends by itself in code kept mapped because an unload could not
// wait for it any longer. Decided once, by whichever of the two comes first.
enum ThreadFate : int { kPolling, kParking, kLeftBehind };
std::atomic<int> threadFate{kPolling};

HINSTANCE library = nullptr;  // ours, set at attach

// The thread library linked into the DLL keeps bookkeeping for every thread it meets that it did not
// make (a handle of the thread, an event, a record): a condition variable's wait, the first guarded
// static, a thread-local variable or an exception make it, for the host's threads as for ours. The
// thread's end closes the handles through the DLL's TLS callbacks and puts the record on that library's
// own free list, which it never empties: once the DLL is unloaded, the list and every record on it are
// lost. So the module keeps the threads that load and unload it, and its polling thread, away from
// that library: no guarded statics, no thread-locals, no condition variables there (the unload waits on
// an event). Should a rare path meet it all the same (an exception thrown during a load), a thread says
// itself, as it leaves the DLL, that it is done with it: the TLS callbacks with DLL_THREAD_DETACH, as
// the system calls them at a thread's end, so that at least no handle stays open.
void leaveRunTime() {
  const auto* base = reinterpret_cast<const unsigned char*>(library);
  if (!base) return;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
  if (!directory.VirtualAddress) return;
  const auto* tls = reinterpret_cast<const IMAGE_TLS_DIRECTORY*>(base + directory.VirtualAddress);
  for (auto* callback = reinterpret_cast<const PIMAGE_TLS_CALLBACK*>(tls->AddressOfCallBacks);
       callback && *callback; ++callback)
    (*callback)(library, DLL_THREAD_DETACH, nullptr);
}

void pinLibrary() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&pinLibrary), &self);
}

void prepareParking() {
  HANDLE self = nullptr;
  if (parkSignal.load() &&
      DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                      SYNCHRONIZE | THREAD_SET_CONTEXT | THREAD_SUSPEND_RESUME, FALSE, 0)) {
    ownThread.store(self);
    return;
  }
  pinLibrary();
}

void endPollingThread(duz::PollingThread& thread) {
  const HANDLE self = ownThread.exchange(nullptr);
  const HANDLE signal = parkSignal.load();
  if (!unloading.load() || !self || !signal) {
    // Not an unload, or the DLL is pinned: the code the thread returns through stays mapped.
    if (self) CloseHandle(self);
    thread.sayFinished();
    return;
  }
  int fate = kPolling;
  if (!threadFate.compare_exchange_strong(fate, kParking)) {
    // Left behind by an unload that gave up waiting: the DLL stays mapped, the module in memory.
    CloseHandle(self);
    thread.sayFinished();
    return;
  }
  // Its sleeps do not use the thread library (see pollingThreadBody), but should anything else have.
  leaveRunTime();
  parkedThread.store(self);
  thread.sayFinished();
  // A thread's wait for itself ends only by an APC. Our own pseudo-handle: DllMain closes `self`.
  SignalObjectAndWait(signal, GetCurrentThread(), INFINITE, TRUE);
  for (;;) WaitForSingleObjectEx(GetCurrentThread(), INFINITE, TRUE);  // after an APC not ours
}

// The polling thread is a plain system thread. One of the C++ thread library's would carry that
// library's bookkeeping (a handle of the thread, an event, memory), which only its own end through the
// library frees; a parked thread never gets there, and each unload would leave it behind. For the same
// reason the thread's sleeps wait on events (win32_clock.cpp), never on a condition variable.
DWORD WINAPI pollingThreadBody(LPVOID thread) {
  static_cast<duz::PollingThread*>(thread)->run();
  return 0;
}

void* startPollingThread(duz::PollingThread& thread) {
  return CreateThread(nullptr, 0, pollingThreadBody, &thread, 0, nullptr);
}

void joinPollingThread(void* thread) {
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

void detachPollingThread(void* thread) {
  CloseHandle(thread);
}

constexpr duz::PollingThread::SystemThreads systemThreads{startPollingThread, joinPollingThread,
                                                          detachPollingThread, duz::makeEventWaiter};

// A new thread must take the loader lock before it runs any of our code, and the load that launches the
// polling thread holds that lock. A FreeLibrary coming right after the load could then find the thread
// not yet started, which it can neither wait for (deadlock) nor end (it would die holding, or waiting in,
// the loader's own bookkeeping), and which would then start in unmapped code. So the thread holds a
// reference to the DLL from its launch until it has entered its body, and the unload can only come after.
std::atomic<HMODULE> launchReference{nullptr};

void holdLibraryForLaunch() {
  launcher.store(GetCurrentThreadId());
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
// be accepted, the DLL simply stays loaded. Called by the polling thread as it starts, or by the
// launcher when the thread could not be made.
void pollingThreadEntered() {
  if (GetCurrentThreadId() != launcher.load()) prepareParking();
  if (const HMODULE self = launchReference.exchange(nullptr))
    TrySubmitThreadpoolCallback(releaseAfterReturn, self, nullptr);
}

// The polling thread did not stop in time (held in a system call: a port driver hanging in its open):
// it will come back into our code, which must then still be there. True when it is left behind so;
// false when it parks after all, and the unload waits for that as usual.
bool leaveThreadBehind() {
  HMODULE self = nullptr;
  const bool pinned =
      GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&leaveThreadBehind), &self);
  int fate = kPolling;
  if (pinned && threadFate.compare_exchange_strong(fate, kLeftBehind)) return true;
  // Not pinned (a hung unload is better than running unmapped code), or the thread is parking just now:
  // it says so on the signal once it is through its call.
  WaitForSingleObject(parkSignal.load(), INFINITE);
  return false;
}

// Stops the module for FreeLibrary and lets a parked polling thread go: ExitThread itself is the APC.
// False when the polling thread was left behind in the pinned DLL.
bool unloadUnderLoaderLock() {
  unloading.store(true);
  if (!duz::shell::libraryUnload(false) && leaveThreadBehind()) {
    if (const HANDLE signal = parkSignal.exchange(nullptr)) CloseHandle(signal);  // no thread will wait on it
    return false;
  }
  const HANDLE signal = parkSignal.load();
  if (const HANDLE thread = parkedThread.exchange(nullptr)) {
    WaitForSingleObject(signal, INFINITE);
    // Both APCs are the system's own functions. The signal is closed by the thread itself, once its
    // wait is over: closed from here, a wait interrupted by a completing I/O and entered again together
    // with its signal (Wine does so) could meet a closed handle, or its number reused for another.
    // A wait ends once it has run every APC pending, so both must be pending before the thread can run
    // either: woken for the first alone, it would return into our code as we unmap it. The thread is
    // held meanwhile; where it cannot be, it only ends, and its signal stays open.
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto system = [kernel](const char* name) {
      return reinterpret_cast<PAPCFUNC>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, name)));
    };
    const PAPCFUNC closeHandle = system("CloseHandle");
    const PAPCFUNC exitThread = system("ExitThread");
    if (exitThread) {
      const bool held = SuspendThread(thread) != static_cast<DWORD>(-1);
      if (held && closeHandle) QueueUserAPC(closeHandle, thread, reinterpret_cast<ULONG_PTR>(signal));
      QueueUserAPC(exitThread, thread, 0);
      if (held) ResumeThread(thread);
    }
    CloseHandle(thread);
  } else if (signal) {
    CloseHandle(signal);  // no thread ever waited on it
  }
  return true;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      library = instance;
      parkSignal.store(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      duz::PollingThread::launching = holdLibraryForLaunch;
      duz::PollingThread::entered = pollingThreadEntered;
      duz::PollingThread::ending = endPollingThread;
      duz::PollingThread::systemThreads = &systemThreads;
      duz::shell::libraryLoad();
      leaveRunTime();
      break;
    case DLL_PROCESS_DETACH:
      // Non-null: the process is ending and its other threads are already gone; nothing to do.
      // Null: FreeLibrary. We hold the loader lock, so the polling thread is not joined: it says when it
      // no longer touches module data and parks in a wait it leaves only through ExitThread.
      if (!reserved) {
        // A thread left behind keeps the run-time it may still use.
        if (unloadUnderLoaderLock()) __gnu_cxx::__freeres();
        leaveRunTime();
      }
      break;
    default:
      break;
  }
  return TRUE;
}
