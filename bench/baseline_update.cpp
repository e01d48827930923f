// The update benchmark's baseline: the least a correct updater must do for every file entry of
// a bare package, with plain Win32 calls and zlib. For each file, in directory order: move the
// present file to target + ".bak", create the target, read the entry's stored bytes (ReadFile at
// offsets) and inflate them (or copy them) in bounded chunks into it (WriteFile), check that the
// stream ended after exactly the entry's size, flush the file (FlushFileBuffers), close it and
// delete the backup. The folders already exist; names are not translated. Prints the time of
// the file loop (the package is opened before it), for bench/update_bench.sh.
//
//   baseline_update.exe PACKAGE FOLDER [--no-flush] [--chunk KIB]
#include <windows.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "package/package.h"

namespace {

bool ReadAt(HANDLE file, uint32_t offset, unsigned char* buffer, DWORD count) {
  LARGE_INTEGER at;
  at.QuadPart = offset;
  DWORD got = 0;
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
         ReadFile(file, buffer, count, &got, nullptr) && got == count;
}

bool WriteAll(HANDLE file, const unsigned char* data, DWORD count) {
  DWORD written = 0;
  return WriteFile(file, data, count, &written, nullptr) && written == count;
}

// The entry's contents into target, through input and output buffers of chunk bytes each.
bool WriteEntry(HANDLE package, uint32_t packageOffset, const DirectoryEntry& e, HANDLE target,
                z_stream& stream, std::vector<unsigned char>& input,
                std::vector<unsigned char>& output) {
  const DWORD chunk = static_cast<DWORD>(input.size());
  uint32_t offset = packageOffset + e.dataOffset;
  if (!(e.flags & ENTRY_DEFLATED)) {
    for (uint32_t left = e.size; left > 0;) {
      const DWORD count = left < chunk ? left : chunk;
      if (!ReadAt(package, offset, input.data(), count) || !WriteAll(target, input.data(), count))
        return false;
      offset += count;
      left -= count;
    }
    return true;
  }
  if (inflateReset(&stream) != Z_OK) return false;
  uint32_t inputLeft = e.packedSize;
  for (;;) {
    if (stream.avail_in == 0 && inputLeft > 0) {
      const DWORD count = inputLeft < chunk ? inputLeft : chunk;
      if (!ReadAt(package, offset, input.data(), count)) return false;
      stream.next_in = input.data();
      stream.avail_in = count;
      offset += count;
      inputLeft -= count;
    }
    stream.next_out = output.data();
    stream.avail_out = chunk;
    const int result = inflate(&stream, Z_NO_FLUSH);
    const DWORD got = chunk - stream.avail_out;
    if (got > 0 && !WriteAll(target, output.data(), got)) return false;
    if (result == Z_STREAM_END) return stream.total_out == e.size;
    if (result != Z_OK) return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: baseline_update.exe PACKAGE FOLDER [--no-flush] [--chunk KIB]\n", stderr);
    return 2;
  }
  bool flush = true;
  DWORD chunk = 256 * 1024;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-flush") == 0) flush = false;
    if (std::strcmp(argv[i], "--chunk") == 0 && i + 1 < argc)
      chunk = static_cast<DWORD>(std::atoi(argv[++i])) * 1024;
  }
  PackageView view;
  if (!OpenPackage(view, argv[1], 0)) {
    std::fprintf(stderr, "baseline_update: %s is not a package\n", argv[1]);
    ClosePackage(view);
    return 1;
  }
  HANDLE package = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  std::vector<unsigned char> input(chunk), output(chunk);
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  if (package == INVALID_HANDLE_VALUE || inflateInit(&stream) != Z_OK) return 1;

  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  unsigned files = 0, failed = 0;
  unsigned long long bytes = 0;
  for (uint32_t i = 0; i < view.header.entryCount; ++i) {
    const DirectoryEntry& e = view.directory[i];
    if (IsControlSection(e)) continue;
    const std::string target = std::string(argv[2]) + "\\" + e.name;
    const std::string backup = target + ".bak";
    MoveFileA(target.c_str(), backup.c_str());
    HANDLE file = CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = file != INVALID_HANDLE_VALUE &&
              WriteEntry(package, view.packageOffset, e, file, stream, input, output) &&
              (!flush || FlushFileBuffers(file));
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (ok) {
      DeleteFileA(backup.c_str());
    } else {
      DeleteFileA(target.c_str());
      MoveFileA(backup.c_str(), target.c_str());
      ++failed;
    }
    ++files;
    bytes += e.size;
  }
  QueryPerformanceCounter(&end);
  inflateEnd(&stream);
  CloseHandle(package);
  ClosePackage(view);
  const double ms = 1000.0 * (end.QuadPart - start.QuadPart) / frequency.QuadPart;
  std::printf("wrote %u files, %llu bytes in %.0f ms (%u failed)\n", files, bytes, ms, failed);
  return failed ? 1 : 0;
}
