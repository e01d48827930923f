#include <windows.h>

#include "package/builder.h"
#include "package/handles_win32.h"
#include "shell/log_win32.h"
#include "shell/texts.h"
#include "shell/worker.h"

namespace {

// A reader of an open file; false when its size cannot be had or is 4 GiB or more, which no
// updater can hold.
bool SourceOf(const OwnedHandle& file, ByteSource& source) {
  DWORD high = 0;
  const DWORD low = GetFileSize(file.Get(), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  if (high != 0) return false;
  source = ByteSource{ReadFromHandle, file.Get(), low};
  return true;
}

// Everything but the report: 1 on success. Sets createdOutput once the output exists.
int WriteUpdater(const char* executablePath, const char* packagePath, const char* outputPath,
                 bool& createdOutput) {
  OwnedHandle executable = OpenForReading(executablePath);
  if (!executable.Valid()) return 0;
  OwnedHandle package = OpenForReading(packagePath);
  if (!package.Valid()) return 0;
  ByteSource executableSource, packageSource;
  if (!SourceOf(executable, executableSource) || !SourceOf(package, packageSource)) return 0;
  UpdaterPlan plan;
  if (!PlanUpdater(executableSource, packageSource, plan)) return 0;
  OwnedBuffer buffer(kExtractChunk);
  if (!buffer.Valid()) return 0;

  OwnedHandle output(CreateFileA(outputPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!output.Valid()) return 0;
  createdOutput = true;
  return CopyUpdater(executableSource, packageSource, plan, ByteSink{WriteToHandle, output.Get()},
                     buffer.Bytes(), kExtractChunk);
}

}  // namespace

int BuildUpdater(const char* executablePath, const char* packagePath, const char* outputPath) {
  bool createdOutput = false;
  // A file operation that fails leaves its code; a refused executable or package leaves none.
  SetLastError(ERROR_SUCCESS);
  if (WriteUpdater(executablePath, packagePath, outputPath, createdOutput)) return 1;
  const DWORD error = GetLastError();
  // All handles are closed by now, so an incomplete output can be removed.
  if (createdOutput) DeleteFileA(outputPath);
  if (error != ERROR_SUCCESS) {
    LogError("Build failed:", outputPath, error);
  } else {
    LogFormat("Build failed: %s: the executable or the package was refused", outputPath);
  }
  ShowStatus(texts::kBuildFailedFormat, outputPath);
  return 0;
}
