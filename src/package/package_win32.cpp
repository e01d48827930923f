#include <windows.h>

#include "package/package.h"

int OpenPackage(PackageView& view, const char* path, int selfContained) {
  InitPackageView(view);
  view.file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  if (view.file == INVALID_HANDLE_VALUE) return 0;
  DWORD high = 0;
  const DWORD length = GetFileSize(view.file, &high);
  // Offsets in the format are 32-bit; a file of 4 GiB or more cannot be a package.
  if (length == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return 0;
  if (high != 0) return 0;
  HANDLE mapping = CreateFileMappingA(view.file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (!mapping) return 0;  // an empty file cannot be mapped
  view.mapping = mapping;
  view.base = static_cast<const unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  if (!view.base) return 0;
  view.fileLength = length;
  return LoadPackage(view, selfContained);
}

void ClosePackage(PackageView& view) {
  ReleaseDirectory(view);
  if (view.file != InvalidHandle()) {
    if (view.mapping != InvalidHandle()) {
      if (view.base) UnmapViewOfFile(view.base);
      CloseHandle(view.mapping);
    }
    CloseHandle(view.file);
  }
  InitPackageView(view);
}
