#include "update/checked_fs_win32.h"

#include <cstdlib>
#include <cstring>

#include "update/paths.h"

extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);  // RtlGenRandom

namespace {

// The NT interface the run uses, as ntdll has exported it since Windows NT: relative opens and
// renames are what the Win32 file functions do not offer.
struct NtName {
  USHORT length;  // bytes
  USHORT maximumLength;
  wchar_t* buffer;
};
struct NtObjectAttributes {
  ULONG length;
  HANDLE rootDirectory;
  NtName* objectName;
  ULONG attributes;
  void* securityDescriptor;
  void* securityQualityOfService;
};
struct NtIoStatus {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};
struct NtRenameInformation {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  ULONG fileNameLength;  // bytes
  wchar_t fileName[kPathBufferSize];
};
struct NtAttributeTagInformation {
  ULONG fileAttributes;
  ULONG reparseTag;
};
struct NtBasicInformation {
  LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime;
  ULONG fileAttributes;
};
struct NtStandardInformation {
  LARGE_INTEGER allocationSize, endOfFile;
  ULONG numberOfLinks;
  BOOLEAN deletePending, directory;
};

using NtCreateFileFunction = LONG(WINAPI*)(HANDLE*, ACCESS_MASK, NtObjectAttributes*, NtIoStatus*,
                                           LARGE_INTEGER*, ULONG, ULONG, ULONG, ULONG, void*,
                                           ULONG);
using NtFileInformationFunction = LONG(WINAPI*)(HANDLE, NtIoStatus*, void*, ULONG, ULONG);
using NtVolumeInformationFunction = LONG(WINAPI*)(HANDLE, NtIoStatus*, void*, ULONG, ULONG);
using NtQueryObjectFunction = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
using NtStatusToErrorFunction = ULONG(WINAPI*)(LONG);

NtCreateFileFunction ntCreateFile;
NtFileInformationFunction ntQueryInformationFile;
NtFileInformationFunction ntSetInformationFile;
NtQueryObjectFunction ntQueryObject;
NtVolumeInformationFunction ntQueryVolumeInformationFile;
NtStatusToErrorFunction ntStatusToError;

constexpr ULONG kObjCaseInsensitive = 0x40;
constexpr ULONG kFileOpen = 1, kFileCreate = 2, kFileOpenIf = 3;
constexpr ULONG kFileOpened = 1;  // NtIoStatus information of a create that opened
constexpr ULONG kDirectoryFile = 0x1, kSynchronousIo = 0x20, kNonDirectoryFile = 0x40,
                kOpenForBackup = 0x4000, kOpenReparsePoint = 0x200000;
constexpr ULONG kInternalInformation = 6, kRenameInformation = 10, kDispositionInformation = 13,
                kStandardInformation = 5, kBasicInformation = 4, kAttributeTagInformation = 35;
constexpr ULONG kObjectNameInformation = 1;
constexpr ULONG kFsFullSizeInformation = 7;
constexpr LONG kStatusObjectNameNotFound = static_cast<LONG>(0xC0000034),
               kStatusObjectPathNotFound = static_cast<LONG>(0xC000003A),
               kStatusObjectNameCollision = static_cast<LONG>(0xC0000035),
               kStatusNotADirectory = static_cast<LONG>(0xC0000103),
               kStatusFileIsADirectory = static_cast<LONG>(0xC00000BA);

// A folder handle's access: enough to open names below it and to tell what it is.
constexpr ACCESS_MASK kFolderAccess =
    FILE_TRAVERSE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

template <typename Function>
void Load(HMODULE module, const char* name, Function& function) {
  // Through void*: FARPROC's own type has no parameters, and a cast between function types draws
  // a warning.
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

int LoadNt() {
  if (ntCreateFile) return 1;
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (!ntdll) return 0;
  Load(ntdll, "NtQueryInformationFile", ntQueryInformationFile);
  Load(ntdll, "NtSetInformationFile", ntSetInformationFile);
  Load(ntdll, "NtQueryObject", ntQueryObject);
  Load(ntdll, "RtlNtStatusToDosError", ntStatusToError);
  Load(ntdll, "NtQueryVolumeInformationFile", ntQueryVolumeInformationFile);
  if (!ntQueryInformationFile || !ntSetInformationFile || !ntQueryObject || !ntStatusToError ||
      !ntQueryVolumeInformationFile)
    return 0;
  Load(ntdll, "NtCreateFile", ntCreateFile);
  return ntCreateFile != nullptr;
}

// 1 when status is success; otherwise 0 with the matching Win32 error as the last error.
int Succeeded(LONG status) {
  if (status >= 0) return 1;
  SetLastError(ntStatusToError(status));
  return 0;
}

// One component (length bytes of the ANSI code page, as CreateFileA reads names) as UTF-16 into
// out (kPathBufferSize characters). Its length in characters, or 0.
int WideName(const char* name, size_t length, wchar_t* out) {
  if (length == 0 || length >= kPathBufferSize) return 0;
  return MultiByteToWideChar(CP_ACP, 0, name, static_cast<int>(length), out,
                             static_cast<int>(kPathBufferSize));
}

// NtCreateFile of the component name (length bytes) relative to folder. The status; handle set
// on success.
LONG OpenRelative(HANDLE folder, const char* name, size_t length, ACCESS_MASK access, ULONG share,
                  ULONG disposition, ULONG options, HANDLE& handle, ULONG_PTR* information) {
  wchar_t wide[kPathBufferSize];
  const int characters = WideName(name, length, wide);
  if (characters == 0) return static_cast<LONG>(0xC0000033);  // STATUS_OBJECT_NAME_INVALID
  NtName ntName{static_cast<USHORT>(characters * 2), static_cast<USHORT>(characters * 2), wide};
  NtObjectAttributes attributes{sizeof attributes,   folder,  &ntName,
                                kObjCaseInsensitive, nullptr, nullptr};
  NtIoStatus io{};
  handle = nullptr;
  const LONG status =
      ntCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                   share, disposition, options | kSynchronousIo | kOpenReparsePoint, nullptr, 0);
  if (information) *information = io.information;
  if (status < 0) handle = nullptr;
  return status;
}

// The handle's name as the system gives it ("\??\C:\Prog\a.dll" under Wine,
// "\Device\HarddiskVolume2\Prog\a.dll" on Windows): malloc'd into name, length in characters.
// Wine follows a Unix link that stands in for a junction even when told not to, and names the
// handle by where it leads; Windows names it as opened.
int QueryName(HANDLE handle, wchar_t*& name, uint32_t& length) {
  // UNICODE_STRING and the name after it; names reach 32,767 characters.
  constexpr ULONG kSize = 2 * sizeof(void*) + 65536;
  unsigned char* buffer = static_cast<unsigned char*>(std::malloc(kSize));
  if (!buffer) return 0;
  ULONG returned = 0;
  const LONG status = ntQueryObject(handle, kObjectNameInformation, buffer, kSize, &returned);
  const NtName* ntName = reinterpret_cast<const NtName*>(buffer);
  int ok = 0;
  if (Succeeded(status)) {
    length = ntName->length / 2;
    name = static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t)));
    if (name) {
      std::memcpy(name, ntName->buffer, length * sizeof(wchar_t));
      name[length] = L'\0';
      ok = 1;
    }
  }
  std::free(buffer);
  return ok;
}

// 1 when the opened handle is the entry itself in folder: no reparse point, and named directly
// in the folder; where it is a folder, its name goes to name (malloc'd). 0 with the last error
// kErrorLeavesFolder otherwise, or the query's error.
int CheckOpened(HANDLE handle, const CheckedFolder& folder, wchar_t** name, uint32_t* nameLength) {
  NtIoStatus io{};
  NtAttributeTagInformation tag{};
  if (!Succeeded(ntQueryInformationFile(handle, &io, &tag, sizeof tag, kAttributeTagInformation)))
    return 0;
  if (tag.fileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    SetLastError(kErrorLeavesFolder);
    return 0;
  }
  wchar_t* own = nullptr;
  uint32_t ownLength = 0;
  if (!QueryName(handle, own, ownLength)) return 0;
  const int inside = NameDirectlyInside(folder.name, folder.nameLength, own, ownLength);
  if (inside && name) {
    *name = own;
    *nameLength = ownLength;
  } else {
    std::free(own);
  }
  if (!inside) SetLastError(kErrorLeavesFolder);
  return inside;
}

// Adds a folder to tree, taking handle and name (both released on failure). Its index, or -1.
int AddFolder(FolderTree& tree, HANDLE handle, const char* relative, size_t relativeLength,
              wchar_t* name, uint32_t nameLength, int created = 0) {
  char* copy = static_cast<char*>(std::malloc(relativeLength + 1));
  if (copy && tree.count == tree.capacity) {
    const int capacity = tree.capacity ? tree.capacity * 2 : 8;
    auto* grown = static_cast<CheckedFolder*>(
        std::realloc(tree.folders, static_cast<size_t>(capacity) * sizeof(CheckedFolder)));
    if (grown) {
      tree.folders = grown;
      tree.capacity = capacity;
    }
  }
  if (!copy || tree.count == tree.capacity) {
    std::free(copy);
    CloseHandle(handle);
    std::free(name);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  std::memcpy(copy, relative, relativeLength);
  copy[relativeLength] = '\0';
  tree.folders[tree.count] = CheckedFolder{handle, copy, name, nameLength, created};
  return tree.count++;
}

// 1 when the held folder's relative path is relative's first length bytes, ASCII letters folded
// as the names of packages compare.
int SameRelative(const char* held, const char* relative, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (held[i] == '\0' || FoldAscii(held[i]) != FoldAscii(relative[i])) return 0;
  }
  return held[length] == '\0';
}

// The index of the folder at relative's first length bytes in tree, or -1.
int Lookup(const FolderTree& tree, const char* relative, size_t length) {
  if (tree.last < tree.count && SameRelative(tree.folders[tree.last].relative, relative, length))
    return tree.last;
  for (int i = 0; i < tree.count; ++i)
    if (SameRelative(tree.folders[i].relative, relative, length)) return i;
  return -1;
}

// Opens (or, with create, makes) the folder name (nameLength bytes, one component) in parent.
// 1 with handle, its name and created set; 0 with the last error set.
int OpenChildFolder(const CheckedFolder& parent, const char* name, size_t nameLength, int create,
                    HANDLE& handle, wchar_t*& own, uint32_t& ownLength, int& created) {
  ULONG_PTR information = 0;
  // Without delete sharing: while the run holds it, nobody can open the folder to rename or
  // delete it. Writing is shared: a rename into the folder opens it for FILE_WRITE_DATA (to add
  // the name), and refusing that would refuse the run's own renames. A folder becomes a mount
  // point only while empty, and the run holds the file it works on in it without delete sharing.
  // One that may be made now is opened for deletion too, which a rollback of what the run made
  // needs; the run is elevated, so that asking for it refuses no folder it could write to.
  const LONG status = OpenRelative(
      static_cast<HANDLE>(parent.handle), name, nameLength, kFolderAccess | (create ? DELETE : 0),
      FILE_SHARE_READ | FILE_SHARE_WRITE, create ? kFileOpenIf : kFileOpen,
      kDirectoryFile | kOpenForBackup, handle, &information);
  if (status == kStatusNotADirectory) {
    SetLastError(kErrorLeavesFolder);  // a file where a folder belongs
    return 0;
  }
  if (status == kStatusObjectNameNotFound || status == kStatusObjectPathNotFound) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  if (!Succeeded(status)) return 0;
  created = information != kFileOpened;
  if (CheckOpened(handle, parent, &own, &ownLength)) return 1;
  const DWORD error = GetLastError();
  CloseHandle(handle);
  SetLastError(error);
  return 0;
}

void FreeFolder(CheckedFolder& folder) {
  if (folder.handle) CloseHandle(static_cast<HANDLE>(folder.handle));
  std::free(folder.relative);
  std::free(folder.name);
}

}  // namespace

int HoldFolderByName(const char* path, FolderTree& tree) {
  tree = FolderTree{};
  if (!LoadNt()) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return 0;
  }
  OwnedHandle opened(CreateFileA(path, kFolderAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  wchar_t* name = nullptr;
  uint32_t nameLength = 0;
  if (!opened.Valid() || !QueryName(opened.Get(), name, nameLength)) return 0;
  return AddFolder(tree, opened.Release(), "", 0, name, nameLength) == 0;
}

int HoldProgramFolder(const char* programFolder, FolderTree& tree) {
  tree = FolderTree{};
  // The folder above it, by its name (the registry's path may pass through links on the way),
  // and the program folder's own name in it.
  char above[kFolderBufferSize];
  size_t length = std::strlen(programFolder);
  if (length == 0 || length >= sizeof above) {
    SetLastError(ERROR_BAD_PATHNAME);
    return 0;
  }
  std::memcpy(above, programFolder, length + 1);
  while (length > 0 && (above[length - 1] == '\\' || above[length - 1] == '/')) --length;
  size_t split = length;
  while (split > 0 && above[split - 1] != '\\' && above[split - 1] != '/') --split;
  char leaf[kPathBufferSize];
  above[length] = '\0';
  const int hasLeaf = CanonicalName(above + split, leaf, sizeof leaf) > 0;
  above[split] = '\0';
  // A drive's or a share's root ("C:\", "\\server\share\") has no folder above it: it is
  // held as the registry names it.
  if (!hasLeaf || split == 0 || !IsAbsoluteFolderPath(above))
    return HoldFolderByName(programFolder, tree);
  FolderTree parent;
  if (!HoldFolderByName(above, parent)) return 0;
  // The program folder itself, relative to the folder above: never a link.
  HANDLE handle;
  wchar_t* name = nullptr;
  uint32_t nameLength = 0;
  int created = 0;
  const int held = OpenChildFolder(parent.folders[0], leaf, std::strlen(leaf), 0, handle, name,
                                   nameLength, created);
  const DWORD error = GetLastError();
  ReleaseFolders(parent);
  SetLastError(error);
  return held && AddFolder(tree, handle, "", 0, name, nameLength) == 0;
}

void RemoveCreatedFolders(FolderTree& tree) {
  // The innermost first: a folder is added to the tree after the folder that holds it.
  for (int i = tree.count - 1; i > 0; --i) {
    CheckedFolder& folder = tree.folders[i];
    if (!folder.created) continue;
    DeleteOpenFile(static_cast<HANDLE>(folder.handle));  // refused while it holds anything
    CloseHandle(static_cast<HANDLE>(folder.handle));
    folder.handle = nullptr;
  }
  tree.lost = 1;
}

int FreeSpace(const FolderTree& tree, uint64_t& bytes, uint32_t& cluster) {
  struct {
    LARGE_INTEGER total, callerAvailable, actualAvailable;
    ULONG sectorsPerUnit, bytesPerSector;
  } size{};
  NtIoStatus io{};
  if (tree.count == 0 ||
      !Succeeded(ntQueryVolumeInformationFile(static_cast<HANDLE>(tree.folders[0].handle), &io,
                                              &size, sizeof size, kFsFullSizeInformation)))
    return 0;
  cluster = size.sectorsPerUnit * size.bytesPerSector;
  bytes = static_cast<uint64_t>(size.callerAvailable.QuadPart) * cluster;
  return 1;
}

void ReleaseFolders(FolderTree& tree) {
  for (int i = 0; i < tree.count; ++i) FreeFolder(tree.folders[i]);
  std::free(tree.folders);
  tree = FolderTree{};
}

int ProgramFolderStillFound(const char* programFolder, const FolderTree& tree) {
  if (tree.count == 0) return 0;
  OwnedHandle now(CreateFileA(programFolder, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION held, found;
  return now.Valid() &&
         GetFileInformationByHandle(static_cast<HANDLE>(tree.folders[0].handle), &held) &&
         GetFileInformationByHandle(now.Get(), &found) &&
         held.dwVolumeSerialNumber == found.dwVolumeSerialNumber &&
         held.nFileIndexHigh == found.nFileIndexHigh && held.nFileIndexLow == found.nFileIndexLow;
}

int FindFolder(FolderTree& tree, const char* relative, FolderMode mode, int* created) {
  if (created) *created = 0;
  if (tree.count == 0 || tree.lost) {
    SetLastError(kErrorLeavesFolder);
    return -1;
  }
  const size_t length = std::strlen(relative);
  int index = Lookup(tree, relative, length);
  if (index >= 0) {
    tree.last = index;
    return index;
  }
  // The longest part already held, then each folder below it in turn.
  size_t at = 0;
  int parent = 0;
  while (at < length) {
    size_t end = at;
    while (end < length && relative[end] != '\\') ++end;
    index = Lookup(tree, relative, end);
    if (index < 0) {
      const bool last = end == length;
      const int create = mode == kFolderCreateAll || (mode == kFolderCreateLast && last);
      HANDLE handle;
      wchar_t* name = nullptr;
      uint32_t nameLength = 0;
      int made = 0;
      if (!OpenChildFolder(tree.folders[parent], relative + at, end - at, create, handle, name,
                           nameLength, made))
        return -1;
      index = AddFolder(tree, handle, relative, end, name, nameLength, made);
      if (index < 0) return -1;
      if (last && created) *created = made;
    }
    parent = index;
    at = end + 1;
  }
  tree.last = parent;
  return parent;
}

int FindName(FolderTree& tree, const char* name, FolderMode mode, NameInFolder& found) {
  char folder[kPathBufferSize];
  if (CanonicalName(name, found.name, sizeof found.name) < 0 ||
      !JoinPath(folder, sizeof folder, found.name, "") ||
      !FolderAndLeaf(folder, found.leaf, sizeof found.leaf) ||
      !BackupPath(found.backupLeaf, sizeof found.backupLeaf, found.leaf)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  found.folder = FindFolder(tree, folder, mode, nullptr);
  return found.folder >= 0;
}

EntryState OpenInFolder(const FolderTree& tree, int folder, const char* leaf, DWORD access,
                        DWORD share, OwnedHandle& file) {
  file.Close();
  HANDLE handle;
  const LONG status =
      OpenRelative(static_cast<HANDLE>(tree.folders[folder].handle), leaf, std::strlen(leaf),
                   access, share, kFileOpen, kNonDirectoryFile, handle, nullptr);
  if (status == kStatusObjectNameNotFound || status == kStatusObjectPathNotFound) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return kEntryAbsent;
  }
  if (status == kStatusFileIsADirectory) {
    // A folder under a file's name is refused as DeleteFileA refuses one; a link to a folder
    // elsewhere leads out.
    if (Succeeded(OpenRelative(static_cast<HANDLE>(tree.folders[folder].handle), leaf,
                               std::strlen(leaf), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kFileOpen,
                               kOpenForBackup, handle, nullptr))) {
      const OwnedHandle opened(handle);
      if (CheckOpened(handle, tree.folders[folder], nullptr, nullptr))
        SetLastError(ERROR_ACCESS_DENIED);
    }
    return kEntryRefused;
  }
  if (!Succeeded(status)) return kEntryRefused;
  OwnedHandle opened(handle);
  if (!CheckOpened(handle, tree.folders[folder], nullptr, nullptr)) return kEntryRefused;
  file = static_cast<OwnedHandle&&>(opened);
  return kEntryPresent;
}

int OpenOrCreateInFolder(const FolderTree& tree, int folder, const char* leaf, DWORD access,
                         DWORD share, OwnedHandle& file, int& created) {
  file.Close();
  HANDLE handle;
  ULONG_PTR information = 0;
  if (!Succeeded(OpenRelative(static_cast<HANDLE>(tree.folders[folder].handle), leaf,
                              std::strlen(leaf), access, share, kFileOpenIf, kNonDirectoryFile,
                              handle, &information)))
    return 0;
  OwnedHandle opened(handle);
  created = information != kFileOpened;
  if (!created && !CheckOpened(handle, tree.folders[folder], nullptr, nullptr)) return 0;
  file = static_cast<OwnedHandle&&>(opened);
  return 1;
}

int CreateInFolder(const FolderTree& tree, int folder, const char* leaf, OwnedHandle& file) {
  file.Close();
  HANDLE handle;
  // A name that exists, a link included, fails: nothing is ever followed or overwritten.
  if (!Succeeded(OpenRelative(static_cast<HANDLE>(tree.folders[folder].handle), leaf,
                              std::strlen(leaf), GENERIC_READ | GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ, kFileCreate, kNonDirectoryFile, handle, nullptr)))
    return 0;
  file = OwnedHandle(handle);
  return 1;
}

int RenameInFolder(HANDLE file, const FolderTree& tree, int folder, const char* leaf) {
  NtRenameInformation rename{};
  rename.rootDirectory = static_cast<HANDLE>(tree.folders[folder].handle);
  const int characters = WideName(leaf, std::strlen(leaf), rename.fileName);
  if (characters == 0) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  rename.fileNameLength = static_cast<ULONG>(characters) * 2;
  NtIoStatus io{};
  // The whole record: the system reads the name by its length, and refuses a record shorter
  // than its own declaration of the structure (which a one-character name would give).
  return Succeeded(ntSetInformationFile(file, &io, &rename, sizeof rename, kRenameInformation));
}

int DeleteOpenFile(HANDLE file) {
  BOOLEAN disposition = TRUE;
  NtIoStatus io{};
  return Succeeded(
      ntSetInformationFile(file, &io, &disposition, sizeof disposition, kDispositionInformation));
}

int DeleteOwnFile(HANDLE file) {
  if (DeleteOpenFile(file)) return 1;
  NtIoStatus io{};
  NtStandardInformation standard{};
  if (!Succeeded(
          ntQueryInformationFile(file, &io, &standard, sizeof standard, kStandardInformation)))
    return 0;
  // Another link's name shares these attributes: changing them changes a file elsewhere.
  if (standard.numberOfLinks != 1) return 0;
  NtBasicInformation basic{};  // zero times: left as they are
  basic.fileAttributes = FILE_ATTRIBUTE_NORMAL;
  return Succeeded(ntSetInformationFile(file, &io, &basic, sizeof basic, kBasicInformation)) &&
         DeleteOpenFile(file);
}

int FileIdentity(HANDLE file, uint64_t& id) {
  NtIoStatus io{};
  LARGE_INTEGER index{};
  if (!Succeeded(ntQueryInformationFile(file, &io, &index, sizeof index, kInternalInformation)))
    return 0;
  // 0 is no identity: a file system that tells none must not make every file match a record.
  id = static_cast<uint64_t>(index.QuadPart);
  return id != 0;
}

int UniqueName(const char* stem, char (&out)[kPathBufferSize]) {
  // A random number once per run, counted on for each name: no two names of a run are alike, no
  // other run's are, and a name costs no call for randomness (an update of many files asks for
  // one name each).
  static uint64_t next;
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  if (!next && !SystemFunction036(&next, sizeof next)) return 0;
  const uint64_t number = next++;
  char suffix[18] = {'.'};
  for (int i = 0; i < 16; ++i) suffix[1 + i] = "0123456789abcdef"[(number >> (60 - 4 * i)) & 15];
  return JoinPath(out, sizeof out, stem, suffix);
}
