// The benchmark's baseline: opens a bare package exactly as the updater does (OpenPackage, the
// portable reader) and inflates every file entry through the same chunked extraction, writing
// nothing. Prints the time and the bytes, for bench/update_bench.sh.
//
//   inflate_only.exe PACKAGE
#include <windows.h>

#include <cstdio>

#include "package/package.h"

namespace {

int Discard(void*, const unsigned char*, uint32_t) { return 1; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: inflate_only.exe PACKAGE\n", stderr);
    return 2;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);

  PackageView view;
  if (!OpenPackage(view, argv[1], 0)) {
    std::fprintf(stderr, "inflate_only: %s is not a package\n", argv[1]);
    ClosePackage(view);
    return 1;
  }
  unsigned long long total = 0;
  unsigned files = 0, failed = 0;
  for (uint32_t i = 0; i < view.header.entryCount; ++i) {
    if (IsControlSection(view.directory[i])) continue;
    if (!StreamEntry(view, static_cast<int>(i), ByteSink{Discard, nullptr})) ++failed;
    total += view.directory[i].size;
    ++files;
  }
  ClosePackage(view);
  QueryPerformanceCounter(&end);
  const double ms = 1000.0 * (end.QuadPart - start.QuadPart) / frequency.QuadPart;
  std::printf("inflated %u files, %llu bytes in %.0f ms (%u failed)\n", files, total, ms, failed);
  return failed ? 1 : 0;
}
