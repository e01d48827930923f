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

// The benchmark builds a variant without the flush to measure what it costs; the product
// always flushes.
#ifdef PINECONE_BENCH_NO_FLUSH
constexpr bool kFlushBeforeCommit = false;
#else
constexpr bool kFlushBeforeCommit = true;
#endif

namespace {

void CreateFolder(const char* path, void*) { CreateDirectoryA(path, nullptr); }

// Creates target and fills it with entry index: sized by its mapping and extracted straight
// into the view, then flushed, view first and file second, so that the new contents are on
// disk before the caller deletes the backup. 1 when the file is complete; 0 otherwise. Every
// handle and view is released on return, before the caller commits or rolls back.
int WriteNewFile(const PackageView& view, int index, const char* target) {
  const uint32_t size = view.directory[index].size;
  OwnedHandle file(CreateFileA(target, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return 0;
  if (size == 0) {
    // The platform refuses a mapping of length 0; the created file is already the result. The
    // stream is still checked, so a damaged empty entry fails like any other.
    if (!ExtractEntry(view, index, nullptr)) return 0;
  } else {
    // Declared after file, so released before it: view, then mapping, then file.
    OwnedHandle mapping(CreateFileMappingA(file.Get(), nullptr, PAGE_READWRITE, 0, size, nullptr));
    if (!mapping.Valid()) return 0;
    MappedView data(MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, 0));
    if (!data.Valid()) return 0;
    if (!ExtractEntry(view, index, data.Bytes())) return 0;
    if (kFlushBeforeCommit && !FlushViewOfFile(data.Bytes(), 0)) return 0;
  }
  if (kFlushBeforeCommit && !FlushFileBuffers(file.Get())) return 0;
  return 1;
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

  CreateParentFolders(programFolder, name);
  // Fails, harmlessly, for a new file, and when a backup from an interrupted run is in the way:
  // that backup then stays the one to put back.
  MoveFileA(target, backup);
  DeleteFileA(target);

  if (WriteNewFile(view, index, target)) {
    DeleteFileA(backup);
    ShowStatus(texts::kFileUpdatedFormat, target);
    return 1;
  }
  DeleteFileA(target);
  MoveFileA(backup, target);
  ShowStatus(texts::kFileFailedFormat, target);
  return 0;
}
