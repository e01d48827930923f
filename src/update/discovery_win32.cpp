// Target discovery: :RegistryKeys, the registry values under HKEY_LOCAL_MACHINE and the
// existence test of the program file.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "package/format.h"
#include "package/sections.h"
#include "shell/texts.h"
#include "shell/worker.h"
#include "update/checked_fs_win32.h"
#include "update/journal_win32.h"
#include "update/paths.h"
#include "update/registry_win32.h"
#include "update/update.h"

int ReadRegistryValue(HKEY root, const char* keyPath, const char* valueName, unsigned char* buffer,
                      DWORD& valueType, int quiet) {
  std::memset(buffer, 0, kRegistryBufferSize);
  valueType = 0;
  HKEY key;
  if (RegOpenKeyExA(root, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    if (!quiet) ShowStatus(texts::kKeyOpenErrorFormat, keyPath);
    return 0;
  }
  DWORD type = 0;
  DWORD dataSize = kRegistryDataSize;
  const LONG result = RegQueryValueExA(key, valueName, nullptr, &type, buffer, &dataSize);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) {
    // A value too long for the buffer may have left part of its data behind.
    std::memset(buffer, 0, kRegistryBufferSize);
    if (!quiet) ShowStatus(texts::kValueReadErrorFormat, valueName);
    return 0;
  }
  valueType = type;
  return 1;
}

namespace {

char* CopyString(const char* text) {
  const size_t length = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(length));
  if (copy) std::memcpy(copy, text, length);
  return copy;
}

// The program file's path (folder + name) and its backup's (+ ".bak"). 0 when the program's path
// does not fit; the backup's buffer is 4 bytes larger, so it always fits then.
int ProgramPaths(const TargetInfo& target, char (&programPath)[kFolderBufferSize],
                 char (&backupPath)[kFolderBufferSize + 4]) {
  return JoinPath(programPath, sizeof programPath, target.programFolder, target.programName) &&
         BackupPath(backupPath, sizeof backupPath, programPath);
}

// The string value just read into data as text (kFolderBufferSize bytes): REG_SZ as it is,
// REG_EXPAND_SZ with its environment variables expanded. 0 for any other type (a number or
// binary data is no path) or an expansion that does not fit.
int ValueText(const unsigned char* data, DWORD type, char (&text)[kFolderBufferSize]) {
  const char* value = reinterpret_cast<const char*>(data);
  if (type == REG_SZ) return JoinPath(text, sizeof text, value, "");
  if (type != REG_EXPAND_SZ) return 0;
  const DWORD length = ExpandEnvironmentStringsA(value, text, sizeof text);
  return length > 0 && length <= sizeof text;
}

// The state of leaf in folder, opened for its attributes (which no other opener refuses); file
// keeps it open.
EntryState LookAt(const TargetInfo& target, int folder, const char* leaf, OwnedHandle& file) {
  return OpenInFolder(target.folders, folder, leaf, FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, file);
}

// 1 when the journal records file, open as name's backup, as ours.
int BackupIsOurs(const TargetInfo& target, const char* name, HANDLE file) {
  JournalRecord record;
  return JournalFind(target.keyPath, name, record) && record.kind == kJournalBackup &&
         JournalRecordIs(record, file);
}

// Steps 3 to 10 of discovery on the extracted :RegistryKeys payload; 1 when the program file
// was found. Fills target as far as it gets.
int ReadTarget(const unsigned char* payload, uint32_t size, TargetInfo& target) {
  RegistryKeys keys;
  if (!ParseRegistryKeys(payload, size, keys)) return 0;  // refused at open; kept for safety
  target.keyPath = CopyString(keys.keyPath);
  target.patchValueName = CopyString(keys.patchValueName);
  target.packagePatchLevel = keys.patchLevel;

  unsigned char data[kRegistryBufferSize];
  DWORD type;
  char text[kFolderBufferSize];
  // Only an absolute folder: an empty or relative one would resolve against the current folder
  // or drive of the process, a folder of nobody's choosing.
  const int folderRead =
      ReadRegistryValue(HKEY_LOCAL_MACHINE, keys.keyPath, keys.folderValueName, data, type, 0) &&
      ValueText(data, type, text) && IsAbsoluteFolderPath(text);
  char folder[kFolderBufferSize];
  if (folderRead && NormaliseFolder(folder, sizeof folder, text))
    target.programFolder = CopyString(folder);

  const int nameRead =
      ReadRegistryValue(HKEY_LOCAL_MACHINE, keys.keyPath, keys.fileValueName, data, type, 0) &&
      ValueText(data, type, text) && text[0] != '\0';
  if (nameRead) target.programName = CopyString(text);

  if (ReadRegistryValue(HKEY_LOCAL_MACHINE, keys.keyPath, keys.patchValueName, data, type, 1) &&
      type == REG_DWORD) {
    target.installedPatchLevel = static_cast<int32_t>(ReadLE32(data));
  }

  if (!folderRead || !nameRead) return 0;
  if (!target.keyPath || !target.patchValueName || !target.programFolder || !target.programName)
    return 0;  // out of memory for a copy
  char programPath[kFolderBufferSize];
  char backupPath[kFolderBufferSize + 4];
  if (!ProgramPaths(target, programPath, backupPath)) return 0;
  if (!HoldProgramFolder(target.programFolder, target.folders)) return 0;
  NameInFolder program;
  if (!FindName(target.folders, target.programName, kFolderOpen, program)) return 0;
  OwnedHandle file;
  if (LookAt(target, program.folder, program.leaf, file) == kEntryPresent) return 1;
  // A run killed while it had the program file set aside left only the file's backup: the
  // program is installed all the same, and this run finishes the update or puts the backup back
  // (RecoverUpdate). Only a backup of ours counts: a .bak the user left is no program.
  return LookAt(target, program.folder, program.backupLeaf, file) == kEntryPresent &&
         BackupIsOurs(target, program.name, file.Get());
}

}  // namespace

int DiscoverTarget(const PackageView& view, TargetInfo& target) {
  target = TargetInfo{};
  int found = 0;
  const int index = FindEntry(view, kRegistryKeysSection);
  if (index >= 0) {
    unsigned char* payload = ExtractToBuffer(view, index);
    if (payload) {
      found = ReadTarget(payload, view.directory[index].size, target);
      std::free(payload);
    }
  }
  if (!found) ShowStatus(texts::kNotFoundText);
  return found;
}

void ReleaseTarget(TargetInfo& target) {
  std::free(target.keyPath);
  std::free(target.programFolder);
  std::free(target.programName);
  std::free(target.patchValueName);
  ReleaseFolders(target.folders);
  target = TargetInfo{};
}
