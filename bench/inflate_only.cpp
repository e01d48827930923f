// The benchmark's baseline: opens a bare package exactly as the updater does (one read-only
// mapping, the portable reader) and inflates every file entry into one reused memory buffer,
// writing nothing. Prints the time and the bytes, for bench/update_bench.sh.
//
//   inflate_only.exe PACKAGE
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "package/handles_win32.h"
#include "package/package.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: inflate_only.exe PACKAGE\n", stderr);
    return 2;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);

  OwnedHandle file = OpenForReading(argv[1]);
  OwnedHandle mapping;
  MappedView bytes;
  if (!file.Valid() || !MapWholeFileForReading(file, mapping, bytes)) {
    std::fprintf(stderr, "inflate_only: cannot map %s\n", argv[1]);
    return 1;
  }
  PackageView view;
  InitPackageView(view);
  view.base = bytes.Bytes();
  view.fileLength = GetFileSize(file.Get(), nullptr);
  if (!LoadPackage(view, 0)) {
    std::fprintf(stderr, "inflate_only: %s is not a package\n", argv[1]);
    ReleaseDirectory(view);
    return 1;
  }
  uint32_t largest = 1;
  for (uint32_t i = 0; i < view.header.entryCount; ++i)
    if (view.directory[i].size > largest) largest = view.directory[i].size;
  auto* buffer = static_cast<unsigned char*>(std::malloc(largest));
  unsigned long long total = 0;
  unsigned files = 0, failed = 0;
  for (uint32_t i = 0; i < view.header.entryCount; ++i) {
    if (IsControlSection(view.directory[i])) continue;
    if (!buffer || !ExtractEntry(view, static_cast<int>(i), buffer)) ++failed;
    total += view.directory[i].size;
    ++files;
  }
  std::free(buffer);
  ReleaseDirectory(view);
  QueryPerformanceCounter(&end);
  const double ms = 1000.0 * (end.QuadPart - start.QuadPart) / frequency.QuadPart;
  std::printf("inflated %u files, %llu bytes in %.0f ms (%u failed)\n", files, total, ms, failed);
  return failed ? 1 : 0;
}
