// The update run: the two questions, the translation table, :Folders, :FilesToRemove, every
// file entry, then the completion message and the registry write of the new patch level.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "delta/delta_package.h"
#include "package/format.h"
#include "package/handles_win32.h"
#include "package/sections.h"
#include "shell/command_line.h"
#include "shell/exit_codes.h"
#include "shell/log_win32.h"
#include "shell/texts.h"
#include "shell/worker.h"
#include "update/checked_fs_win32.h"
#include "update/paths.h"
#include "update/transaction_win32.h"
#include "update/update.h"

namespace {

// Asks the :StartupMsg question when the package has one. 1 to go on (no question, or OK; a
// silent run takes it as OK: the administrator who started it has agreed).
int AskStartupQuestion(const PackageView& view) {
  const int index = FindEntry(view, kStartupMsgSection);
  if (index < 0) return 1;
  unsigned char* payload = ExtractToBuffer(view, index);
  if (!payload) return 0;  // out of memory: decline rather than update unasked
  const char* caption;
  const char* text;
  int answer = IDCANCEL;
  if (ParseStartupMsg(payload, view.directory[index].size, caption, text))
    answer = AskUser(text, caption, MB_OKCANCEL | MB_ICONINFORMATION, IDOK);
  std::free(payload);
  return answer == IDOK;
}

// 1 to go on: the installed level is below the package's, or the user said OK to the warning.
// A silent run skips a package that is not newer, unless /FORCE says to install it.
int CheckPatchLevel(const TargetInfo& target) {
  if (!PatchLevelNeedsWarning(target.installedPatchLevel, target.packagePatchLevel)) return 1;
  return AskUser(texts::kPatchLevelWarningText, texts::kPatchLevelWarningCaption,
                 MB_OKCANCEL | MB_ICONEXCLAMATION, Switches.force ? IDOK : IDCANCEL) == IDOK;
}

// A walk over a :Folders or :FilesToRemove list: a path that fails the link check is skipped,
// named on the status line, and counted as a failure of the run.
struct ListWalk {
  TargetInfo* target;
  int anyFailed;
  const PackageView* view;
};

// The listed path's folder in the tree: the folder itself for :Folders (created as mode says,
// created set), or the folder holding the file for :FilesToRemove (leaf filled). -1 with the
// last error set; a path refused by the link check is shown and counts as a failure.
int FindListed(ListWalk& walk, const char* path, FolderMode mode, char* leaf, int* created) {
  TargetInfo& target = *walk.target;
  char canonical[kPathBufferSize];
  int folder = -1;
  if (CanonicalName(path + std::strlen(target.programFolder), canonical, sizeof canonical) < 0 ||
      (leaf && !FolderAndLeaf(canonical, leaf, kPathBufferSize)))
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
  else
    folder = FindFolder(target.folders, canonical, mode, created);
  if (folder < 0 && GetLastError() == kErrorLeavesFolder) {
    ShowStatus(texts::kOutsideFolderFormat, path);
    walk.anyFailed = 1;
    SetLastError(kErrorLeavesFolder);
  }
  return folder;
}

// The outcomes of the acts are logged; they do not count as failures of the run (a folder may
// exist, a file to remove may be gone already).
void CreateListedFolder(const char* path, void* context) {
  int created = 0;
  if (FindListed(*static_cast<ListWalk*>(context), path, kFolderCreateLast, nullptr, &created) < 0)
    LogError("Folder not created:", path, GetLastError());
  else if (created)
    LogFormat("Folder created: %s", path);
  else
    LogError("Folder not created:", path, ERROR_ALREADY_EXISTS);
}

void RemoveListedFile(const char* path, void* context) {
  ListWalk& walk = *static_cast<ListWalk*>(context);
  // A file the package carries only as the base of others goes after them (AddKeptRemoval).
  const int entry = FindEntry(*walk.view, path + std::strlen(walk.target->programFolder));
  if (entry >= 0 && KeptOnlyAsBase(*walk.view, entry)) return;
  char leaf[kPathBufferSize];
  const int folder = FindListed(walk, path, kFolderOpen, leaf, nullptr);
  if (folder < 0) {
    LogError("File not removed:", path, GetLastError());
    return;
  }
  OwnedHandle file;
  const EntryState state =
      OpenInFolder(walk.target->folders, folder, leaf, DELETE | FILE_READ_ATTRIBUTES,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, file);
  if (state == kEntryPresent && DeleteOpenFile(file.Get())) {
    LogFormat("File removed: %s", path);
    return;
  }
  const DWORD error = GetLastError();
  if (state == kEntryRefused && error == kErrorLeavesFolder) {
    ShowStatus(texts::kOutsideFolderFormat, path);
    walk.anyFailed = 1;
  }
  LogError("File not removed:", path, error);
}

// Walks the names of section key, when the package has it, with visit on each full path. 0 when
// the list cannot be read for want of memory.
int ForEachSectionPath(const PackageView& view, const char* key, const TargetInfo& target,
                       PathVisitor visit, void* context) {
  const int index = FindEntry(view, key);
  if (index < 0) return 1;
  unsigned char* payload = ExtractToBuffer(view, index);
  if (!payload) {
    // Not done is not done: the list's folders or removals count as failed.
    LogFormat("Out of memory for %s: none of its names done", key);
    return 0;
  }
  ForEachListedPath(payload, view.directory[index].size, target.programFolder, visit, context);
  std::free(payload);
  return 1;
}

// A :Folders or :FilesToRemove list walked with visit: 1 when no path was refused and the list
// could be read.
int WalkList(const PackageView& view, const char* key, TargetInfo& target, PathVisitor visit) {
  ListWalk walk{&target, 0, &view};
  return ForEachSectionPath(view, key, target, visit, &walk) && !walk.anyFailed;
}

// Records the new patch level. No status text on failure (the completion message already
// stands); the log has the error. 1 when written.
int WritePatchLevel(const TargetInfo& target) {
  HKEY key;
  LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, target.keyPath, 0,
                              KEY_SET_VALUE | KEY_CREATE_SUB_KEY, &key);
  if (result == ERROR_SUCCESS) {
    unsigned char level[4];
    WriteLE32(level, static_cast<uint32_t>(target.packagePatchLevel));
    result = RegSetValueExA(key, target.patchValueName, 0, REG_DWORD, level, sizeof level);
    RegCloseKey(key);
  }
  if (result != ERROR_SUCCESS) {
    LogError("Patch level not written:", target.patchValueName, static_cast<DWORD>(result));
    return 0;
  }
  LogFormat("Patch level written: %s = %ld", target.patchValueName,
            static_cast<long>(target.packagePatchLevel));
  return 1;
}

// Steps 3 to 8 of the run, once the user has agreed: the translation table, folders, removals,
// every file entry through the phases of update/transaction_win32.h, then the completion message
// and the registry write when no file failed. The run's exit code.
int InstallPackage(const PackageView& view, TargetInfo& target) {
  // The table as extracted (validated at open: it ends with an empty string inside its size),
  // or an empty table.
  static const char kEmptyTable[1] = {'\0'};
  const int tableIndex = FindEntry(view, kXlatNamesSection);
  unsigned char* tablePayload = tableIndex >= 0 ? ExtractToBuffer(view, tableIndex) : nullptr;
  if (tableIndex >= 0 && !tablePayload) {
    LogText("Out of memory for the name table: nothing installed");
    return exit_codes::kFilesFailed;  // installing under wrong names would be worse
  }
  const char* table = tablePayload ? reinterpret_cast<const char*>(tablePayload) : kEmptyTable;

  // A folder above the program folder renamed and replaced by a link since discovery: the
  // registry's path leads elsewhere, and nothing is done in either place.
  if (!ProgramFolderStillFound(target.programFolder, target.folders)) {
    LogText("The program folder's path leads elsewhere since it was found: nothing is changed");
    target.folders.lost = 1;
  }
  const int allOrNothing = FindEntry(view, kTransactionSection) >= 0;
  // File by file, the lists come first and their failures do not stop the files (a file kept
  // only as the base of others is removed after them); all or nothing, the removals are checked
  // with the files and the folders made with the stage. A folder or removal refused by the link
  // check counts as a failed file: no new level.
  int anyFileFailed = 0;
  if (!allOrNothing) {
    anyFileFailed = !WalkList(view, kFoldersSection, target, CreateListedFolder);
    anyFileFailed |= !WalkList(view, kFilesToRemoveSection, target, RemoveListedFile);
  }

  Update update;
  int code = exit_codes::kFilesFailed;
  int go = CheckUpdate(view, target, table, allOrNothing, update, code);
  // (Were there no memory for the list now, its walk before would have counted that already.)
  if (go && !allOrNothing)
    ForEachSectionPath(view, kFilesToRemoveSection, target, AddKeptRemoval, &update);
  if (go && allOrNothing) {
    if (!ForEachSectionPath(view, kFilesToRemoveSection, target, AddRemoval, &update))
      update.removals = 0;
    if (update.removals < 0) code = exit_codes::kFileInUse;
    go = update.removals == 1 && WalkList(view, kFoldersSection, target, CreateListedFolder);
  }
  int complete = go && ApplyUpdate(update, code) && !update.anyFailed && !anyFileFailed;
  if (complete) {
    ShowStatus(texts::kUpdateInstalledText);
    complete = WritePatchLevel(target);
  }
  // Only now, with the new level recorded, do the backups go.
  EndUpdate(update);
  std::free(tablePayload);
  return complete ? exit_codes::kSuccess : code;
}

}  // namespace

int RunUpdate(const PackageView& view, TargetInfo& target) {
  // A run that did not end left the folder between two releases: it is one release again before
  // anything is asked (discovery may have found the program only by its backup).
  RecoverUpdate(target);
  int code;
  if (!AskStartupQuestion(view)) {
    code = exit_codes::kDeclined;
  } else if (!CheckPatchLevel(target)) {
    code = exit_codes::kLevelNotOlder;
  } else {
    code = InstallPackage(view, target);
  }
  if (code == exit_codes::kDeclined || code == exit_codes::kLevelNotOlder) waitForUser = 0;
  return code;
}
