// The once and the lock of the 32-bit DLL's exception unwinder (the DWARF-2 one of i686 mingw), in place
// of the thread library's. The run-time registers the DLL's unwind tables as the DLL loads, through that
// library's pthread_once and a lazily made mutex: the once gives the host's loading thread the library's
// bookkeeping (a record, a TLS index, the lock of its record list) and the mutex a block of its own, and
// none of it is ever freed, so each load left some 220 bytes and a TLS index behind, until TlsAlloc fails.
// The build links the unwinder's object with its thread calls renamed to these (CMakeLists.txt), which
// allocate nothing and know no threads. The 64-bit run-time unwinds through the system's tables and
// registers nothing.
#include <windows.h>

#include <pthread.h>

static_assert(sizeof(pthread_mutex_t) == sizeof(SRWLOCK), "the unwinder's mutex holds a slim lock");

namespace {

// pthread_once's own values, 0 and 1, and one of ours for a first call still running.
constexpr LONG onceNotRun = 0;
constexpr LONG onceDone = 1;
constexpr LONG onceRunning = 2;

SRWLOCK* slimLock(pthread_mutex_t* mutex) {
  return reinterpret_cast<SRWLOCK*>(mutex);
}

}  // namespace

extern "C" {

int duz_unwinder_once(pthread_once_t* once, void (*init)()) {
  volatile LONG* state = once;
  if (InterlockedCompareExchange(state, onceRunning, onceNotRun) == onceNotRun) {
    init();
    InterlockedExchange(state, onceDone);
    return 0;
  }
  // The first call is the registration during the load, before any thread of the module runs: nobody
  // waits here in practice, and a wait would be short.
  while (InterlockedCompareExchange(state, onceDone, onceDone) != onceDone) SwitchToThread();
  return 0;
}

int duz_unwinder_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t*) {
  InitializeSRWLock(slimLock(mutex));
  return 0;
}

int duz_unwinder_mutex_lock(pthread_mutex_t* mutex) {
  AcquireSRWLockExclusive(slimLock(mutex));
  return 0;
}

int duz_unwinder_mutex_unlock(pthread_mutex_t* mutex) {
  ReleaseSRWLockExclusive(slimLock(mutex));
  return 0;
}

}  // extern "C"
