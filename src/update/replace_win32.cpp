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

// Writes each extracted chunk at the file's current end. A full disk or any other write error
// is a failed write, which fails the file; nothing is written through a mapped view, so no
// fault of the file system can end the process.
int WriteToFile(void* context, const unsigned char* data, uint32_t count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(static_cast<HANDLE>(context), data, count, &written, nullptr) || written == 0)
      return 0;
    data += written;
    count -= written;
  }
  return 1;
}

// Creates target and fills it with entry index, chunk by chunk, then flushes it so that the
// new contents are on disk before the caller deletes the backup. 1 when the file is complete;
// 0 otherwise. The handle is closed on return, before the caller commits or rolls back.
int WriteNewFile(const PackageView& view, int index, const char* target) {
  OwnedHandle file(CreateFileA(target, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return 0;
  if (!StreamEntry(view, index, ByteSink{WriteToFile, file.Get()})) return 0;
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
