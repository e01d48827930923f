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

int CanonicalName(const char* name, char* out, size_t outSize) {
  size_t length = 0;
  for (const char* at = name; *at != '\0';) {
    while (IsSeparator(*at)) ++at;
    const char* end = at;
    while (*end != '\0' && !IsSeparator(*end)) ++end;
    const char* next = end;
    while (end > at && (end[-1] == '.' || end[-1] == ' ')) --end;
    const size_t part = static_cast<size_t>(end - at);
    if (part > 0) {
      const size_t separator = length > 0 ? 1 : 0;
      if (outSize == 0 || part + separator >= outSize - length) {
        if (outSize > 0) out[0] = '\0';
        return -1;
      }
      if (separator) out[length++] = '\\';
      std::memcpy(out + length, at, part);
      length += part;
    }
    at = next;
  }
  if (outSize == 0) return -1;
  out[length] = '\0';
  return static_cast<int>(length);
}

int FolderAndLeaf(char* name, char* leaf, size_t leafSize) {
  char* split = std::strrchr(name, '\\');
  const char* last = split ? split + 1 : name;
  if (*last == '\0' || !JoinPath(leaf, leafSize, last, "")) return 0;
  if (split)
    *split = '\0';
  else
    name[0] = '\0';
  return 1;
}

int NameDirectlyInside(const wchar_t* folder, size_t folderLength, const wchar_t* name,
                       size_t length) {
  const auto fold = [](wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c;
  };
  size_t at = folderLength;
  if (folderLength == 0 || length <= at) return 0;
  for (size_t i = 0; i < at; ++i)
    if (fold(folder[i]) != fold(name[i])) return 0;
  if (folder[at - 1] != L'\\' && name[at++] != L'\\') return 0;
  if (at == length) return 0;
  for (; at < length; ++at)
    if (name[at] == L'\\') return 0;
  return 1;
}

const char* JournalName(const char* name) { return name[0] == '\\' ? name + 1 : name; }

namespace {

// The record at list's string record, when it names name (ASCII letters folded): the end of its
// name part ('\0' or '|'); null otherwise.
const char* RecordNames(const char* record, const char* name) {
  for (; *name != '\0'; ++record, ++name)
    if (*record == '\0' || FoldAscii(*record) != FoldAscii(*name)) return nullptr;
  return *record == '\0' || *record == kJournalSeparator ? record : nullptr;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int FormatJournalRecord(char* out, size_t outSize, const char* name, const JournalRecord& record) {
  char tail[2 + 16 + 1] = {kJournalSeparator, record.kind};
  for (int i = 0; i < 16; ++i) tail[2 + i] = "0123456789ABCDEF"[(record.id >> (60 - 4 * i)) & 15];
  return JoinPath(out, outSize, name, tail);
}

int ParseJournalRecord(const char* text, size_t& nameLength, JournalRecord& record) {
  const char* tail = std::strchr(text, kJournalSeparator);
  nameLength = tail ? static_cast<size_t>(tail - text) : std::strlen(text);
  // A record of an earlier version names the backup alone.
  record = JournalRecord{kJournalBackup, 0, 0};
  if (!tail) return 1;
  if ((tail[1] != kJournalBackup && tail[1] != kJournalRetired && tail[1] != kJournalStaged) ||
      std::strlen(tail) != 18)
    return 0;
  uint64_t id = 0;
  for (const char* d = tail + 2; *d != '\0'; ++d) {
    if (HexDigit(*d) < 0) return 0;
    id = id << 4 | static_cast<uint64_t>(HexDigit(*d));
  }
  record = JournalRecord{tail[1], 1, id};
  return 1;
}

int JournalListFind(const char* list, size_t size, const char* name, JournalRecord& record) {
  const size_t end = ListEnd(list, size);
  size_t nameLength = 0;
  for (size_t at = 0; at < end; at += std::strlen(list + at) + 1) {
    if (RecordNames(list + at, name) && ParseJournalRecord(list + at, nameLength, record)) return 1;
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
    if (!RecordNames(list + at, name)) {
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
