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

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The length of the list's names part: up to its closing empty name or size.
size_t ListEnd(const char* list, size_t size) {
  size_t at = 0;
  while (at < size && list[at] != '\0') {
    const void* nul = std::memchr(list + at, 0, size - at);
    if (!nul) return at;  // a last name without its NUL is not a name
    at = static_cast<size_t>(static_cast<const char*>(nul) - list) + 1;
  }
  return at;
}

}  // namespace

int IsAbsoluteFolderPath(const char* text) {
  const char first = FoldAscii(text[0]);
  if (first >= 'a' && first <= 'z') return text[1] == ':' && IsSeparator(text[2]);
  if (text[0] != '\\' || text[1] != '\\') return 0;
  // \\server\share: a server that is neither "?" nor ".", then a share, each not empty.
  const char* server = text + 2;
  const char* serverEnd = server;
  while (*serverEnd != '\0' && *serverEnd != '\\') ++serverEnd;
  const size_t serverLength = static_cast<size_t>(serverEnd - server);
  if (serverLength == 0 || *serverEnd != '\\') return 0;
  if (serverLength == 1 && (server[0] == '?' || server[0] == '.')) return 0;
  const char* share = serverEnd + 1;
  return *share != '\0' && *share != '\\';
}

int PathIsInside(const char* folder, const char* path) {
  size_t at = 0;
  for (; folder[at] != '\0'; ++at) {
    if (FoldAscii(folder[at]) != FoldAscii(path[at])) return 0;
  }
  return at > 0 && (folder[at - 1] == '\\' || path[at] == '\0' || path[at] == '\\');
}

const char* JournalName(const char* name) { return name[0] == '\\' ? name + 1 : name; }

int JournalListHas(const char* list, size_t size, const char* name) {
  const size_t end = ListEnd(list, size);
  for (size_t at = 0; at < end; at += std::strlen(list + at) + 1) {
    if (NamesEqual(list + at, name)) return 1;
  }
  return 0;
}

size_t JournalListAdd(char* buffer, size_t size, size_t capacity, const char* name) {
  const size_t end = ListEnd(buffer, size);
  const size_t length = std::strlen(name) + 1;
  // The name with its NUL, then the closing NUL.
  if (end > capacity || capacity - end < length + 1) return 0;
  std::memcpy(buffer + end, name, length);
  buffer[end + length] = '\0';
  return end + length + 1;
}

size_t JournalListRemove(char* list, size_t size, const char* name) {
  const size_t end = ListEnd(list, size);
  size_t kept = 0;
  for (size_t at = 0; at < end;) {
    const size_t length = std::strlen(list + at) + 1;
    if (!NamesEqual(list + at, name)) {
      std::memmove(list + kept, list + at, length);
      kept += length;
    }
    at += length;
  }
  if (size == 0) return 0;
  if (kept == size) return size;  // nothing removed from a list without its closing NUL
  list[kept] = '\0';
  return kept + 1;
}
