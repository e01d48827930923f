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
using GetInfoFunction = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
FinalPathFunction finalPathByHandle = nullptr;
SetInfoFunction setInfoByHandle = nullptr;
GetInfoFunction getInfoByHandle = nullptr;

void LoadFunctions() {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (!kernel) return;
  // Through void*: FARPROC's own type has no parameters, and a cast between function types draws
  // a warning.
  finalPathByHandle = reinterpret_cast<FinalPathFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "GetFinalPathNameByHandleA")));
  setInfoByHandle = reinterpret_cast<SetInfoFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetFileInformationByHandle")));
  getInfoByHandle = reinterpret_cast<GetInfoFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "GetFileInformationByHandleEx")));
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

// The entry's attributes. GetFileInformationByHandleEx asks for them alone;
// GetFileInformationByHandle also asks for the volume's serial number, which under Wine costs
// most of a millisecond, once per entry checked.
int Attributes(HANDLE entry, DWORD& attributes) {
  if (getInfoByHandle) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!getInfoByHandle(entry, FileAttributeTagInfo, &tag, sizeof tag)) return 0;
    attributes = tag.FileAttributes;
    return 1;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(entry, &info)) return 0;
  attributes = info.dwFileAttributes;
  return 1;
}

// The entry's final path into final (kFinalPathSize bytes); 0 when it cannot be told.
int FinalPath(HANDLE entry, char (&final)[kFinalPathSize]) {
  const DWORD length = finalPathByHandle(entry, final, sizeof final, 0);
  return length > 0 && length < sizeof final;
}

// 1 when the opened entry is no reparse point and, where the system tells final paths, its final
// path lies in the held folder's. Under Wine, where a Unix symbolic link stands in for a
// junction, a handle opened with FILE_FLAG_OPEN_REPARSE_POINT still follows the link and shows no
// reparse attribute; its final path is the link's target, which the second test catches.
int EntryIsInside(HANDLE entry, const HeldFolder& held) {
  DWORD attributes;
  if (!Attributes(entry, attributes) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return 0;
  if (!held.finalPath) return 1;
  char final[kFinalPathSize];
  return FinalPath(entry, final) && PathIsInside(held.finalPath, final);
}

// 1 when folder is the folder held: the same final path, which changes when the folder or one
// of its parents is renamed; where the system gives no final paths, the same volume and index.
int SameFolder(HANDLE folder, const HeldFolder& held) {
  if (held.finalPath) {
    char final[kFinalPathSize];
    return FinalPath(folder, final) && PathIsInside(held.finalPath, final) &&
           std::strlen(final) == std::strlen(held.finalPath);
  }
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
    if (FinalPath(folder, final)) held.finalPath = static_cast<char*>(std::malloc(sizeof final));
    if (!held.finalPath) {
      ReleaseHeldFolder(held);
      return 0;
    }
    std::memcpy(held.finalPath, final, std::strlen(final) + 1);
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

namespace {

// The registry's path must still lead to the folder held: one of its parents renamed and replaced
// by a link since discovery leads elsewhere. Opened as discovery opened it, following the links
// the registry's path itself takes; pinned like the folders below it.
int RootIsHeld(const TargetInfo& target, PathPins& pins) {
  const HANDLE root = OpenFolder(target.programFolder);
  if (root == INVALID_HANDLE_VALUE) return 0;
  const int same = SameFolder(root, target.folder);
  return pins.Add(root) && same;
}

}  // namespace

int CheckPath(const TargetInfo& target, const char* path, PathPins& pins) {
  const HeldFolder& held = target.folder;
  const char* programFolder = target.programFolder;
  if (!held.handle || !programFolder) return 0;
  const size_t folderLength = std::strlen(programFolder);
  const size_t pathLength = std::strlen(path);
  if (pathLength >= kPathBufferSize || std::strncmp(path, programFolder, folderLength) != 0)
    return 0;

  char prefix[kPathBufferSize];
  std::memcpy(prefix, path, pathLength + 1);
  size_t at = folderLength;
  bool found = false;  // a component was found, inside the folder held
  // Windows reads '/' as a separator too, so each side of it is a component to check.
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  while (at < pathLength) {
    if (separator(prefix[at])) {  // a leading or doubled separator: no component
      ++at;
      continue;
    }
    size_t end = at;
    while (end < pathLength && !separator(path[end])) ++end;
    size_t next = end;
    while (next < pathLength && separator(path[next])) ++next;
    const bool last = next == pathLength;
    prefix[end] = '\0';
    // The last component is left open to deletion: the caller renames or deletes it next.
    const HANDLE entry =
        OpenEntry(prefix, FILE_SHARE_READ | FILE_SHARE_WRITE | (last ? FILE_SHARE_DELETE : 0));
    if (entry == INVALID_HANDLE_VALUE) {
      if (!IsMissing(GetLastError())) return 0;
      // Nothing below exists. A component found above it, inside the folder held, shows where
      // the name leads; with none found, the registry's path itself must be checked.
      return found ? 1 : RootIsHeld(target, pins);
    }
    const int inside = EntryIsInside(entry, held);
    if (last) {
      CloseHandle(entry);
    } else if (!pins.Add(entry)) {
      return 0;
    }
    if (!inside) return 0;
    found = true;
    prefix[end] = path[end];
    at = next;
  }
  // Every component exists and lies in the folder held (or there is none: the folder itself).
  return found ? 1 : RootIsHeld(target, pins);
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
  DWORD attributes;
  if (!EntryIsInside(entry.Get(), target.folder) || !Attributes(entry.Get(), attributes) ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
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
