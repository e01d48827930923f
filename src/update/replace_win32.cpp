// File replacement: one file entry installed under its name on disk, the previous file kept as
// target + ".bak" until the new one is complete and on disk, and put back when the write fails.
// Every act goes through the handle of the file's folder, checked and held for the run
// (update/checked_fs_win32.h), and through the handles of the files themselves, so that what is
// renamed, read, written and deleted is what was checked.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "delta/delta_package.h"
#include "package/handles_win32.h"
#include "shell/log_win32.h"
#include "shell/texts.h"
#include "shell/worker.h"
#include "update/checked_fs_win32.h"
#include "update/journal_win32.h"
#include "update/paths.h"
#include "update/update.h"

namespace {

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

// A version of the file on disk (the target, or a backup), open through its checked folder, and
// source reading through that handle. A file of 4 GiB or more is no version a delta names (their
// sizes are 32-bit): it has no read function, so that nothing takes its first 4 GiB for the
// whole file; nor has one opened for its attributes only.
struct VersionOnDisk {
  OwnedHandle file;
  ByteSource source{};
  int canRead = 0;  // opened for reading
  int canMove = 0;  // opened for renaming and deletion
};

// Opens leaf in folder as a version. For reading, renaming and deletion, shared with readers and
// writers (the program may be running) but not with deleters, so that nobody moves the file away
// while the run reads it or keeps it as the backup; where another opener refuses that (a viewer
// that does not share deletion), for reading only, which is enough to tell what the file is; and
// where reading is refused too, for its attributes, which tell whose it is. The state, as
// OpenInFolder gives it.
EntryState OpenVersion(const FolderTree& tree, int folder, const char* leaf,
                       VersionOnDisk& version) {
  static const DWORD kAccess[] = {GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES, GENERIC_READ,
                                  FILE_READ_ATTRIBUTES};
  version.source = ByteSource{};
  version.canRead = 0;
  version.canMove = 0;
  EntryState state = kEntryRefused;
  int tried = 0;
  for (; tried < 3; ++tried) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (tried == 2 ? FILE_SHARE_DELETE : 0);
    state = OpenInFolder(tree, folder, leaf, kAccess[tried], share, version.file);
    if (state != kEntryRefused || GetLastError() != ERROR_SHARING_VIOLATION) break;
  }
  if (state != kEntryPresent) return state;
  version.canRead = tried < 2;
  version.canMove = tried == 0;
  DWORD high = 0;
  const DWORD length = GetFileSize(version.file.Get(), &high);
  version.source = ByteSource{version.canRead && high == 0 ? ReadFromHandle : nullptr,
                              version.file.Get(), length};
  return state;
}

// What to install for the file whose entries start at index, against its current version (null
// when there is none). A plain package's entry is installed whole without a look at the disk.
// 1 with plan; 0 with the last error set when the version cannot be read (or there is no memory
// to hash it).
int PlanReplacement(const PackageView& view, int index, const VersionOnDisk* version,
                    FilePlan& plan) {
  plan = FilePlan{kFileInstallWhole, index};
  if (!view.hasDeltas) return 1;
  unsigned char* work = DeltaWork();
  if (!work) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  if (version && !version->canRead) {
    // Open for its attributes only: another program holds it without sharing reads.
    SetLastError(ERROR_SHARING_VIOLATION);
    return 0;
  }
  SetLastError(ERROR_READ_FAULT);
  // A file too large for any version is planned as a file that no delta names.
  return PlanFile(view, index, version && version->source.read ? &version->source : nullptr, work,
                  kDeltaChunk, plan);
}

// The file being replaced, as this run finds and changes it.
struct FileAtHand : NameInFolder {
  TargetInfo* info;
  char target[kPathBufferSize];  // full paths, for the texts and the log
  char backup[kPathBufferSize];
};

// Creates the new file under the target's name, which must be free, fills it as plan says (from
// the entry, or from base and the delta entry), then flushes it so that the new contents are on
// disk before the caller lets the backup go. 1 when the file is complete, checked and closed; 0
// otherwise, after deleting a file it created, so that the name is free again for the backup to
// come back, with the failure's code as the last error (ERROR_INVALID_DATA for a damaged entry
// or delta).
int WriteNewFile(const PackageView& view, const FilePlan& plan, const FileAtHand& at,
                 const VersionOnDisk* base) {
  OwnedHandle file;
  if (!CreateInFolder(at.info->folders, at.folder, at.leaf, file)) return 0;
  // A write or flush that fails sets its own code; an entry that does not inflate, or a result
  // whose size or hash is wrong, sets none (a system that clears the code on success leaves 0,
  // which means the same).
  SetLastError(ERROR_INVALID_DATA);
  const ByteSink sink{WriteToHandle, file.Get()};
  unsigned char* work = DeltaWork();
  const int built = plan.action == kFileApplyDelta
                        ? base && base->source.read && work &&
                              ApplyDelta(EntryDeltaStream(view, view.directory[plan.entry]),
                                         base->source, sink, kDeltaChunk, work)
                        : StreamEntry(view, plan.entry, sink);
  if (built && FlushFileBuffers(file.Get())) return 1;
  DWORD error = GetLastError();
  if (error == ERROR_SUCCESS) error = ERROR_INVALID_DATA;
  DeleteOpenFile(file.Get());
  SetLastError(error);
  return 0;
}

// Commit: the new file is complete, so the backup goes. One deletion through its handle in the
// normal case. A read-only, hidden or system backup has those attributes cleared first, unless it
// has more than one hard link (the attributes are another name's too). One that still resists (a
// running program's image can be renamed, not deleted) is renamed to a name of the updater's own
// and deleted at the next restart under that name, which no other file has; where even that
// fails, the journal records it as retired, so that no later run takes it for the previous file,
// and a later run deletes it. 1 when the caller forgets the backup's record: its name is free,
// or no record could say what it is (a stranger's file to every later run, never put back); 0
// when the record says it is retired.
int DropBackup(const FileAtHand& at, VersionOnDisk& backup) {
  const HANDLE file = backup.file.Get();
  if (DeleteOpenFile(file) || (ClearOwnAttributes(file) && DeleteOpenFile(file))) return 1;
  const DWORD error = GetLastError();
  char retired[kPathBufferSize];
  char retiredPath[kPathBufferSize];
  if (UniqueName(at.backupLeaf, retired) &&
      RenameInFolder(file, at.info->folders, at.folder, retired)) {
    // The restart deletes by name; the name is this run's alone.
    if (JoinPath(retiredPath, sizeof retiredPath, at.backup,
                 retired + std::strlen(at.backupLeaf)) &&
        MoveFileExA(retiredPath, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
      LogFormat("Backup retired: %s, deleted at the next restart", retiredPath);
    return 1;
  }
  LogError("Backup not deleted:", at.backup, error);
  uint64_t id = 0;
  return !FileIdentity(file, id) ||
         !JournalPut(at.info->keyPath, at.name, JournalRecord{kJournalRetired, 1, id});
}

// Roll back: the backup becomes the target again. 1 when renamed.
int PutBackupBack(const FileAtHand& at, VersionOnDisk& backup) {
  return RenameInFolder(backup.file.Get(), at.info->folders, at.folder, at.leaf);
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

// A failure's report: the log's line with the error, then the status text naming the target.
int Fail(const FileAtHand& at, DWORD error, const char* text = texts::kFileFailedFormat) {
  if (error == kErrorLeavesFolder) {
    ShowStatus(texts::kOutsideFolderFormat, at.target);
    return 0;
  }
  if (error != ERROR_SUCCESS) LogError("File failed:", at.target, error);
  ShowStatus(text, at.target);
  return 0;
}

// Fills at for name: the paths, and the folder, created as far as needed. 1, or 0 after the
// failure is shown.
int FindFile(TargetInfo& info, const char* name, FileAtHand& at) {
  at.info = &info;
  const int fits = JoinPath(at.target, sizeof at.target, info.programFolder, name) &&
                   BackupPath(at.backup, sizeof at.backup, at.target);
  if (fits && FindName(info.folders, name, kFolderCreateAll, at)) return 1;
  if (fits && GetLastError() != ERROR_FILENAME_EXCED_RANGE) return Fail(at, GetLastError());
  LogError("File failed:", name, ERROR_FILENAME_EXCED_RANGE);
  ShowLongPathFailure(info.programFolder, name);  // nothing on disk has been touched
  return 0;
}

}  // namespace

int ReplaceFile(const PackageView& view, int index, TargetInfo& info, const char* table) {
  const char* name = TranslateName(table, view.directory[index].name);
  ShowStatus(texts::kUpdatingFileFormat, name);
  FileAtHand at;
  if (!FindFile(info, name, at)) return 0;
  const FolderTree& tree = info.folders;

  // What lies under the backup's name: nothing, an interrupted run's backup of the previous
  // file, a backup of ours that could not be deleted, or a stranger's file.
  VersionOnDisk backup;
  const EntryState backupState = OpenVersion(tree, at.folder, at.backupLeaf, backup);
  if (backupState == kEntryRefused) return Fail(at, GetLastError());
  JournalRecord record{};
  const int recorded = JournalFind(info.keyPath, at.name, record);
  if (backupState != kEntryAbsent) {
    if (!recorded || !JournalRecordIs(record, backup.file.Get())) {
      // Someone else's file: never ours to delete or put back. A record with another identity
      // named a backup that is gone.
      if (recorded) JournalRemove(info.keyPath, at.name);
      ShowStatus(texts::kForeignBackupFormat, at.backup);
      return 0;
    }
    if (record.kind == kJournalRetired) {
      // A backup of ours that an earlier run could not delete: deleted now, never put back.
      if (!backup.canMove || !DeleteOpenFile(backup.file.Get()))
        return Fail(at, backup.canMove ? GetLastError() : ERROR_SHARING_VIOLATION);
      backup.file.Close();
      JournalRemove(info.keyPath, at.name);
    }
  } else if (recorded) {
    // Recorded, but no backup is left: what a run killed between deleting its backup and
    // forgetting it leaves. Forgotten now, or a .bak someone puts there later would be
    // compared with a record of nothing.
    JournalRemove(info.keyPath, at.name);
  }
  const int backupIsPrevious = backupState != kEntryAbsent && record.kind == kJournalBackup;

  VersionOnDisk current;
  const EntryState currentState = OpenVersion(tree, at.folder, at.leaf, current);
  if (currentState == kEntryRefused) return Fail(at, GetLastError());

  FilePlan plan;
  if (backupIsPrevious) {
    // The interrupted run's backup is the previous file; what lies under the target's name is
    // its partial successor, which goes first.
    // The backup must be movable before its successor goes: held by another program, it could
    // not be put back.
    if (!backup.canMove) return Fail(at, ERROR_SHARING_VIOLATION);
    if (currentState == kEntryPresent) {
      if (!current.canMove || !DeleteOpenFile(current.file.Get()))
        return Fail(at, current.canMove ? GetLastError() : ERROR_SHARING_VIOLATION);
      current.file.Close();
    }
    if (!PlanReplacement(view, index, &backup, plan)) {
      const DWORD error = GetLastError();
      if (PutBackupBack(at, backup)) JournalRemove(info.keyPath, at.name);
      return Fail(at, error);
    }
  } else {
    if (!PlanReplacement(view, index, currentState == kEntryPresent ? &current : nullptr, plan))
      return Fail(at, GetLastError());
    if (plan.action == kFileAlreadyNew) {
      ShowStatus(texts::kFileUpdatedFormat, at.target);  // nothing to write: a rerun finishes
      return 1;
    }
    if (plan.action == kFileNoBase) return Fail(at, ERROR_SUCCESS, texts::kNotABaseFormat);
    if (currentState == kEntryPresent) {
      // Set aside: recorded with its identity first, then renamed through its own handle, so
      // that a kill at any moment leaves it recorded, and no later file under the name passes
      // for it.
      uint64_t id = 0;
      if (!current.canMove) return Fail(at, ERROR_SHARING_VIOLATION);
      if (!FileIdentity(current.file.Get(), id) ||
          !JournalPut(info.keyPath, at.name, JournalRecord{kJournalBackup, 1, id}))
        return Fail(at, ERROR_SUCCESS);  // no backup may be made unrecorded
      if (!RenameInFolder(current.file.Get(), tree, at.folder, at.backupLeaf)) {
        const DWORD error = GetLastError();
        JournalRemove(info.keyPath, at.name);
        if (error == ERROR_ALREADY_EXISTS) {
          // A .bak appeared since the look above: not ours to touch.
          ShowStatus(texts::kForeignBackupFormat, at.backup);
          return 0;
        }
        return Fail(at, error);
      }
      backup = static_cast<VersionOnDisk&&>(current);
    }
  }
  const int haveBackup = backup.file.Valid();

  const char* failure = texts::kFileFailedFormat;
  DWORD error = ERROR_SUCCESS;
  if (backupIsPrevious && plan.action == kFileAlreadyNew) {
    // The interrupted run's previous file is the new version: it goes back as it was.
    if (PutBackupBack(at, backup)) {
      JournalRemove(info.keyPath, at.name);
      ShowStatus(texts::kFileUpdatedFormat, at.target);
      return 1;
    }
    error = GetLastError();
  } else if (backupIsPrevious && plan.action == kFileNoBase) {
    failure = texts::kNotABaseFormat;
  } else if (WriteNewFile(view, plan, at, haveBackup ? &backup : nullptr)) {
    if (haveBackup && DropBackup(at, backup)) JournalRemove(info.keyPath, at.name);
    ShowStatus(texts::kFileUpdatedFormat, at.target);
    return 1;
  } else {
    error = GetLastError();  // the write's code, before the rollback's calls change it
  }
  if (haveBackup && PutBackupBack(at, backup)) JournalRemove(info.keyPath, at.name);
  return Fail(at, error, failure);
}
