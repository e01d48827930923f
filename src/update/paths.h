// The portable pieces of the update procedure: the name translation table, bounded path joins
// and the walks over folder steps and name lists. No windows.h: the Win32 callers pass the
// file-system operation in as a callback.
#pragma once

#include <cstddef>
#include <cstdint>

// Target, backup, folder and list paths: at most 511 characters and the NUL.
constexpr size_t kPathBufferSize = 512;
// The program folder and the existence-test path: 511 characters of folder, the appended
// backslash and the NUL fit with room to spare.
constexpr size_t kFolderBufferSize = 528;
// Registry data is read as at most this many bytes...
constexpr size_t kRegistryDataSize = 512;
// ...into a buffer one byte longer, whose last byte stays NUL, so that data without a NUL of
// its own still reads as a string ending at the data's end.
constexpr size_t kRegistryBufferSize = kRegistryDataSize + 1;

// Walks table (pairs of NUL-terminated strings: entry name, name on disk; ended by an empty
// string where a pair would begin, or right after a first string, which then translates
// nothing) and returns the name on disk
// of the first pair whose first string equals name with only A-Z folded; otherwise name itself.
// The result points into table or is name.
const char* TranslateName(const char* table, const char* name);

// Writes folder followed directly by name into out (outSize bytes). 1 when the whole path and
// its NUL fit; 0 otherwise, leaving out as the empty string.
int JoinPath(char* out, size_t outSize, const char* folder, const char* name);

// Writes path followed by ".bak" into out. 1 when it fits; 0 otherwise (out empty).
int BackupPath(char* out, size_t outSize, const char* path);

// Makes the program folder from the registry text: the text, with one backslash appended when
// it is empty or does not end in one. 1 when it fits out (outSize bytes); 0 otherwise.
int NormaliseFolder(char* out, size_t outSize, const char* text);

// Called with each path of a walk below; context is the caller's.
using PathVisitor = void (*)(const char* path, void* context);

// The folders between programFolder and the file named by name (a name on disk, '\' or '/' as
// the separator, as Windows reads both; one leading separator skipped): for data\sub\file.dll
// or data/sub/file.dll, programFolder + "data" and then programFolder + "data\sub". The file's
// own name is not visited. A folder path that does not fit kPathBufferSize ends the walk (every
// later one is longer).
void ForEachParentFolder(const char* programFolder, const char* name, PathVisitor visit,
                         void* context);

// Visits programFolder + each name of a :Folders or :FilesToRemove payload (size bytes of
// NUL-terminated names ended by an empty name), in order. Never reads past size: a list without
// its closing empty name ends at its last complete name. A path that does not fit
// kPathBufferSize is skipped.
void ForEachListedPath(const unsigned char* data, uint32_t size, const char* programFolder,
                       PathVisitor visit, void* context);

// True when the installed level is the package's or later, compared as signed integers: the
// run then asks before going on.
inline bool PatchLevelNeedsWarning(int32_t installed, int32_t package) {
  return installed >= package;
}
