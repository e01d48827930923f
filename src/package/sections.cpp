#include "package/sections.h"

#include <cstring>

#include "package/format.h"
#include "package/names.h"

uint32_t SkipString(const unsigned char* data, uint32_t size, uint32_t offset) {
  if (offset >= size) return 0;
  const void* nul = std::memchr(data + offset, 0, size - offset);
  if (!nul) return 0;
  return static_cast<uint32_t>(static_cast<const unsigned char*>(nul) - data) + 1;
}

int ParseRegistryKeys(const unsigned char* data, uint32_t size, RegistryKeys& out) {
  const char* strings[4];
  uint32_t at = 0;
  for (const char*& s : strings) {
    s = reinterpret_cast<const char*>(data + at);
    at = SkipString(data, size, at);
    if (at == 0) return 0;
  }
  if (size - at < 4) return 0;
  out.keyPath = strings[0];
  out.folderValueName = strings[1];
  out.fileValueName = strings[2];
  out.patchValueName = strings[3];
  out.patchLevel = static_cast<int32_t>(ReadLE32(data + at));
  return 1;
}

int ParseStartupMsg(const unsigned char* data, uint32_t size, const char*& caption,
                    const char*& text) {
  const uint32_t second = SkipString(data, size, 0);
  if (second == 0 || SkipString(data, size, second) == 0) return 0;
  caption = reinterpret_cast<const char*>(data);
  text = reinterpret_cast<const char*>(data + second);
  return 1;
}

int CheckNameList(const unsigned char* data, uint32_t size, int requireSafe) {
  uint32_t at = 0;
  for (;;) {
    const uint32_t next = SkipString(data, size, at);
    if (next == 0) return 0;
    const char* name = reinterpret_cast<const char*>(data + at);
    if (name[0] == '\0') return 1;
    if (requireSafe && !IsSafeRelativeName(name)) return 0;
    at = next;
  }
}

int CheckXlatTable(const unsigned char* data, uint32_t size) {
  uint32_t at = 0;
  for (;;) {
    const uint32_t second = SkipString(data, size, at);
    if (second == 0) return 0;
    if (data[at] == '\0') return 1;  // the empty string that ends the table
    const uint32_t next = SkipString(data, size, second);
    if (next == 0) return 0;
    const char* target = reinterpret_cast<const char*>(data + second);
    if (!IsFileName(target)) return 0;
    at = next;
  }
}
