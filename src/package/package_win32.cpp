#include <windows.h>

#include "package/package.h"

// Reads through ReadFile at a position set first with SetFilePointerEx: nothing of the package
// is mapped, so a read error (a network share gone, a removed medium) is a failed read and never
// a fault in our own code. (A read at an OVERLAPPED offset would do the same in one call, but
// under Wine each one costs a round trip to the wineserver, several times the read of a small
// entry.)
int ReadFromHandle(void* context, uint32_t offset, unsigned char* buffer, uint32_t count) {
  HANDLE file = static_cast<HANDLE>(context);
  LARGE_INTEGER at;
  at.QuadPart = offset;
  if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return 0;
  while (count > 0) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, count, &got, nullptr) || got == 0) return 0;
    buffer += got;
    count -= got;
  }
  return 1;
}

int WriteToHandle(void* context, const unsigned char* data, uint32_t count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(static_cast<HANDLE>(context), data, count, &written, nullptr) || written == 0)
      return 0;
    data += written;
    count -= written;
  }
  return 1;
}

int OpenPackage(PackageView& view, const char* path, int selfContained) {
  InitPackageView(view);
  view.acceptDeltas = 1;  // the updater applies patch packages' deltas
  view.file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  if (view.file == INVALID_HANDLE_VALUE) return 0;
  DWORD high = 0;
  const DWORD length = GetFileSize(view.file, &high);
  // Offsets in the format are 32-bit; a file of 4 GiB or more cannot be a package.
  if (length == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return 0;
  if (high != 0) return 0;
  view.source = ByteSource{ReadFromHandle, view.file, length};
  return LoadPackage(view, selfContained);
}

void ClosePackage(PackageView& view) {
  UnloadPackage(view);
  if (view.file != InvalidHandle()) CloseHandle(view.file);
  InitPackageView(view);
}
