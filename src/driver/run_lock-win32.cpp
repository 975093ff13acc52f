#include <windows.h>

#include <string>

#include "driver/run_lock.h"
#include "log/setup_log.h"

namespace {

// "Global\" makes the lock span every session of the machine.
const wchar_t kRunLockName[] = L"Global\\Orvane.Setup.Run";

}  // namespace

RunLock AcquireRunLock(SetupLog& log) {
  RunLock lock;
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kRunLockName);
  if (mutex == nullptr) {
    log.Warn(L"Cannot create the run lock (error " + std::to_wstring(GetLastError()) +
             L"). Continuing without it.");
    return lock;
  }

  DWORD wait = WaitForSingleObject(mutex, 0);
  if (wait == WAIT_TIMEOUT) {
    log.Info(L"Another Orvane.Setup run is in progress. Waiting for it to finish.");
    wait = WaitForSingleObject(mutex, INFINITE);
    if (wait == WAIT_OBJECT_0) log.Info(L"The other Orvane.Setup run has finished. Continuing.");
  }
  if (wait == WAIT_ABANDONED) {
    log.Warn(L"A previous Orvane.Setup run ended without finishing. Continuing.");
  } else if (wait != WAIT_OBJECT_0) {
    log.Warn(L"Cannot take the run lock (error " + std::to_wstring(GetLastError()) +
             L"). Continuing without it.");
    CloseHandle(mutex);
    return lock;
  }
  lock.mutex = mutex;
  return lock;
}

void ReleaseRunLock(RunLock& lock) {
  if (lock.mutex == nullptr) return;
  ReleaseMutex(lock.mutex);
  CloseHandle(lock.mutex);
  lock.mutex = nullptr;
}
