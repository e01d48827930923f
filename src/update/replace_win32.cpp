// File replacement: one file entry installed under its name on disk, the previous file kept as
// target + ".bak" until the new one is complete and on disk, and put back when the write fails.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "delta/delta_package.h"
#include "package/handles_win32.h"
#include "shell/log_win32.h"
#include "shell/texts.h"
#include "shell/worker.h"
#include "update/confine_win32.h"
#include "update/journal_win32.h"
#include "update/paths.h"
#include "update/update.h"

namespace {

// The folders on the way to a file: each created only when its path passes the link check; after
// the first that does not, none further in is tried.
struct FolderWalk {
  const TargetInfo* target;
  int refused;
};

void CreateFolder(const char* path, void* context) {
  FolderWalk& walk = *static_cast<FolderWalk*>(context);
  if (walk.refused) return;
  PathPins pins;
  if (CheckPath(*walk.target, path, pins))
    CreateDirectoryA(path, nullptr);
  else
    walk.refused = 1;
}

// 1 when every folder on the way passed the check.
int CreateCheckedParentFolders(const TargetInfo& target, const char* name) {
  FolderWalk walk{&target, 0};
  ForEachParentFolder(target.programFolder, name, CreateFolder, &walk);
  return !walk.refused;
}

// Bytes per read and write when a file is built from its base and a delta.
constexpr uint32_t kDeltaChunk = 64 * 1024;

// The work area of every delta's application and of the plans' hashing, allocated at the first
// file of a patch package and kept for the run, which ends with the process. Null when there is
// no memory for it.
unsigned char* DeltaWork() {
  static unsigned char* work;
  if (!work) work = static_cast<unsigned char*>(std::malloc(DeltaWorkSize(kDeltaChunk)));
  return work;
}

// A file opened to be read as a version of the file being replaced: reads are shared with
// everyone (the program may be running), and source reads through the handle.
struct VersionOnDisk {
  OwnedHandle file;
  ByteSource source;
};

// Opens path for VersionOnDisk. 1 when open; 0 with the last error set, ERROR_FILE_NOT_FOUND or
// ERROR_PATH_NOT_FOUND when there is no file. A file of 4 GiB or more is no version a delta
// names (their sizes are 32-bit): it opens with no read function, so that nothing takes its
// first 4 GiB for the whole file.
int OpenVersion(const char* path, VersionOnDisk& version) {
  version.file = OwnedHandle(CreateFileA(path, GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!version.file.Valid()) return 0;
  DWORD high = 0;
  const DWORD length = GetFileSize(version.file.Get(), &high);
  version.source = ByteSource{high == 0 ? ReadFromHandle : nullptr, version.file.Get(), length};
  return 1;
}

// What to install for the file whose entries start at index, against its current version at
// path (the target, or an interrupted run's backup of it). A plain package's entry is installed
// whole without a look at the disk. 1 with plan; 0 with the last error set when the file is
// there but cannot be read (or there is no memory to hash it).
int PlanReplacement(const PackageView& view, int index, const char* path, FilePlan& plan) {
  plan = FilePlan{kFileInstallWhole, index};
  if (!view.hasDeltas) return 1;
  unsigned char* work = DeltaWork();
  if (!work) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  VersionOnDisk version;
  const int open = OpenVersion(path, version);
  const DWORD error = GetLastError();
  if (!open && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return 0;
  SetLastError(ERROR_READ_FAULT);
  // A file too large for any version is planned as a file that no delta names.
  return PlanFile(view, index, open && version.source.read ? &version.source : nullptr, work,
                  kDeltaChunk, plan);
}

// The new file's bytes into sink: the whole entry, or the result of the delta entry applied to
// the previous version, which is in backup by now. 1 or 0, with the last error of a failed read
// or write, or none.
int BuildNewFile(const PackageView& view, const FilePlan& plan, const char* backup,
                 const ByteSink& sink) {
  if (plan.action != kFileApplyDelta) return StreamEntry(view, plan.entry, sink);
  VersionOnDisk base;
  unsigned char* work = DeltaWork();
  return work && OpenVersion(backup, base) &&
         ApplyDelta(EntryDeltaStream(view, view.directory[plan.entry]), base.source, sink,
                    kDeltaChunk, work);
}

// Creates target, which must not exist (CREATE_NEW: no file that is already there is ever
// opened for writing, so a file without a backup can never be truncated), fills it as plan says,
// chunk by chunk, then flushes it so that the new contents are on disk before the caller deletes
// the backup. 1 when the file is complete, checked and closed; 0 otherwise, after deleting a
// file it created, so that the target's name is free again for the backup to come back, with
// the failure's code as the last error (ERROR_INVALID_DATA for a damaged entry or delta).
int WriteNewFile(const PackageView& view, const FilePlan& plan, const TargetInfo& info,
                 const char* target, const char* backup) {
  OwnedHandle file(CreateFileA(target, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return 0;
  // A write or flush that fails sets its own code; an entry that does not inflate, or a result
  // whose size or hash is wrong, sets none (a system that clears the code on success leaves 0,
  // which means the same).
  SetLastError(ERROR_INVALID_DATA);
  if (BuildNewFile(view, plan, backup, ByteSink{WriteToHandle, file.Get()}) &&
      FlushFileBuffers(file.Get()))
    return 1;
  DWORD error = GetLastError();
  if (error == ERROR_SUCCESS) error = ERROR_INVALID_DATA;
  file.Close();
  DeleteChecked(info, target);
  SetLastError(error);
  return 0;
}

// What preparing left at the target's name.
enum Aside {
  kAsideFailed,    // the previous file is still there, untouched: the entry fails
  kForeignBackup,  // a .bak that no run of ours recorded is in the way: the entry fails untouched
  kNothingAside,   // no file under the name: a new file, or an earlier run set it aside already
  kSetAside,       // the previous file is now the backup
  kEarlierKept,    // an earlier run's backup is kept as the previous file; its partial successor
                   // under the target's name is gone
};

// Prepare: frees the target's name for the new file, keeping the previous file as the backup.
// The normal case is one rename. When the rename finds no target, the entry is a new file, or an
// interrupted earlier run set the previous file aside already (its backup stays the one to put
// back). When a backup is in the way, it is that run's only when earlierBackup says the journal
// recorded it before this run: the target is then its partial successor and is deleted;
// otherwise the backup is the user's own file and neither it nor the target is touched. A
// previous file that cannot be set aside (held open by a program that does not share deletion),
// or a folder under the file's name (its contents are not a previous version of the file, and a
// commit would move them out of the way for good), fails with nothing touched.
Aside SetTargetAside(const TargetInfo& info, const char* target, const char* backup,
                     int earlierBackup) {
  if (MoveFileA(target, backup)) {
    // Checked on the backup, which exists: under Wine a lookup of a missing name scans its
    // folder, so asking about the target first would cost every new file a scan.
    const DWORD attributes = GetFileAttributesA(backup);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
      return kSetAside;
    MoveFileA(backup, target);
    return kAsideFailed;
  }
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return kNothingAside;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      if (!earlierBackup) return kForeignBackup;
      return DeleteChecked(info, target) ? kEarlierKept : kAsideFailed;
    default:
      return kAsideFailed;
  }
}

// Roll back: the backup, if there is one, becomes the target again. Never replaces a file. 1 when
// no backup is left under its name.
int PutBackupBack(const char* target, const char* backup) {
  if (MoveFileA(backup, target)) return 1;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// A backup that cannot be deleted now (a running executable can be renamed but not deleted) is
// renamed to a name of its own, so that no later run takes it for the backup of an interrupted
// run, and deleted at the next restart (the updater runs elevated). When no free name is found,
// it is deleted at the restart under its own name. 1 when the backup's name is free.
int RetireBackup(const char* backup) {
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
      return 1;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) break;  // not a name clash
  }
  MoveFileExA(backup, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  return 0;
}

// Commit: the new file is complete, so the backup goes. One delete in the normal case (and for a
// new file, where it finds nothing). A read-only, hidden or system backup has those attributes
// cleared first, unless it has more than one hard link (the attributes are another name's too);
// one that still resists is retired. 1 when no backup is left under its name, where the next run
// would take it for the previous file of an interrupted run.
int DropBackup(const TargetInfo& info, const char* backup) {
  if (DeleteChecked(info, backup)) return 1;
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 1;
  if (ClearOwnAttributes(backup) && DeleteChecked(info, backup)) return 1;
  return RetireBackup(backup);
}

// CreateParentFolders, skipped when target lies in the same folder as the previous call's: a
// package lists the files of a folder together, and each CreateDirectoryA of a folder that
// exists already is a round trip for nothing (under Wine, a request to the wineserver).
void CreateParentFoldersOnce(const TargetInfo& info, const char* name, const char* target) {
  static char lastFolder[kPathBufferSize];  // the folder of the previous target
  // target is programFolder, which ends in a backslash, followed by name, whose separators may
  // be '/' as well.
  size_t length = std::strlen(target);
  while (target[length - 1] != '\\' && target[length - 1] != '/') --length;
  --length;
  if (std::strncmp(lastFolder, target, length) == 0 && lastFolder[length] == '\0') return;
  // A refused folder is not remembered: the next file there is refused in its own right.
  if (!CreateCheckedParentFolders(info, name)) return;
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

void CreateParentFolders(const TargetInfo& target, const char* name) {
  CreateCheckedParentFolders(target, name);
}

int ReplaceFile(const PackageView& view, int index, const TargetInfo& info, const char* table) {
  const char* name = TranslateName(table, view.directory[index].name);
  ShowStatus(texts::kUpdatingFileFormat, name);

  char target[kPathBufferSize];
  char backup[kPathBufferSize];
  if (!JoinPath(target, sizeof target, info.programFolder, name) ||
      !BackupPath(backup, sizeof backup, target)) {
    LogError("File failed:", name, ERROR_FILENAME_EXCED_RANGE);
    ShowLongPathFailure(info.programFolder, name);  // nothing on disk has been touched
    return 0;
  }

  CreateParentFoldersOnce(info, name, target);
  // From the check to the commit or the rollback the folders on the way stay pinned, so that
  // every act by name below reaches the folder checked. The last component is acted on itself: a
  // rename moves a link put there since, never what it points to; the creation (CREATE_NEW)
  // refuses a name that exists; a deletion goes through a handle checked again.
  PathPins pins;
  const EntryState backupState =
      CheckPath(info, target, pins) ? CheckEntry(info, backup) : kEntryRefused;
  if (backupState == kEntryRefused) {
    ShowStatus(texts::kOutsideFolderFormat, target);
    return 0;
  }
  if (backupState == kEntryPresent && !JournalHas(info.keyPath, name)) {
    ShowStatus(texts::kForeignBackupFormat, backup);
    return 0;
  }
  // The version on disk decides what a patch package's file needs: it is the target, unless an
  // interrupted run's backup is the previous file (then it is planned once set aside, below).
  const int backupIsPrevious = backupState == kEntryPresent;
  FilePlan plan;
  if (!backupIsPrevious) {
    if (!PlanReplacement(view, index, target, plan)) {
      LogError("File failed:", target, GetLastError());
      ShowStatus(texts::kFileFailedFormat, target);
      return 0;
    }
    if (plan.action == kFileAlreadyNew || plan.action == kFileNoBase) {
      // Nothing is written, and no backup is there: a record of one is what a run killed
      // between deleting its backup and forgetting it leaves. It goes now, or a .bak someone
      // puts there later would pass for ours.
      if (JournalHas(info.keyPath, name)) JournalRemove(info.keyPath, name);
    }
    if (plan.action == kFileAlreadyNew) {
      ShowStatus(texts::kFileUpdatedFormat, target);  // nothing to write: a rerun finishes
      return 1;
    }
    if (plan.action == kFileNoBase) {
      ShowStatus(texts::kNotABaseFormat, target);
      return 0;
    }
  }
  int earlierBackup = 0;
  if (!JournalAdd(info.keyPath, name, earlierBackup)) {
    ShowStatus(texts::kFileFailedFormat, target);  // no backup may be made unrecorded
    return 0;
  }
  const Aside aside = SetTargetAside(info, target, backup, earlierBackup);
  if (aside == kAsideFailed || aside == kForeignBackup) {
    const DWORD error = GetLastError();  // the failure's code, before the journal's calls
    if (!earlierBackup) JournalRemove(info.keyPath, name);
    if (aside == kForeignBackup) {
      ShowStatus(texts::kForeignBackupFormat, backup);
    } else {
      LogError("File failed:", target, error);
      ShowStatus(texts::kFileFailedFormat, target);
    }
    return 0;
  }
  // A .bak that appeared unrecorded after the check, beside a new file, is not ours to touch.
  const int backupIsOurs = aside == kSetAside || earlierBackup;
  const char* failure = texts::kFileFailedFormat;
  DWORD error = ERROR_SUCCESS;
  if (backupIsPrevious && !PlanReplacement(view, index, backup, plan)) {
    error = GetLastError();
  } else if (backupIsPrevious && plan.action == kFileAlreadyNew) {
    // The interrupted run's previous file is the new version: it goes back as it was.
    if (PutBackupBack(target, backup)) {
      JournalRemove(info.keyPath, name);
      ShowStatus(texts::kFileUpdatedFormat, target);
      return 1;
    }
    error = GetLastError();
  } else if (backupIsPrevious && plan.action == kFileNoBase) {
    failure = texts::kNotABaseFormat;
  } else if (WriteNewFile(view, plan, info, target, backup)) {
    if (!backupIsOurs || DropBackup(info, backup)) JournalRemove(info.keyPath, name);
    ShowStatus(texts::kFileUpdatedFormat, target);
    return 1;
  } else {
    error = GetLastError();  // the write's code, before the rollback's calls change it
  }
  if (!backupIsOurs || PutBackupBack(target, backup)) JournalRemove(info.keyPath, name);
  if (error != ERROR_SUCCESS) LogError("File failed:", target, error);
  ShowStatus(failure, target);
  return 0;
}
