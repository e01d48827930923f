// The update procedure: finding the installed program, the update run and the replacement of
// one file with backup and rollback. Win32 only (registry, files, message boxes).
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

// Renames the program file's backup back to the program file when the program file is absent
// (the rename never replaces a file, so it does nothing while the program file exists) and the
// backup journal records that backup as ours. The run calls it last on every path, so that no
// run ends with only the backup of the program file.
void RestoreProgramFile(TargetInfo& target);

// Frees the strings of target and lets its folder go; safe on a cleared or partly filled target.
void ReleaseTarget(TargetInfo& target);

// The two questions, folders, removals, every file entry, the completion message and the
// registry write; then RestoreProgramFile, whatever happened. Clears waitForUser when the user
// declines a question. Returns the run's exit code (shell/exit_codes.h): kSuccess, kDeclined,
// kLevelNotOlder or kFilesFailed.
int RunUpdate(const PackageView& view, TargetInfo& target);

// Installs the file of entry index (in a patch package, of the group of entries of its name
// starting there: FileGroupLength) under its name on disk (through the translation table, a run of
// NUL-terminated pairs ended by an empty string) in target's program folder. In a patch package
// the version on disk decides: one a delta names as its base is built from with that delta (the
// result's size and SHA-256 checked before the commit), the new version itself is left untouched
// and counts as installed, and any other version gets the whole entry when there is one, else
// fails untouched with its own text. In every case the update keeps the previous
// file as target + ".bak" until the new one is complete and flushed; the backup is recorded in
// the backup journal (target.keyPath) with its file identity before it is made and forgotten
// once it is gone. A backup that the journal records from an interrupted earlier run, with the
// identity it has, is kept as the previous file; one recorded as retired is deleted first; any
// other is the user's: the file then fails untouched, the .bak named. A file is never written in
// place: one that cannot be renamed aside (held open without delete sharing) fails untouched,
// and so does one whose folder, or itself or its backup, is a link. Every act goes through the
// checked handles of target.folders (update/checked_fs_win32.h). Shows its own status texts.
// 1 on success, with no backup left under its name (or one recorded as retired); 0 after
// rollback (the previous file back, or untouched).
int ReplaceFile(const PackageView& view, int index, TargetInfo& target, const char* table);
