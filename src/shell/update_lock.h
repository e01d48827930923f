// The owner record of the update lock (shell/update_lock_win32.h): an updater is known by its
// process id and the time its process started, which a later process given the same id does
// not share. The record is the name of a registry key, so that it exists the moment the key does.
#pragma once

#include <cstddef>
#include <cstdint>

struct LockOwner {
  uint32_t processId;
  uint64_t startTime;  // the process's creation time as a FILETIME: 100 ns units since 1601, UTC
};

// "0000001234-01DD8823E89DD9C4": the id in ten decimal digits, a dash, the start time in 16
// upper-case hex digits; with its NUL.
constexpr size_t kLockOwnerNameSize = 28;

// Writes owner's name into out (kLockOwnerNameSize bytes).
void FormatLockOwner(const LockOwner& owner, char* out);

// Reads a name exactly as FormatLockOwner writes it, and nothing else. 1, or 0 (owner then holds
// nothing of use).
int ParseLockOwner(const char* name, LockOwner& owner);
