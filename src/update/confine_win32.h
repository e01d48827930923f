// Keeping the elevated run inside the program folder: the folder held open from discovery on, and
// a check before every folder created and every file removed, set aside, written, committed or
// rolled back that no component of its path below the folder is a link (junction, symbolic link,
// mount point) and that its final path lies in the folder's. Win32 only.
#pragma once

#include <windows.h>

#include "update/update.h"

// Opens programFolder (a path ending in a backslash, reached through whatever links the
// registry's path takes) and fills held: the handle, open without delete sharing until
// ReleaseHeldFolder, its final path where the system gives one, and its identity. 1 when held; 0
// when the folder cannot be opened or is not a folder (held stays empty).
int HoldProgramFolder(const char* programFolder, HeldFolder& held);
void ReleaseHeldFolder(HeldFolder& held);

// The folders on the way to a checked path, each open without delete sharing while the caller
// acts on the path by its name, so that none of them can be renamed away and replaced by a link
// between the check and the act. Closed when the owner goes.
class PathPins {
 public:
  PathPins() = default;
  PathPins(const PathPins&) = delete;
  PathPins& operator=(const PathPins&) = delete;
  ~PathPins() {
    while (count_ > 0) CloseHandle(handles_[--count_]);
  }
  // Takes handle; 0 (handle closed) when full.
  int Add(HANDLE handle) {
    if (count_ == kCapacity) {
      CloseHandle(handle);
      return 0;
    }
    handles_[count_++] = handle;
    return 1;
  }

 private:
  // A 511-character path has at most 256 components.
  static constexpr int kCapacity = 256;
  HANDLE handles_[kCapacity];
  int count_ = 0;
};

// 1 when path (programFolder followed by a relative name) may be acted on: every component of
// the name that exists is no reparse point and has its final path inside the held folder's; the
// first missing component ends the walk (none below it exists). When not even the first exists,
// programFolder itself must still lead to the held folder (a component found inside shows that
// already, more cheaply). The folders on the way stay pinned in pins. 0 otherwise: act on
// nothing.
int CheckPath(const TargetInfo& target, const char* path, PathPins& pins);

// What CheckEntry found at a path whose folders CheckPath has pinned.
enum EntryState { kEntryRefused, kEntryAbsent, kEntryPresent };
// The path's last component alone: absent, present and inside the held folder, or refused (a
// reparse point, outside, or not to be opened).
EntryState CheckEntry(const TargetInfo& target, const char* path);

// Deletes the file at path (whose folders CheckPath has pinned) through a handle that does not
// follow a link and that passed the same test as CheckEntry: what is deleted is what was checked,
// even if the name is swapped for a link in between. Never deletes a folder. 1 when deleted; 0
// otherwise, with GetLastError telling why (ERROR_FILE_NOT_FOUND when there is nothing, and
// ERROR_ACCESS_DENIED for a link, a folder or a read-only file, as DeleteFileA tells).
int DeleteChecked(const TargetInfo& target, const char* path);

// Clears the read-only, hidden and system attributes of the file at path through a handle that
// does not follow a link. 0, changing nothing, when the file is a reparse point or has more than
// one hard link (its attributes are those of a file elsewhere too), or on failure.
int ClearOwnAttributes(const char* path);
