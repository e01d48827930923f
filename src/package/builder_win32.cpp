#include <windows.h>

#include <cstring>

#include "package/builder.h"
#include "package/format.h"
#include "package/handles_win32.h"
#include "shell/texts.h"
#include "shell/worker.h"

namespace {

// The size of an open file, or false when it cannot be had.
bool SizeOf(const OwnedHandle& file, uint64_t& size) {
  DWORD high = 0;
  const DWORD low = GetFileSize(file.Get(), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  size = (static_cast<uint64_t>(high) << 32) | low;
  return true;
}

// Copies all of an open input into the output view at offset; its length was checked before.
bool CopyFromView(const OwnedHandle& input, uint64_t length, unsigned char* destination) {
  if (length == 0) return true;
  OwnedHandle mapping;
  MappedView view;
  if (!MapWholeFileForReading(input, mapping, view)) return false;
  std::memcpy(destination, view.Bytes(), static_cast<size_t>(length));
  return true;
}

// Everything but the report: 1 on success. Sets createdOutput once the output exists.
int WriteUpdater(const char* executablePath, const char* packagePath, const char* outputPath,
                 bool& createdOutput) {
  OwnedHandle executable = OpenForReading(executablePath);
  if (!executable.Valid()) return 0;
  OwnedHandle package = OpenForReading(packagePath);
  if (!package.Valid()) return 0;
  uint64_t executableSize = 0, packageSize = 0;
  uint32_t outputSize = 0;
  if (!SizeOf(executable, executableSize) || !SizeOf(package, packageSize)) return 0;
  if (!UpdaterLayout(executableSize, packageSize, outputSize)) return 0;

  OwnedHandle output(CreateFileA(outputPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!output.Valid()) return 0;
  createdOutput = true;
  // The mapping's size gives the output its final length up front.
  OwnedHandle outputMapping(
      CreateFileMappingA(output.Get(), nullptr, PAGE_READWRITE, 0, outputSize, nullptr));
  if (!outputMapping.Valid()) return 0;
  MappedView outputView(MapViewOfFile(outputMapping.Get(), FILE_MAP_WRITE, 0, 0, 0));
  if (!outputView.Valid()) return 0;

  unsigned char* bytes = outputView.Bytes();
  if (!CopyFromView(executable, executableSize, bytes)) return 0;
  if (!CopyFromView(package, packageSize, bytes + executableSize)) return 0;
  const uint32_t trailerAt = outputSize - kTrailerSize;
  WriteTrailer(bytes + trailerAt, static_cast<uint32_t>(executableSize));
  // Written through the view: unmapping flushes it to the file before the handles close.
  outputView.Unmap();
  return 1;
}

}  // namespace

int BuildUpdater(const char* executablePath, const char* packagePath, const char* outputPath) {
  bool createdOutput = false;
  if (WriteUpdater(executablePath, packagePath, outputPath, createdOutput)) return 1;
  // All handles are closed by now, so an incomplete output can be removed.
  if (createdOutput) DeleteFileA(outputPath);
  ShowStatus(texts::kBuildFailedFormat, outputPath);
  return 0;
}
