// A machine-wide lock that keeps two runs (a scheduled Updater.exe and a manual run, say)
// from stopping the service and copying files over each other.
#pragma once

class SetupLog;

// The held lock; `mutex` is null when the lock could not be created.
struct RunLock {
  void* mutex = nullptr;
};

// Takes the lock, first waiting for a run that holds it to end (logged). A lock left behind by
// a run that was killed is taken over. When the lock cannot be created the run goes on.
RunLock AcquireRunLock(SetupLog& log);

// Releases the lock and closes it.
void ReleaseRunLock(RunLock& lock);
