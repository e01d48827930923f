// The opened package: one read-only view of the whole file, a copy of the header and an owned
// copy of the directory. The checks and the extraction are portable and work on the view's
// bytes; only OpenPackage/ClosePackage (package_win32.cpp) touch files and mappings.
#pragma once

#include <cstdint>

#include "package/format.h"

struct PackageView {
  void* file;                 // HANDLE of the package file; InvalidHandle() while not open
  void* mapping;              // HANDLE of its read-only mapping; InvalidHandle() while not created
  const unsigned char* base;  // start of the view of the whole file; null while not mapped
  uint32_t fileLength;        // bytes in the view (the whole file)
  uint32_t packageOffset;     // file offset of the PackageHeader
  PackageHeader header;
  DirectoryEntry* directory;  // header.entryCount records, malloc'd; null while not loaded
};

// INVALID_HANDLE_VALUE, without windows.h.
inline void* InvalidHandle() { return reinterpret_cast<void*>(static_cast<intptr_t>(-1)); }

// Puts the view in the closed state: invalid handles, no view, no directory.
void InitPackageView(PackageView& view);

// Given view.base and view.fileLength, finds the package (through the trailer when
// selfContained), checks the header, loads the directory and checks every entry and control
// section so that nothing later reads outside the file. Returns 1 on success; 0 on any failure,
// after which ReleaseDirectory (or ClosePackage) cleans up.
int LoadPackage(PackageView& view, int selfContained);

// Index of the first entry whose name equals key (NamesEqual), or -1.
int FindEntry(const PackageView& view, const char* key);

// Writes entry index's extracted contents, exactly its size bytes, to destination (room for
// size bytes). A stored entry is copied; a deflated one is inflated in one call and succeeds
// only when the stream ends (Adler-32 checked) after exactly size bytes. Returns 1 or 0; on 0
// the destination's contents are undefined.
int ExtractEntry(const PackageView& view, int index, unsigned char* destination);

// Extracts entry index into a fresh malloc'd buffer of its size (at least 1 byte, so that an
// empty section still yields a valid pointer). Returns null on failure; the caller frees.
unsigned char* ExtractToBuffer(const PackageView& view, int index);

// Frees the directory; safe when none was loaded.
void ReleaseDirectory(PackageView& view);

// Win32 only. Opens path read-only (sharing read access), maps all of it and calls LoadPackage.
// 1 on success; 0 on failure, leaving a partly opened view that ClosePackage releases.
int OpenPackage(PackageView& view, const char* path, int selfContained);

// Win32 only. Releases whatever OpenPackage obtained; safe in every state it leaves.
void ClosePackage(PackageView& view);
