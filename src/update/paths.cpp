#include "update/paths.h"

#include <cstring>

#include "package/names.h"

const char* TranslateName(const char* table, const char* name) {
  const char* at = table;
  while (*at != '\0') {
    const char* second = at + std::strlen(at) + 1;
    // A first string without its second ends the table: it translates nothing.
    if (*second == '\0') break;
    if (NamesEqual(at, name)) return second;
    at = second + std::strlen(second) + 1;
  }
  return name;
}

int JoinPath(char* out, size_t outSize, const char* folder, const char* name) {
  const size_t folderLength = std::strlen(folder);
  const size_t nameLength = std::strlen(name);
  // Written so that no sum can wrap: folderLength + nameLength + 1 <= outSize.
  if (outSize == 0) return 0;
  if (folderLength >= outSize || nameLength >= outSize - folderLength) {
    out[0] = '\0';
    return 0;
  }
  std::memcpy(out, folder, folderLength);
  std::memcpy(out + folderLength, name, nameLength + 1);
  return 1;
}

int BackupPath(char* out, size_t outSize, const char* path) {
  return JoinPath(out, outSize, path, ".bak");
}

int NormaliseFolder(char* out, size_t outSize, const char* text) {
  const size_t length = std::strlen(text);
  const bool hasBackslash = length > 0 && text[length - 1] == '\\';
  return JoinPath(out, outSize, text, hasBackslash ? "" : "\\");
}

void ForEachParentFolder(const char* programFolder, const char* name, PathVisitor visit,
                         void* context) {
  char folder[kPathBufferSize];
  size_t length = std::strlen(programFolder);
  if (length >= sizeof folder) return;
  std::memcpy(folder, programFolder, length);
  // Windows takes '/' for a separator too, so "data/x.dll" needs the folder data as well.
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  const char* rest = separator(name[0]) ? name + 1 : name;
  const char* component = rest;
  for (const char* p = rest; *p != '\0'; ++p) {
    if (!separator(*p)) continue;
    const size_t componentLength = static_cast<size_t>(p - component);
    // The folder path with this component and its NUL must fit; the backslash appended after
    // the visit takes the NUL's place.
    if (componentLength >= sizeof folder - length) return;
    std::memcpy(folder + length, component, componentLength);
    length += componentLength;
    folder[length] = '\0';
    visit(folder, context);
    folder[length++] = '\\';
    component = p + 1;
  }
}

void ForEachListedPath(const unsigned char* data, uint32_t size, const char* programFolder,
                       PathVisitor visit, void* context) {
  char path[kPathBufferSize];
  uint32_t at = 0;
  while (at < size && data[at] != 0) {
    const void* nul = std::memchr(data + at, 0, size - at);
    if (!nul) return;
    const char* name = reinterpret_cast<const char*>(data + at);
    if (JoinPath(path, sizeof path, programFolder, name)) visit(path, context);
    at = static_cast<uint32_t>(static_cast<const unsigned char*>(nul) - data) + 1;
  }
}
