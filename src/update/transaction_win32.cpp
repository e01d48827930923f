#include "update/transaction_win32.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "delta/delta_package.h"
#include "package/handles_win32.h"
#include "shell/exit_codes.h"
#include "shell/log_win32.h"
#include "shell/texts.h"
#include "shell/worker.h"
#include "update/checked_fs_win32.h"
#include "update/file_holder_win32.h"
#include "update/journal_win32.h"

// One file of the package (its group's first entry), or one file to remove (entry -1), in the
// order the run meets them. Its handles are the run's from the check to the end, open without
// delete sharing, so that nobody moves or deletes the files meanwhile; the renames and deletions
// go through them.
struct FileChange {
  char* name;         // malloc'd: the name on disk as Windows reads it (CanonicalName); null when
                      // the check failed before it was known
  const char* shown;  // the name as the package gives it (for a removal, as its list does: a
                      // malloc'd copy, owned here, since the list's walk reuses its buffer)
  int folder;         // its folder in the tree; -1 until the stage creates it
  int entry;          // the entry to install, or -1 for a removal
  int group;          // the file's first entry, or -1 for a removal
  FileAction action;  // kFileAlreadyNew: nothing to do
  uint32_t size;      // the new file's
  HANDLE previous;    // the file replaced or removed, opened to move it; null for a new file
  HANDLE staged;      // the new file under its staged name, once made; null once in place
  int baseGroup;      // FilePlan's (read only for a file that is staged: its check passed)
  int isBase;         // a later file's delta starts from this one's new version
  HANDLE built;       // the new file held as a later file's base: once in place (file by file),
                      // or found already new; null otherwise
  int builtMovable;   // built, found already new, was opened to be renamed and deleted too
  uint64_t previousId;
  uint64_t stagedId;
  char suffix[18];  // the staged name is name + suffix: a dot and 16 random hex digits
  int state;        // kBackedUp, kPlaced
  // The check's failure, reported when the run reaches the file: its text (null: none), error
  // (logged unless ERROR_SUCCESS) and whether the text names the file's .bak.
  const char* failText;
  DWORD failError;
  int failNamesBackup;
  uint32_t key;  // NameKey of shown
};

namespace {

constexpr int kBackedUp = 1;  // previous renamed to name.bak
constexpr int kPlaced = 2;    // staged renamed to name
constexpr int kDone = 4;      // the commit of the change complete: its backup is to go

// Bytes per read and write when a file is built from its base and a delta.
constexpr uint32_t kDeltaChunk = 64 * 1024;

// Room kept free beyond the new files: the journal, the log and the file system's own records.
constexpr uint64_t kSpaceMargin = 1 << 20;

// The work area of every delta's application and of the plans' hashing, allocated at the first
// file of a patch package and kept for the run, which ends with the process. Null when there is
// no memory for it.
unsigned char* DeltaWork() {
  static unsigned char* work;
  if (!work) work = static_cast<unsigned char*>(std::malloc(DeltaWorkSize(kDeltaChunk)));
  return work;
}

const char* Leaf(const char* name) {
  const char* split = std::strrchr(name, '\\');
  return split ? split + 1 : name;
}

// A failure's report: the log's line with the error, then the status text naming the file's
// full path (or its .bak's), which may be longer than any path the run acts on.
void Report(Update& u, const FileChange& c) {
  DWORD error = c.failError;
  const char* text = c.failText;
  if (error == kErrorLeavesFolder) text = texts::kOutsideFolderFormat, error = ERROR_SUCCESS;
  char path[kFolderBufferSize + kPathBufferSize + 8];
  _snprintf(path, sizeof path - 1, "%s%s%s", u.target->programFolder, c.shown,
            c.failNamesBackup ? ".bak" : "");
  path[sizeof path - 1] = '\0';
  if (error != ERROR_SUCCESS) LogError("File failed:", path, error);
  ShowStatus(text, path);
  u.anyFailed = 1;
}

// Records c's failure for Report. 0.
int Failed(FileChange& c, DWORD error, const char* text = texts::kFileFailedFormat,
           int namesBackup = 0) {
  c.failText = text;
  c.failError = error;
  c.failNamesBackup = namesBackup;
  return 0;
}

// Records the failure and reports it at once. 0.
int Fail(Update& u, FileChange& c, DWORD error) {
  Failed(c, error);
  Report(u, c);
  return 0;
}

// The file's full path for the texts and the log (cut to fit).
void FullPath(const Update& u, const FileChange& c, char (&out)[kPathBufferSize]) {
  JoinPath(out, sizeof out, u.target->programFolder, c.shown);
}

// A version of the file on disk, open through its checked folder, and source reading through
// that handle. A file of 4 GiB or more is no version a delta names (their sizes are 32-bit): it
// has no read function, so that nothing takes its first 4 GiB for the whole file; nor has one
// opened for its attributes only.
struct VersionOnDisk {
  OwnedHandle file;
  ByteSource source{};
  int canRead = 0;  // opened for reading
  int canMove = 0;  // opened for renaming and deletion
};

// Opens leaf in folder as a version. For reading, renaming and deletion, shared with readers and
// writers (the program may be running) but not with deleters, so that nobody moves the file away
// while the run holds it; where another opener refuses that (a viewer that does not share
// deletion), for reading only, which is enough to tell what the file is; and where reading is
// refused too, for its attributes. The state, as OpenInFolder gives it.
EntryState OpenVersion(const FolderTree& tree, int folder, const char* leaf,
                       VersionOnDisk& version) {
  static const DWORD kAccess[] = {GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES, GENERIC_READ,
                                  FILE_READ_ATTRIBUTES};
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

// A delta's base read through a handle the run holds (null: none).
ByteSource BaseOf(HANDLE file) {
  DWORD high = 0;
  const DWORD length = file ? GetFileSize(file, &high) : 0;
  return ByteSource{file && high == 0 ? ReadFromHandle : nullptr, file, length};
}

// The change of the file whose entries start at entry group, or null.
FileChange* ChangeOfGroup(Update& u, int group) {
  for (int i = 0; i < u.count; ++i)
    if (u.changes[i].group == group) return &u.changes[i];
  return nullptr;
}

// BuiltFiles of the changes checked so far: a file whose check passed is built before any later
// one, or was found already new and is held.
int IsBuilt(void* update, int group) {
  const FileChange* c = ChangeOfGroup(*static_cast<Update*>(update), group);
  return c && !c->failText && (c->built || c->name);
}

// Where the run holds the new version of the file whose entries start at entry group: staged, or
// in place, or found already new. Null when it has none.
HANDLE NewVersionOf(Update& u, int group) {
  const FileChange* c = ChangeOfGroup(u, group);
  return !c ? nullptr : c->staged ? c->staged : c->built;
}

// Opens leaf in folder for deletion or renaming, as recovery and the check of
// our own backups need it.
EntryState OpenToMove(const FolderTree& tree, int folder, const char* leaf, OwnedHandle& file) {
  return OpenInFolder(tree, folder, leaf, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, file);
}

// What the check of one file found.
enum Checked { kCheckedOk, kCheckedInUse, kCheckedFailed, kCheckedNone };

// Looks at the file name (an entry's, or index -1: one to remove) and fills c: kCheckedOk with
// the change ready (c.name null for a removal of a file that is not there, nothing to do),
// kCheckedInUse when another program holds the file, kCheckedFailed with the failure recorded
// in c, kCheckedNone for a file kept only as the base of others that is not there (a run that
// removed it has ended): it is no change, and no base. A removal of a file the run holds already
// (kept, an earlier change found already new: opening it again would meet the run's own hold) goes
// through a second handle to it. Changes nothing and shows nothing.
Checked CheckFile(Update& u, int index, const char* name, FileChange& c,
                  const FileChange* kept = nullptr) {
  c = FileChange{};
  c.shown = name;
  c.entry = c.group = index;
  FolderTree& tree = u.target->folders;
  NameInFolder at;
  if (!FindName(tree, name, kFolderOpen, at)) {
    const DWORD error = GetLastError();
    // A missing folder: the file is new, and its folder is made at the stage.
    if (error != ERROR_PATH_NOT_FOUND) {
      Failed(c, error);
      return kCheckedFailed;
    }
    at.folder = -1;
  }
  VersionOnDisk current;
  EntryState state = kEntryAbsent;
  if (at.folder >= 0) {
    // Only this run's backups may lie under the backup's name, and recovery has put back or
    // deleted every one it could: what is left is a retired backup still in use, or a stranger's.
    OwnedHandle backup;
    JournalRecord record;
    state = OpenInFolder(tree, at.folder, at.backupLeaf, FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, backup);
    if (state == kEntryPresent) {
      const int ours = JournalListFind(u.kept, u.keptSize, at.name, record) &&
                       JournalRecordIs(record, backup.Get());
      if (!ours) {
        Failed(c, ERROR_SUCCESS, texts::kForeignBackupFormat, 1);
        return kCheckedFailed;
      }
      // A backup of ours that recovery could not put back or delete (a program holds it): a
      // retired one goes now if it can (so that Retry helps once the program is closed), any
      // other waits.
      backup.Close();
      if (record.kind != kJournalRetired ||
          OpenToMove(tree, at.folder, at.backupLeaf, backup) != kEntryPresent ||
          !DeleteOwnFile(backup.Get()))
        return kCheckedInUse;
    }
    // (Should the second handle fail, opening the file again meets the run's own hold: in use.)
    HANDLE again;
    if (state == kEntryAbsent && kept &&
        DuplicateHandle(GetCurrentProcess(), kept->built, GetCurrentProcess(), &again, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
      current.file = OwnedHandle(again);
      current.canMove = kept->builtMovable;
      state = kEntryPresent;
    }
    if (state == kEntryAbsent) state = OpenVersion(tree, at.folder, at.leaf, current);
    if (state == kEntryRefused) {
      const DWORD error = GetLastError();
      if (error == ERROR_SHARING_VIOLATION) return kCheckedInUse;
      // A removal that cannot be made (a folder under the name) is passed over, as file by file;
      // one through a link is refused.
      if (index < 0 && error != kErrorLeavesFolder) {
        LogError("File not removed:", name, error);
        return kCheckedOk;
      }
      Failed(c, error);
      return kCheckedFailed;
    }
  }
  // Held by another program: in use, unless it is the new version already, which is not moved.
  const int held = state == kEntryPresent && !current.canMove;
  if (held && (!current.canRead || !u.view->hasDeltas)) return kCheckedInUse;
  FilePlan plan{kFileInstallWhole, index, -1};
  if (index >= 0) {
    if (u.view->hasDeltas) {
      unsigned char* work = DeltaWork();
      SetLastError(work ? ERROR_READ_FAULT : ERROR_NOT_ENOUGH_MEMORY);
      // A file too large for any version is planned as a file that no delta names.
      const BuiltFiles built{IsBuilt, &u};
      if (!work ||
          !PlanFile(*u.view, index,
                    state == kEntryPresent && current.source.read ? &current.source : nullptr,
                    &built, work, kDeltaChunk, plan)) {
        Failed(c, GetLastError());
        return kCheckedFailed;
      }
    }
    // The new file's size: a whole entry's, or the result a delta names.
    DeltaHeader header;
    c.size = u.view->directory[plan.entry < 0 ? index : plan.entry].size;
    if (plan.action == kFileApplyDelta &&
        ReadDeltaHeader(EntryDeltaStream(*u.view, u.view->directory[plan.entry]), header))
      c.size = header.resultSize;
    if (plan.action == kFileNoBase) {
      if (state != kEntryPresent && KeptOnlyAsBase(*u.view, index)) return kCheckedNone;
      Failed(c, ERROR_SUCCESS, texts::kNotABaseFormat);
      return kCheckedFailed;
    }
  } else if (state != kEntryPresent) {
    return kCheckedOk;  // nothing to remove
  }
  c.action = plan.action;
  c.baseGroup = plan.baseGroup;
  if (plan.baseGroup >= 0) ChangeOfGroup(u, plan.baseGroup)->isBase = 1;  // IsBuilt found it
  if (plan.action == kFileAlreadyNew) {
    c.builtMovable = current.canMove;
    c.built = current.file.Release();  // a later file's delta may start from it
    return kCheckedOk;                 // nothing to write: a rerun finishes
  }
  c.entry = plan.entry;
  if (held) return kCheckedInUse;
  char suffix[kPathBufferSize];
  c.name = static_cast<char*>(std::malloc(std::strlen(at.name) + 1));
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  if (!c.name || (state == kEntryPresent && !FileIdentity(current.file.Get(), c.previousId)) ||
      !UniqueName(at.name, suffix)) {
    Failed(c, GetLastError());
    return kCheckedFailed;
  }
  std::strcpy(c.name, at.name);
  std::strcpy(c.suffix, suffix + std::strlen(at.name));
  c.folder = at.folder;
  c.previous = current.file.Release();
  return kCheckedOk;
}

// 1 when the canonical names a and b are one name, ASCII letters folded as Windows folds them.
int SameName(const char* a, const char* b) {
  for (; *a && FoldAscii(*a) == FoldAscii(*b); ++a, ++b) {
  }
  return *a == *b;
}

// The key of a name as the package or its list gives it: a hash of its canonical name (into
// canonical, kPathBufferSize bytes), ASCII letters folded; 0 for a name with no canonical form.
uint32_t NameKey(const char* name, char* canonical) {
  uint32_t key = 0;
  if (CanonicalName(name, canonical, kPathBufferSize) > 0)
    for (key = 2166136261u; *canonical; ++canonical)
      key = (key ^ static_cast<unsigned char>(FoldAscii(*canonical))) * 16777619u;
  return key;
}

// The latest earlier change of name (as the package or its list gives it), or null. A key
// compared first: an update of many files compares every name with every earlier one.
FileChange* FindChange(Update& u, const char* name) {
  char wanted[kPathBufferSize];
  char other[kPathBufferSize];
  const uint32_t key = NameKey(name, wanted);
  for (int i = u.count; key && i-- > 0;) {
    FileChange& c = u.changes[i];
    if (c.key == key && NameKey(c.shown, other) && SameName(other, wanted)) return &c;
  }
  return nullptr;
}

// CheckFile of one more change, asking the user to close the program that holds a file of an
// update that installs all or nothing as long as they answer Retry; file by file, a file in use
// fails as any other. 1 when the change was added (failed or not, file by file); 0 when an
// update that installs all or nothing fails, after the failure is shown; -1 when its file is in
// use still (Cancel, or a silent run).
int CheckWithRetry(Update& u, int index, const char* name) {
  if (u.count == u.capacity) {
    const int capacity = u.capacity ? u.capacity * 2 : 64;
    auto* grown = static_cast<FileChange*>(
        std::realloc(u.changes, static_cast<size_t>(capacity) * sizeof(FileChange)));
    if (!grown) {
      LogText("Out of memory for the update's files");
      return 0;
    }
    u.changes = grown;
    u.capacity = capacity;
  }
  // Two entries under one name: the later one is what the file ends as, so the earlier one needs
  // nothing done (its texts stay), and lets the file go for the later one's check. A name listed
  // twice for removal is removed once; a file the update installs is not removed, unless the
  // package carries it only as the base of others: then the removal comes after them.
  FileChange* earlier = FindChange(u, name);
  const FileChange* kept =
      index < 0 && earlier && earlier->built && KeptOnlyAsBase(*u.view, earlier->group) ? earlier
                                                                                        : nullptr;
  if (earlier && index < 0 && !kept) return 1;
  if (earlier && earlier->built && !kept) CloseHandle(earlier->built), earlier->built = nullptr;
  if (earlier && earlier->name) {
    if (earlier->previous) CloseHandle(earlier->previous);
    std::free(earlier->name);
    earlier->previous = nullptr;
    earlier->name = nullptr;
    earlier->action = kFileAlreadyNew;
  }
  // A removal's name lives in the list's buffer only while the walk is at it.
  if (index < 0) {
    char* copy = static_cast<char*>(std::malloc(std::strlen(name) + 1));
    if (!copy) {
      LogText("Out of memory for the update's files");
      return 0;
    }
    name = std::strcpy(copy, name);
  }
  FileChange& c = u.changes[u.count];
  char canonical[kPathBufferSize];
  for (;;) {
    Checked checked = CheckFile(u, index, name, c, kept);
    if (checked == kCheckedNone) return 1;
    c.key = NameKey(name, canonical);
    if (checked == kCheckedInUse && !u.allOrNothing) {
      Failed(c, ERROR_SHARING_VIOLATION);
      checked = kCheckedFailed;
    }
    if (checked != kCheckedInUse) {
      ++u.count;
      if (checked == kCheckedOk || !u.allOrNothing) return 1;
      Report(u, c);
      return 0;
    }
    char path[kPathBufferSize];
    FullPath(u, c, path);
    char holder[300];
    char question[sizeof holder + sizeof path + sizeof texts::kFileInUseFormat];
    FileHolderName(path, holder, sizeof holder);
    _snprintf(question, sizeof question - 1, texts::kFileInUseFormat, holder, path);
    question[sizeof question - 1] = '\0';
    if (AskUser(question, texts::kPatchLevelWarningCaption, MB_RETRYCANCEL | MB_ICONEXCLAMATION,
                IDCANCEL) != IDRETRY) {
      LogError("File in use:", path, ERROR_SHARING_VIOLATION);
      ShowStatus(texts::kFileInUseFormat, holder, path);
      ++u.count;
      u.anyFailed = 1;
      return -1;
    }
  }
}

// The journal's record of one change before the phase that is about to begin: before the stage,
// the staged name and the backup's identity; before the commit, the staged file's identity too;
// once the commit stands, the backups as retired.
enum JournalPhase { kBeforeStage, kBeforeCommit, kAfter };

// Writes the record of name + suffix at out: the bytes written, its NUL included (at most the
// name's length and 37). The name and suffix fit a path: CheckFile makes sure of it.
size_t PutRecord(char* out, const char* name, const char* suffix, const JournalRecord& record) {
  char stem[kPathBufferSize];
  JoinPath(stem, sizeof stem, name, suffix);
  FormatJournalRecord(out, kPathBufferSize + 20, stem, record);
  return std::strlen(out) + 1;
}

// Writes the whole journal for phase: the records kept from earlier runs, then every change's.
// 1 when written.
int WriteJournal(Update& u, JournalPhase phase) {
  size_t capacity = u.keptSize + 1;
  for (int i = 0; i < u.count; ++i)
    if (u.changes[i].name) capacity += 2 * (std::strlen(u.changes[i].name) + 40);
  char* list = static_cast<char*>(std::malloc(capacity));
  size_t size = u.keptSize;
  if (list) {
    if (size) std::memcpy(list, u.kept, size);
    for (int i = 0; i < u.count; ++i) {
      const FileChange& c = u.changes[i];
      if (!c.name || c.failText) continue;
      // Once its commit stands, a file in place is no longer staged: a record of it would have a
      // recovery take it for a new file of a commit that did not stand; and its backup is
      // retired. A change whose commit was not completed nor undone keeps both records.
      const int done = u.committed && (c.state & kDone);
      if (phase == kBeforeStage ? c.entry >= 0 : c.staged && !done)
        size += PutRecord(list + size, c.name, c.suffix, {kJournalStaged, 1, c.stagedId});
      if (c.previous && (phase != kAfter || (c.state & kBackedUp)))
        size += PutRecord(list + size, c.name, "",
                          {done ? kJournalRetired : kJournalBackup, 1, c.previousId});
    }
    list[size++] = '\0';
  }
  const int ok = list && JournalWrite(u.target->keyPath, list, size);
  std::free(list);
  if (!ok) LogText("The journal could not be written");
  u.journaled |= ok;
  return ok;
}

// Builds c's new file under its staged name, flushed, its identity taken. 1, or 0 after the
// failure is shown, with nothing left under the staged name.
int StageFile(Update& u, FileChange& c) {
  FolderTree& tree = u.target->folders;
  NameInFolder at;
  if (c.folder < 0) {
    if (!FindName(tree, c.name, kFolderCreateAll, at)) return Fail(u, c, GetLastError());
    c.folder = at.folder;
  }
  char staged[kPathBufferSize];
  OwnedHandle file;
  if (!JoinPath(staged, sizeof staged, Leaf(c.name), c.suffix) ||
      !CreateInFolder(tree, c.folder, staged, file))
    return Fail(u, c, GetLastError());
  // A write or flush that fails sets its own code; an entry that does not inflate, or a result
  // whose size or hash is wrong, sets none (a system that clears the code on success leaves 0,
  // which means the same).
  SetLastError(ERROR_INVALID_DATA);
  const ByteSink sink{WriteToHandle, file.Get()};
  unsigned char* work = DeltaWork();
  // A delta from another file's new version reads it where this run holds it (staged, or in
  // place), checked first as the file's own base was at the check.
  const ByteSource base = BaseOf(c.baseGroup < 0 ? c.previous : NewVersionOf(u, c.baseGroup));
  const int built = c.action == kFileApplyDelta
                        ? base.read && work &&
                              ApplyDelta(EntryDeltaStream(*u.view, u.view->directory[c.entry]),
                                         base, sink, kDeltaChunk, work, c.baseGroup >= 0)
                        : StreamEntry(*u.view, c.entry, sink);
  if (built && FlushFileBuffers(file.Get()) && FileIdentity(file.Get(), c.stagedId)) {
    c.staged = file.Release();
    return 1;
  }
  DWORD error = GetLastError();
  if (error == ERROR_SUCCESS) error = ERROR_INVALID_DATA;
  DeleteOpenFile(file.Get());
  return Fail(u, c, error);
}

// Deletes c's staged file, if any; what cannot be deleted stays recorded.
void DiscardStaged(FileChange& c) {
  if (c.staged && DeleteOpenFile(c.staged)) {
    CloseHandle(c.staged);
    c.staged = nullptr;
  }
}

// The commit's renames of c back, the last first. A file that took the name between the two
// renames (the name is free for that moment) is deleted, as recovery would: the name is the
// previous file's. What cannot be renamed back stays recorded.
void UndoCommit(Update& u, FileChange& c) {
  const FolderTree& tree = u.target->folders;
  char staged[kPathBufferSize];
  c.state &= ~kDone;
  if ((c.state & kPlaced) && JoinPath(staged, sizeof staged, Leaf(c.name), c.suffix) &&
      RenameInFolder(c.staged, tree, c.folder, staged))
    c.state &= ~kPlaced;
  if (c.state != kBackedUp) return;
  if (!RenameInFolder(c.previous, tree, c.folder, Leaf(c.name))) {
    OwnedHandle taken;
    if (OpenToMove(tree, c.folder, Leaf(c.name), taken) != kEntryPresent ||
        !DeleteOpenFile(taken.Get()))
      return;
    taken.Close();
    if (!RenameInFolder(c.previous, tree, c.folder, Leaf(c.name))) return;
  }
  c.state = 0;
}

// The commit's renames of c. 1 when done; 0 after the failure is shown, c's renames undone.
int CommitFile(Update& u, FileChange& c) {
  const FolderTree& tree = u.target->folders;
  char backup[kPathBufferSize];
  if (!BackupPath(backup, sizeof backup, Leaf(c.name))) return 0;
  if (!c.previous || RenameInFolder(c.previous, tree, c.folder, backup)) {
    if (c.previous) c.state |= kBackedUp;
    if (!c.staged || RenameInFolder(c.staged, tree, c.folder, Leaf(c.name))) {
      c.state |= (c.staged ? kPlaced : 0) | kDone;
      return 1;
    }
  }
  Fail(u, c, GetLastError());
  UndoCommit(u, c);
  return 0;
}

// The backup goes: one deletion through its handle in the normal case. A read-only, hidden or
// system backup has those attributes cleared first, unless it has more than one hard link (the
// attributes are another name's too). One that still resists (a running program's image can be
// renamed, not deleted) is renamed to a name of the updater's own and deleted at the next
// restart under that name, which no other file has; where even that fails, it stays recorded as
// retired, so that no later run takes it for the previous file, and a later run deletes it.
void DropBackup(Update& u, FileChange& c) {
  const HANDLE file = c.previous;
  if (!file || !(c.state & kDone) || !(c.state & kBackedUp)) return;
  int gone = DeleteOwnFile(file);
  const DWORD error = GetLastError();
  char leaf[kPathBufferSize];
  char retired[kPathBufferSize];
  char path[kFolderBufferSize + kPathBufferSize + 24];
  // The restart deletes by name; the name is this run's alone. It is asked for before the file
  // takes the name, so that no moment leaves the retired file unscheduled (a deletion of a name
  // that nothing holds does nothing).
  if (!gone && BackupPath(leaf, sizeof leaf, Leaf(c.name)) && UniqueName(leaf, retired)) {
    _snprintf(path, sizeof path - 1, "%s%.*s%s", u.target->programFolder,
              static_cast<int>(Leaf(c.name) - c.name), c.name, retired);
    path[sizeof path - 1] = '\0';
    gone = MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) &&
           RenameInFolder(file, u.target->folders, c.folder, retired);
    if (gone) LogFormat("Backup retired: %s, deleted at the next restart", path);
  }
  if (!gone) {
    LogError("Backup not deleted:", c.name, error);
    return;
  }
  CloseHandle(file);
  c.previous = nullptr;
}

// Recovery's act on one record (text, its name nameLength bytes). 1 when it is done with: done,
// or naming nothing that is ours; 0 to keep it.
int Recover(FolderTree& tree, const char* text, size_t nameLength, const JournalRecord& record) {
  char name[kPathBufferSize];
  NameInFolder found;
  OwnedHandle file;
  if (nameLength >= sizeof name) return 1;
  std::memcpy(name, text, nameLength);
  name[nameLength] = '\0';
  // A folder that is gone holds nothing of ours; one that cannot be reached now may later.
  if (!FindName(tree, name, kFolderOpen, found)) return GetLastError() == ERROR_PATH_NOT_FOUND;
  const int staged = record.kind == kJournalStaged;
  const EntryState state =
      OpenToMove(tree, found.folder, staged ? found.leaf : found.backupLeaf, file);
  if (state == kEntryRefused) return 0;
  if (staged) {
    // A staged file is ours by its recorded name, and by its identity once that is recorded.
    if (state == kEntryPresent)
      return (record.id && !JournalRecordIs(record, file.Get())) || DeleteOpenFile(file.Get());
    // Gone from its staged name: renamed into place (the leaf without its dot and 16 digits) by
    // a commit that did not stand, where its identity tells it (a record made before the file
    // was has none).
    const size_t leafLength = std::strlen(found.leaf);
    if (record.id == 0 || leafLength <= 17) return 1;
    found.leaf[leafLength - 17] = '\0';
    return OpenToMove(tree, found.folder, found.leaf, file) != kEntryPresent ||
           !JournalRecordIs(record, file.Get()) || DeleteOpenFile(file.Get());
  }
  if (state != kEntryPresent || !JournalRecordIs(record, file.Get())) return 1;
  if (record.kind == kJournalRetired) return DeleteOwnFile(file.Get());
  // The previous file comes back over what holds its name: a partial or new successor of an
  // update that did not stand (its staged record, earlier in the journal, went first).
  OwnedHandle successor;
  if (OpenToMove(tree, found.folder, found.leaf, successor) == kEntryPresent)
    DeleteOpenFile(successor.Get());
  successor.Close();
  return RenameInFolder(file.Get(), tree, found.folder, found.leaf);
}

// Reports, stages, commits and lets go of one change of an update installed file by file. A
// removal (of a file kept for the files built from it: the last changes) is a commit alone,
// made only when no file failed, since a file built from it that failed needs it for the rerun;
// like any listed removal's, its failure is logged, not counted.
void InstallOne(Update& u, FileChange& c) {
  char path[kPathBufferSize];
  if (c.entry < 0) {
    FullPath(u, c, path);
    // (Kept for the rerun, it is logged with error 0.)
    if (c.failText || !c.name || u.anyFailed)
      return LogError("File not removed:", path, c.failError);
    if (CommitFile(u, c)) DropBackup(u, c), LogFormat("File removed: %s", path);
    return;
  }
  ShowStatus(texts::kUpdatingFileFormat, c.shown);
  if (c.failText) return Report(u, c);
  if (c.action != kFileAlreadyNew) {
    if (!StageFile(u, c)) return;
    if (!CommitFile(u, c)) return DiscardStaged(c);
    // In place: held on only as a later file's base, since the handle shares reading alone (a
    // program could not be started from the file while it is held).
    if (c.isBase)
      c.built = c.staged;
    else
      CloseHandle(c.staged);
    c.staged = nullptr;
    DropBackup(u, c);
  }
  FullPath(u, c, path);
  ShowStatus(texts::kFileUpdatedFormat, path);
}

}  // namespace

void RecoverUpdate(TargetInfo& target) {
  char* list;
  size_t size;
  if (!JournalRead(target.keyPath, list, size) || !list) return;
  // In the journal's order: a change's staged file comes before its backup, so that a new file
  // renamed into place is gone before the backup comes back.
  size_t kept = 0;
  int changed = 0;
  for (size_t at = 0; at + 1 < size;) {
    char* text = list + at;
    const size_t length = std::strlen(text) + 1;
    at += length;
    if (length == 1) continue;  // the list's end
    size_t nameLength;
    JournalRecord record;
    const int done = !ParseJournalRecord(text, nameLength, record) ||
                     Recover(target.folders, text, nameLength, record);
    if (done) LogFormat("Recovered: %s", text);
    changed |= done;
    if (!done) {
      std::memmove(list + kept, text, length);
      kept += length;
    }
  }
  list[kept] = '\0';
  if (changed) JournalWrite(target.keyPath, list, kept + 1);
  std::free(list);
}

int CheckUpdate(const PackageView& view, TargetInfo& target, const char* table, int allOrNothing,
                Update& u, int& code) {
  u = Update{};
  u.view = &view;
  u.target = &target;
  u.allOrNothing = allOrNothing;
  u.removals = 1;
  code = exit_codes::kFilesFailed;
  size_t size;
  if (!JournalRead(target.keyPath, u.kept, size)) {
    LogText("The journal could not be read: nothing is changed");
    return 0;
  }
  // The kept records up to the list's closing empty name, after which the phases' go.
  while (u.keptSize + 1 < size && u.kept[u.keptSize] != '\0')
    u.keptSize += std::strlen(u.kept + u.keptSize) + 1;
  if (allOrNothing) ShowStatus(texts::kCheckingText);
  const auto count = static_cast<int>(view.header.entryCount);
  for (int i = 0; i < count; i += FileGroupLength(view, i)) {
    if (IsControlSection(view.directory[i])) continue;
    const int checked = CheckWithRetry(u, i, TranslateName(table, view.directory[i].name));
    if (checked < 0) code = exit_codes::kFileInUse;
    if (checked <= 0) return 0;
  }
  return 1;
}

void AddRemoval(const char* path, void* update) {
  Update& u = *static_cast<Update*>(update);
  if (u.removals == 1)
    u.removals = CheckWithRetry(u, -1, path + std::strlen(u.target->programFolder));
}

void AddKeptRemoval(const char* path, void* update) {
  Update& u = *static_cast<Update*>(update);
  const char* name = path + std::strlen(u.target->programFolder);
  if (FindChange(u, name)) CheckWithRetry(u, -1, name);
}

int ApplyUpdate(Update& u, int& code) {
  code = exit_codes::kFilesFailed;
  if (u.allOrNothing) {
    uint64_t needed = kSpaceMargin;
    uint64_t free = 0;
    uint32_t cluster = 0;
    if (FreeSpace(u.target->folders, free, cluster) && cluster) {
      // Allocation units are a power of two bytes: no 64-bit division (a library call on x86).
      for (int i = 0; i < u.count; ++i)
        if (u.changes[i].name && u.changes[i].entry >= 0)
          needed += (uint64_t{u.changes[i].size} + cluster - 1) & ~uint64_t{cluster - 1};
      if (free < needed) {
        char kilobytes[24];
        _snprintf(kilobytes, sizeof kilobytes, "%lu",
                  static_cast<unsigned long>((needed - free + 1023) >> 10));
        ShowStatus(texts::kNoSpaceFormat, kilobytes);
        code = exit_codes::kDiskFull;
        return 0;
      }
    }
  }
  if (!WriteJournal(u, kBeforeStage)) {
    u.anyFailed = 1;
    return 0;
  }
  if (!u.allOrNothing) {
    u.committed = 1;  // each file's commit stands on its own
    for (int i = 0; i < u.count; ++i) InstallOne(u, u.changes[i]);
    return 1;
  }
  for (int i = 0; i < u.count; ++i) {
    FileChange& c = u.changes[i];
    if (!c.name || c.entry < 0) continue;
    ShowStatus(texts::kUpdatingFileFormat, c.shown);
    if (!StageFile(u, c)) return 0;
  }
  if (!WriteJournal(u, kBeforeCommit)) {
    u.anyFailed = 1;
    return 0;
  }
  ShowStatus(texts::kCommittingText);
  int i = 0;
  for (; i < u.count; ++i) {
    FileChange& c = u.changes[i];
    if (c.name && !CommitFile(u, c)) break;
    char path[kPathBufferSize];
    FullPath(u, c, path);
    if (c.entry >= 0)
      ShowStatus(texts::kFileUpdatedFormat, path);
    else if (c.name)
      LogFormat("File removed: %s", path);
  }
  if (i == u.count) {
    u.committed = 1;
    if (WriteJournal(u, kAfter)) {
      // In place: the staged names are no longer the files'.
      for (int k = 0; k < u.count; ++k) {
        FileChange& c = u.changes[k];
        if (c.state & kPlaced) CloseHandle(c.staged), c.staged = nullptr;
      }
      return 1;
    }
    u.committed = 0;
    u.anyFailed = 1;
  }
  while (--i >= 0) UndoCommit(u, u.changes[i]);
  return 0;
}

void EndUpdate(Update& u) {
  for (int i = 0; i < u.count; ++i) {
    FileChange& c = u.changes[i];
    if (u.committed)
      DropBackup(u, c);
    else
      DiscardStaged(c);
  }
  if (!u.committed && u.allOrNothing) RemoveCreatedFolders(u.target->folders);
  // A journal this run never wrote is left as it was read (or could not be read).
  if (u.journaled) WriteJournal(u, kAfter);
  for (int i = 0; i < u.count; ++i) {
    FileChange& c = u.changes[i];
    if (c.previous) CloseHandle(c.previous);
    if (c.staged) CloseHandle(c.staged);
    if (c.built) CloseHandle(c.built);
    std::free(c.name);
    if (c.entry < 0) std::free(const_cast<char*>(c.shown));
  }
  std::free(u.changes);
  std::free(u.kept);
  u = Update{};
}
