#include <windows.h>

#include <cstring>

#include "package/builder.h"
#include "package/format.h"
#include "package/handles_win32.h"
#include "shell/texts.h"
#include "shell/worker.h"

namespace {

// Bytes moved per read and write of the copy.
constexpr DWORD kCopyChunk = 256 * 1024;

// The size of an open file, or false when it cannot be had.
bool SizeOf(const OwnedHandle& file, uint64_t& size) {
  DWORD high = 0;
  const DWORD low = GetFileSize(file.Get(), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  size = (static_cast<uint64_t>(high) << 32) | low;
  return true;
}

bool WriteAll(const OwnedHandle& output, const unsigned char* data, DWORD count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(output.Get(), data, count, &written, nullptr) || written == 0) return false;
    data += written;
    count -= written;
  }
  return true;
}

// Appends the first length bytes of input to output, through buffer (kCopyChunk bytes). Reads
// and writes in bounded chunks, so any size copies in the same memory, and a read or write
// error (a full disk) is a failed copy.
bool CopyBytes(const OwnedHandle& input, uint64_t length, const OwnedHandle& output,
               unsigned char* buffer) {
  while (length > 0) {
    const DWORD want = length < kCopyChunk ? static_cast<DWORD>(length) : kCopyChunk;
    DWORD got = 0;
    if (!ReadFile(input.Get(), buffer, want, &got, nullptr) || got == 0) return false;
    if (!WriteAll(output, buffer, got)) return false;
    length -= got;
  }
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
  OwnedBuffer buffer(kCopyChunk);
  if (!buffer.Valid()) return 0;

  OwnedHandle output(CreateFileA(outputPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!output.Valid()) return 0;
  createdOutput = true;
  if (!CopyBytes(executable, executableSize, output, buffer.Bytes())) return 0;
  if (!CopyBytes(package, packageSize, output, buffer.Bytes())) return 0;
  unsigned char trailer[kTrailerSize];
  WriteTrailer(trailer, static_cast<uint32_t>(executableSize));
  return WriteAll(output, trailer, kTrailerSize);
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
