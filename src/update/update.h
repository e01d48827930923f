// The update procedure: finding the installed program and the update run. Win32 only (registry,
// files, message boxes).
#pragma once

#include <cstdint>

#include "package/package.h"

// The folders the run holds (update/checked_fs_win32.h): the program folder as folder 0, and
// every folder below it that the run has reached, each opened once relative to the folder above
// it, checked, and held from then to the end of the run. Released by ReleaseTarget.
struct CheckedFolder {
  void* handle;         // held without delete sharing
  char* relative;       // malloc'd: its canonical path below the program folder ("" for it)
  wchar_t* name;        // malloc'd: the system's name for it, which its entries' names extend
  uint32_t nameLength;  // in characters
  int created;          // made by this run (held with delete access, so that a rollback can
                        // delete it again while it is empty)
};
struct FolderTree {
  CheckedFolder* folders;  // malloc'd, count of capacity used; null when nothing is held
  int count;
  int capacity;
  int last;  // the folder found last: the files of a folder come together in a package
  int lost;  // set when the registry's path no longer leads to folder 0: every act refused
};

// What discovery found. The four strings are malloc'd copies owned here, released together by
// ReleaseTarget; a string never set is null.
struct TargetInfo {
  char* keyPath;                // key below HKEY_LOCAL_MACHINE, from :RegistryKeys
  char* programFolder;          // from the registry, always ending in a backslash
  char* programName;            // from the registry, relative to programFolder
  char* patchValueName;         // REG_DWORD value holding the patch level, from :RegistryKeys
  int32_t installedPatchLevel;  // 0 when the value is missing or not a REG_DWORD
  int32_t packagePatchLevel;    // from :RegistryKeys
  FolderTree folders;           // programFolder and the folders below it, held while the run works
};

// Clears target, reads :RegistryKeys and the registry, holds the program folder and tests that the
// program file exists as a file, or, where a killed run left it set aside, its backup
// (programFolder + programName + ".bak") when the backup journal records it. The folder and file
// values must be strings (REG_SZ, or REG_EXPAND_SZ, expanded) and the folder an absolute path.
// 1 when found (every field set); 0 after showing the not-found message.
int DiscoverTarget(const PackageView& view, TargetInfo& target);

// Frees the strings of target and lets its folder go; safe on a cleared or partly filled target.
void ReleaseTarget(TargetInfo& target);

// Recovery of a run that did not end (RecoverUpdate), the two questions, folders, removals,
// every file entry (update/transaction_win32.h), the completion message and the registry write.
// Clears waitForUser when the user declines a question. Returns the run's exit code
// (shell/exit_codes.h): kSuccess, kDeclined, kLevelNotOlder, kFilesFailed, and for a package that
// installs all or nothing kFileInUse and kDiskFull, which change nothing.
int RunUpdate(const PackageView& view, TargetInfo& target);
