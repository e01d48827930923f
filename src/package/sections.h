// Readers of the control-section payloads. Each takes the extracted payload (size bytes) and
// never reads past it; a payload whose layout is incomplete is refused (0). LoadPackage checks
// every control section this way when the package is opened, so the update run can rely on the
// layouts of the sections it extracts later.
#pragma once

#include <cstdint>

// :RegistryKeys: four NUL-terminated strings, then a 4-byte little-endian signed level that
// starts right after the fourth NUL. The pointers point into data.
struct RegistryKeys {
  const char* keyPath;
  const char* folderValueName;
  const char* fileValueName;
  const char* patchValueName;
  int32_t patchLevel;
};
int ParseRegistryKeys(const unsigned char* data, uint32_t size, RegistryKeys& out);

// :StartupMsg: the caption, then the message text, both NUL-terminated. Pointers into data.
int ParseStartupMsg(const unsigned char* data, uint32_t size, const char*& caption,
                    const char*& text);

// :Folders and :FilesToRemove: NUL-terminated names ended by an empty name, all within size.
// With requireSafe, every name must also pass IsSafeRelativeName.
int CheckNameList(const unsigned char* data, uint32_t size, int requireSafe);

// :XlatNamesTable: pairs of non-empty NUL-terminated strings (entry name, name on disk) ended by
// an empty string where the next pair would begin; every name on disk must be a file's name
// (IsFileName).
int CheckXlatTable(const unsigned char* data, uint32_t size);

// Offset just past the NUL of the string starting at offset, or 0 when no NUL lies before
// size (a string is never at offset size or beyond, so 0 is never a valid answer).
uint32_t SkipString(const unsigned char* data, uint32_t size, uint32_t offset);
