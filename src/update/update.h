// The update procedure: finding the installed program, the update run and the replacement of
// one file with backup and rollback. Win32 only (registry, files, message boxes).
#pragma once

#include <cstdint>

#include "package/package.h"

// What discovery found. The four strings are malloc'd copies owned here, released together by
// ReleaseTarget; a string never set is null.
struct TargetInfo {
  char* keyPath;                // key below HKEY_LOCAL_MACHINE, from :RegistryKeys
  char* programFolder;          // from the registry, always ending in a backslash
  char* programName;            // from the registry, relative to programFolder
  char* patchValueName;         // REG_DWORD value holding the patch level, from :RegistryKeys
  int32_t installedPatchLevel;  // 0 when the value is missing or not a REG_DWORD
  int32_t packagePatchLevel;    // from :RegistryKeys
};

// Clears target, reads :RegistryKeys and the registry, and tests that the program file exists,
// or, where a killed run left it set aside, its backup (programFolder + programName + ".bak").
// 1 when found (every field set); 0 after showing the not-found message.
int DiscoverTarget(const PackageView& view, TargetInfo& target);

// Renames the program file's backup back to the program file when the program file is absent
// (the rename never replaces a file, so it does nothing while the program file exists). The run
// calls it last on every path, so that no run ends with only the backup of the program file.
void RestoreProgramFile(const TargetInfo& target);

// Frees the strings of target; safe on a cleared or partly filled target.
void ReleaseTarget(TargetInfo& target);

// The two questions, folders, removals, every file entry, the completion message and the
// registry write; then RestoreProgramFile, whatever happened. Clears waitForUser when the user
// declines a question. Returns the run's exit code (shell/exit_codes.h): kSuccess, kDeclined,
// kLevelNotOlder or kFilesFailed.
int RunUpdate(const PackageView& view, TargetInfo& target);

// Installs file entry index under its name on disk (through the translation table, a run of
// NUL-terminated pairs ended by an empty string), keeping the previous file as target + ".bak"
// until the new one is complete and flushed; a backup left by an interrupted earlier run is kept
// as the previous file. A file is never written in place: one that cannot be renamed aside (held
// open without delete sharing) fails untouched. Shows its own status texts. 1 on success, with
// no backup left under its name; 0 after rollback (the previous file back, or untouched).
int ReplaceFile(const PackageView& view, int index, const char* programFolder, const char* table);

// Creates the folders between programFolder and the name on disk, from the outermost in
// (CreateDirectoryA; outcomes ignored, the folders may exist already). One leading backslash of
// name is skipped; the file's own name is not created.
void CreateParentFolders(const char* programFolder, const char* name);
