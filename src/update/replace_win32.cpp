// File replacement: one file entry installed under its name on disk, the previous file kept as
// target + ".bak" until the new one is complete and on disk, and put back when the write fails.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "package/handles_win32.h"
#include "shell/texts.h"
#include "shell/worker.h"
#include "update/paths.h"
#include "update/update.h"

namespace {

void CreateFolder(const char* path, void*) { CreateDirectoryA(path, nullptr); }

// Creates target, which must not exist (CREATE_NEW: no file that is already there is ever
// opened for writing, so a file without a backup can never be truncated), fills it with entry
// index, chunk by chunk, then flushes it so that the new contents are on disk before the caller
// deletes the backup. 1 when the file is complete and closed; 0 otherwise, after deleting a
// file it created, so that the target's name is free again for the backup to come back.
int WriteNewFile(const PackageView& view, int index, const char* target) {
  OwnedHandle file(CreateFileA(target, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return 0;
  if (StreamEntry(view, index, ByteSink{WriteToHandle, file.Get()}) && FlushFileBuffers(file.Get()))
    return 1;
  file.Close();
  DeleteFileA(target);
  return 0;
}

// Prepare: frees the target's name for the new file, keeping the previous file as the backup.
// The normal case is one rename. When the rename finds no target, the entry is a new file, or an
// interrupted earlier run set the previous file aside already (its backup stays the one to put
// back). When that run's backup is in the way, the target is its partial successor and is
// deleted. 1 when the name is free; 0 when a previous file is still there and cannot be set
// aside (held open by a program that does not share deletion), or when a folder stands under
// the file's name (its contents are not a previous version of the file, and a commit would
// move them out of the way for good): nothing has been touched.
int SetTargetAside(const char* target, const char* backup) {
  if (MoveFileA(target, backup)) {
    // Checked on the backup, which exists: under Wine a lookup of a missing name scans its
    // folder, so asking about the target first would cost every new file a scan.
    const DWORD attributes = GetFileAttributesA(backup);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return 1;
    MoveFileA(backup, target);
    return 0;
  }
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return 1;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return DeleteFileA(target);
    default:
      return 0;
  }
}

// Roll back: the backup, if there is one, becomes the target again. Never replaces a file.
void PutBackupBack(const char* target, const char* backup) { MoveFileA(backup, target); }

// A backup that cannot be deleted now (a running executable can be renamed but not deleted) is
// renamed to a name of its own, so that no later run takes it for the backup of an interrupted
// run, and deleted at the next restart (the updater runs elevated). When no free name is found,
// it is deleted at the restart under its own name.
void RetireBackup(const char* backup) {
  char retired[kPathBufferSize];
  for (unsigned n = 1; n < 100; ++n) {
    // ".1" to ".99", written by hand: the product links no printf of its own.
    char suffix[4] = {'.'};
    char* digit = suffix + 1;
    if (n >= 10) *digit++ = static_cast<char>('0' + n / 10);
    *digit = static_cast<char>('0' + n % 10);
    if (!JoinPath(retired, sizeof retired, backup, suffix)) break;
    if (MoveFileA(backup, retired)) {
      MoveFileExA(retired, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
      return;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) break;  // not a name clash
  }
  MoveFileExA(backup, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

// Commit: the new file is complete, so the backup goes. One delete in the normal case (and for a
// new file, where it finds nothing). A read-only, hidden or system backup has those attributes
// cleared first; one that still resists is retired. Never leaves a backup under its name, where
// the next run would take it for the previous file of an interrupted run.
void DropBackup(const char* backup) {
  if (DeleteFileA(backup)) return;
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
  SetFileAttributesA(backup, FILE_ATTRIBUTE_NORMAL);
  if (DeleteFileA(backup)) return;
  RetireBackup(backup);
}

// CreateParentFolders, skipped when target lies in the same folder as the previous call's: a
// package lists the files of a folder together, and each CreateDirectoryA of a folder that
// exists already is a round trip for nothing (under Wine, a request to the wineserver).
void CreateParentFoldersOnce(const char* programFolder, const char* name, const char* target) {
  static char lastFolder[kPathBufferSize];  // the folder of the previous target
  // target is programFolder, which ends in a backslash, followed by name, whose separators may
  // be '/' as well.
  size_t length = std::strlen(target);
  while (target[length - 1] != '\\' && target[length - 1] != '/') --length;
  --length;
  if (std::strncmp(lastFolder, target, length) == 0 && lastFolder[length] == '\0') return;
  CreateParentFolders(programFolder, name);
  std::memcpy(lastFolder, target, length);
  lastFolder[length] = '\0';
}

// The error message for a path too long for its buffer: the full path is still named.
void ShowLongPathFailure(const char* programFolder, const char* name) {
  const size_t length = std::strlen(programFolder) + std::strlen(name) + 1;
  char* path = static_cast<char*>(std::malloc(length));
  if (!path) return;
  JoinPath(path, length, programFolder, name);
  ShowStatus(texts::kFileFailedFormat, path);
  std::free(path);
}

}  // namespace

void CreateParentFolders(const char* programFolder, const char* name) {
  ForEachParentFolder(programFolder, name, CreateFolder, nullptr);
}

int ReplaceFile(const PackageView& view, int index, const char* programFolder, const char* table) {
  const char* name = TranslateName(table, view.directory[index].name);
  ShowStatus(texts::kUpdatingFileFormat, name);

  char target[kPathBufferSize];
  char backup[kPathBufferSize];
  if (!JoinPath(target, sizeof target, programFolder, name) ||
      !BackupPath(backup, sizeof backup, target)) {
    ShowLongPathFailure(programFolder, name);  // nothing on disk has been touched
    return 0;
  }

  CreateParentFoldersOnce(programFolder, name, target);
  if (SetTargetAside(target, backup)) {
    if (WriteNewFile(view, index, target)) {
      DropBackup(backup);
      ShowStatus(texts::kFileUpdatedFormat, target);
      return 1;
    }
    PutBackupBack(target, backup);
  }
  ShowStatus(texts::kFileFailedFormat, target);
  return 0;
}
