// Target discovery: :RegistryKeys, the registry values under HKEY_LOCAL_MACHINE and the
// existence test of the program file.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "package/format.h"
#include "package/sections.h"
#include "shell/texts.h"
#include "shell/worker.h"
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
  const int folderRead =
      ReadRegistryValue(HKEY_LOCAL_MACHINE, keys.keyPath, keys.folderValueName, data, type, 0);
  char folder[kFolderBufferSize];
  // The registry text is at most 512 bytes, so the folder always fits its buffer.
  NormaliseFolder(folder, sizeof folder, reinterpret_cast<const char*>(data));
  target.programFolder = CopyString(folder);

  const int nameRead =
      ReadRegistryValue(HKEY_LOCAL_MACHINE, keys.keyPath, keys.fileValueName, data, type, 0);
  if (nameRead) target.programName = CopyString(reinterpret_cast<const char*>(data));

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
  if (GetFileAttributesA(programPath) != INVALID_FILE_ATTRIBUTES) return 1;
  // A run killed while it had the program file set aside left only the file's backup: the
  // program is installed all the same, and this run finishes the update or puts the backup back
  // (RestoreProgramFile).
  return GetFileAttributesA(backupPath) != INVALID_FILE_ATTRIBUTES;
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

void RestoreProgramFile(const TargetInfo& target) {
  if (!target.programFolder || !target.programName) return;
  char programPath[kFolderBufferSize];
  char backupPath[kFolderBufferSize + 4];
  if (ProgramPaths(target, programPath, backupPath)) MoveFileA(backupPath, programPath);
}

void ReleaseTarget(TargetInfo& target) {
  std::free(target.keyPath);
  std::free(target.programFolder);
  std::free(target.programName);
  std::free(target.patchValueName);
  target = TargetInfo{};
}
