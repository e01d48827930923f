#include "shell/update_lock_win32.h"

#include <cstring>

#include "shell/log_win32.h"

namespace {

// The log's lines about the lock: the program's key, then what happened and to which ticket.
constexpr char kLockLine[] = "Update lock HKEY_LOCAL_MACHINE\\%s\\RlPatchLock %s%s";

// The creation time of process (opened with a query right). 0 when it cannot be read.
int StartTime(HANDLE process, uint64_t& time) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  time = static_cast<uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
  return 1;
}

// Whether the updater that owner names has ended: there is no process of its id, or the process
// of its id has exited (its object still held open by someone) or started at another time (the
// id given again). A process that cannot be opened or read for any other reason (access denied)
// counts as running, so that no lock is taken from an updater this one cannot see.
int HasEnded(const LockOwner& owner) {
  // The limited right (Vista and later) is granted on more processes than the full query right,
  // those of other accounts among them.
  const HANDLE process =
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, owner.processId);
  if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;  // no process of that id
  uint64_t started = 0;
  const int ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0 ||
                    (StartTime(process, started) && started != owner.startTime);
  CloseHandle(process);
  return ended;
}

// Deletes the tickets below locks of updaters that have ended, logging each other ticket.
// ERROR_SUCCESS when own's is then the only one left; ERROR_BUSY when another stays; else the
// error of the look or of a deletion.
LONG OnlyOwnTicketLeft(HKEY locks, const char* own, const char* keyPath) {
  char name[256];  // the longest key name and its NUL
  for (DWORD index = 0;;) {
    DWORD size = sizeof name;
    LONG result = RegEnumKeyExA(locks, index, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (result != ERROR_SUCCESS) return result;
    if (std::strcmp(name, own) == 0) {
      ++index;
      continue;
    }
    LockOwner other;
    const int ended = ParseLockOwner(name, other) && HasEnded(other);
    LogFormat(kLockLine, keyPath,
              ended ? "left by an updater that has ended: " : "held by another updater: ", name);
    if (!ended) return ERROR_BUSY;
    // Not found: another updater deleted it first.
    result = RegDeleteKeyA(locks, name);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return result;
    index = 0;  // the deletion renumbers the keys
  }
}

}  // namespace

int TakeUpdateLock(const char* keyPath, UpdateLock& lock) {
  lock.program = nullptr;
  lock.locks = nullptr;
  LockOwner self;
  self.processId = GetCurrentProcessId();
  HKEY key = nullptr;
  LONG result = StartTime(GetCurrentProcess(), self.startTime)
                    ? RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_CREATE_SUB_KEY, &key)
                    : static_cast<LONG>(GetLastError());
  if (result == ERROR_SUCCESS) {
    FormatLockOwner(self, lock.owner);
    lock.program = key;
    result = RegCreateKeyExA(key, kUpdateLockKey, 0, nullptr, REG_OPTION_VOLATILE,
                             KEY_ENUMERATE_SUB_KEYS | KEY_CREATE_SUB_KEY, nullptr, &key, nullptr);
  }
  if (result == ERROR_SUCCESS) {
    lock.locks = key;
    result = RegCreateKeyExA(key, lock.owner, 0, nullptr, REG_OPTION_VOLATILE, KEY_QUERY_VALUE,
                             nullptr, &key, nullptr);
  }
  if (result == ERROR_SUCCESS) {
    RegCloseKey(key);
    result = OnlyOwnTicketLeft(lock.locks, lock.owner, keyPath);
  }
  if (result == ERROR_SUCCESS) {
    LogFormat(kLockLine, keyPath, "taken: ", lock.owner);
    return 1;
  }
  LogError("Update lock not taken:", keyPath, static_cast<DWORD>(result));
  ReleaseUpdateLock(lock);
  return 0;
}

void ReleaseUpdateLock(UpdateLock& lock) {
  if (lock.locks) {
    RegDeleteKeyA(lock.locks, lock.owner);  // none when TakeUpdateLock failed before making it
    RegCloseKey(lock.locks);
  }
  if (lock.program) {
    RegDeleteKeyA(lock.program, kUpdateLockKey);  // refused while a ticket is below it
    RegCloseKey(lock.program);
  }
}
