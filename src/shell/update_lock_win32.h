// One update of an installed program at a time, decided in the program's own registry key below
// HKEY_LOCAL_MACHINE, where only administrators write: an object name could be taken first by
// anyone, with an object of any kind.
//
// The lock is the volatile key <program's key>\RlPatchLock. Each updater that wants it creates a
// volatile key below it named after itself (shell/update_lock.h: "<process id>-<start time>"),
// its ticket, and only then looks at the other tickets there. A ticket whose process has ended
// (no process of that id, or one that has exited or started at another time) is deleted; any
// other ticket, one that cannot be read among them, means another updater, and this one
// withdraws its own. Of two updaters, the one whose ticket came second sees the first's when it
// looks, so two can never both hold the lock (two that look at once may both withdraw). A ticket
// exists only with its owner's name, so whatever point a run is killed at, the next run can tell
// that its owner has ended. Volatile keys are gone at the next start of Windows. Win32 only.
#pragma once

#include <windows.h>

#include "shell/update_lock.h"

// The lock's key below the program's key.
constexpr char kUpdateLockKey[] = "RlPatchLock";

// The lock as this updater holds it.
struct UpdateLock {
  HKEY program;                    // the program's key; null when not open
  HKEY locks;                      // its kUpdateLockKey; null when not open
  char owner[kLockOwnerNameSize];  // the name of this updater's ticket below locks
};

// Takes the lock of the program whose key (below HKEY_LOCAL_MACHINE) is keyPath, deleting the
// tickets of updaters that have ended. 1 when held: release it with ReleaseUpdateLock. 0 when
// another updater holds it, or when anything fails (the key cannot be opened or created, a
// ticket cannot be read or deleted, a process cannot be judged): the lock never opens for what
// cannot be checked. The log says which; a refused updater leaves no ticket of its own.
int TakeUpdateLock(const char* keyPath, UpdateLock& lock);

// Deletes this updater's ticket, then RlPatchLock unless another ticket is below it, and closes
// the keys. Only for a lock that TakeUpdateLock took.
void ReleaseUpdateLock(UpdateLock& lock);
