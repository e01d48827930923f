#include "update/confine_win32.h"

#include <cstdlib>
#include <cstring>

#include "package/handles_win32.h"
#include "update/paths.h"

namespace {

// Final paths of a 511-character path, with "\\?\UNC\" in front, fit with room to spare.
constexpr DWORD kFinalPathSize = 1024;

// Loaded from KERNEL32 at run time, with a fallback where one is missing (systems before Vista
// have neither), so that the updater still starts there. Set by HoldProgramFolder, on the worker
// thread, before any check.
using FinalPathFunction = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);
using SetInfoFunction = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
FinalPathFunction finalPathByHandle = nullptr;
SetInfoFunction setInfoByHandle = nullptr;

void LoadFunctions() {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (!kernel) return;
  // Through void*: FARPROC's own type has no parameters, and a cast between function types draws
  // a warning.
  finalPathByHandle = reinterpret_cast<FinalPathFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "GetFinalPathNameByHandleA")));
  setInfoByHandle = reinterpret_cast<SetInfoFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetFileInformationByHandle")));
}

// Opens the entry at path itself, never what a link there points to, for its attributes only
// (which no sharing mode of another opener refuses). Without delete sharing, a folder opened so
// cannot be renamed or deleted while the handle lives.
HANDLE OpenEntry(const char* path, DWORD share) {
  return CreateFileA(path, FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Opens the folder at path, following links, for its attributes only, without delete sharing.
HANDLE OpenFolder(const char* path) {
  return CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// 1 when the opened entry is no reparse point and, where the system tells final paths, its final
// path lies in the held folder's. Under Wine, where a Unix symbolic link stands in for a
// junction, a handle opened with FILE_FLAG_OPEN_REPARSE_POINT still follows the link and shows no
// reparse attribute; its final path is the link's target, which the second test catches.
int EntryIsInside(HANDLE entry, const HeldFolder& held) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(entry, &info)) return 0;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return 0;
  if (!held.finalPath) return 1;
  char final[kFinalPathSize];
  const DWORD length = finalPathByHandle(entry, final, sizeof final, 0);
  return length > 0 && length < sizeof final && PathIsInside(held.finalPath, final);
}

int SameFolder(HANDLE folder, const HeldFolder& held) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(folder, &info) && info.dwVolumeSerialNumber == held.volume &&
         info.nFileIndexHigh == held.indexHigh && info.nFileIndexLow == held.indexLow;
}

bool IsMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

int HoldProgramFolder(const char* programFolder, HeldFolder& held) {
  held = HeldFolder{};
  LoadFunctions();
  // The registry's path may itself pass through links (a program folder on another volume):
  // followed, and the folder reached is the one held.
  const HANDLE folder = OpenFolder(programFolder);
  if (folder == INVALID_HANDLE_VALUE) return 0;
  held.handle = folder;  // from here on ReleaseHeldFolder closes it
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(folder, &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ReleaseHeldFolder(held);
    return 0;
  }
  if (finalPathByHandle) {
    char final[kFinalPathSize];
    const DWORD length = finalPathByHandle(folder, final, sizeof final, 0);
    if (length > 0 && length < sizeof final)
      held.finalPath = static_cast<char*>(std::malloc(length + 1));
    if (!held.finalPath) {
      ReleaseHeldFolder(held);
      return 0;
    }
    std::memcpy(held.finalPath, final, length + 1);
  }
  held.volume = info.dwVolumeSerialNumber;
  held.indexHigh = info.nFileIndexHigh;
  held.indexLow = info.nFileIndexLow;
  return 1;
}

void ReleaseHeldFolder(HeldFolder& held) {
  if (held.handle) CloseHandle(held.handle);
  std::free(held.finalPath);
  held = HeldFolder{};
}

int CheckPath(const TargetInfo& target, const char* path, PathPins& pins) {
  const HeldFolder& held = target.folder;
  const char* programFolder = target.programFolder;
  if (!held.handle || !programFolder) return 0;
  const size_t folderLength = std::strlen(programFolder);
  const size_t pathLength = std::strlen(path);
  if (pathLength >= kPathBufferSize || std::strncmp(path, programFolder, folderLength) != 0)
    return 0;
  // The registry's path must still lead to the folder held: one of its parents renamed and
  // replaced by a link since discovery leads elsewhere. Opened as discovery opened it, following
  // the links the registry's path itself takes; pinned like the folders below it.
  HANDLE root = OpenFolder(programFolder);
  if (root == INVALID_HANDLE_VALUE) return 0;
  const int same = SameFolder(root, held);
  if (!pins.Add(root) || !same) return 0;

  char prefix[kPathBufferSize];
  std::memcpy(prefix, path, pathLength + 1);
  size_t at = folderLength;
  while (at < pathLength) {
    if (prefix[at] == '\\') {  // a leading or doubled backslash: no component
      ++at;
      continue;
    }
    size_t end = at;
    while (end < pathLength && path[end] != '\\') ++end;
    size_t next = end;
    while (next < pathLength && path[next] == '\\') ++next;
    const bool last = next == pathLength;
    prefix[end] = '\0';
    // The last component is left open to deletion: the caller renames or deletes it next.
    const HANDLE entry =
        OpenEntry(prefix, FILE_SHARE_READ | FILE_SHARE_WRITE | (last ? FILE_SHARE_DELETE : 0));
    if (entry == INVALID_HANDLE_VALUE) return IsMissing(GetLastError());
    const int inside = EntryIsInside(entry, held);
    if (last) {
      CloseHandle(entry);
    } else if (!pins.Add(entry)) {
      return 0;
    }
    if (!inside) return 0;
    prefix[end] = path[end];
    at = next;
  }
  return 1;
}

EntryState CheckEntry(const TargetInfo& target, const char* path) {
  OwnedHandle entry(OpenEntry(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
  if (!entry.Valid()) return IsMissing(GetLastError()) ? kEntryAbsent : kEntryRefused;
  return EntryIsInside(entry.Get(), target.folder) ? kEntryPresent : kEntryRefused;
}

int DeleteChecked(const TargetInfo& target, const char* path) {
  OwnedHandle entry(CreateFileA(
      path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!entry.Valid()) return 0;
  BY_HANDLE_FILE_INFORMATION info;
  if (!EntryIsInside(entry.Get(), target.folder) ||
      !GetFileInformationByHandle(entry.Get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  if (!setInfoByHandle) {
    // Without it, by name: DeleteFileA deletes a link put there since, never what it points to.
    entry.Close();
    return DeleteFileA(path);
  }
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return setInfoByHandle(entry.Get(), FileDispositionInfo, &disposition, sizeof disposition);
}

int ClearOwnAttributes(const char* path) {
  OwnedHandle file(CreateFileA(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.Valid() || !GetFileInformationByHandle(file.Get(), &info)) return 0;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) return 0;
  // Another link's name shares these attributes: changing them changes a file elsewhere.
  if (info.nNumberOfLinks != 1) return 0;
  if (!setInfoByHandle) {
    // Before Vista: by name, on the file just checked (a race with a link put in its place
    // remains there).
    file.Close();
    return SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  }
  FILE_BASIC_INFO basic{};  // zero times: left as they are
  basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return setInfoByHandle(file.Get(), FileBasicInfo, &basic, sizeof basic);
}
