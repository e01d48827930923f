#include "update/journal_win32.h"

#include <windows.h>

#include <cstring>

#include "package/handles_win32.h"
#include "update/checked_fs_win32.h"
#include "update/paths.h"

namespace {

// The most the value holds, written or read: far more than the names a run leaves pending at
// once (one at a time in a run that goes well).
constexpr DWORD kJournalCapacity = 65536;
// A list read gets a NUL after its bytes, so its buffer is one byte longer.
constexpr DWORD kJournalBufferSize = kJournalCapacity + 1;

// The key's journal read into list (kJournalBufferSize bytes); listSize receives its size (0 when
// there is none; a value of another type counts as none). 0 when it cannot be read.
int ReadJournal(HKEY key, char* list, size_t& listSize) {
  DWORD type = 0;
  DWORD size = kJournalCapacity;
  const LONG result =
      RegQueryValueExA(key, kJournalValue, nullptr, &type, reinterpret_cast<BYTE*>(list), &size);
  listSize = 0;
  if (result == ERROR_FILE_NOT_FOUND) return 1;
  if (result != ERROR_SUCCESS) return 0;
  if (type == REG_MULTI_SZ) {
    list[size] = '\0';  // a last name stored without its NUL still ends
    listSize = size + 1;
  }
  return 1;
}

HKEY OpenKey(const char* keyPath, REGSAM access) {
  HKEY key;
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, access, &key) == ERROR_SUCCESS ? key
                                                                                      : nullptr;
}

}  // namespace

int JournalPut(const char* keyPath, const char* name, const JournalRecord& record) {
  char line[kPathBufferSize + 32];
  if (!FormatJournalRecord(line, sizeof line, JournalName(name), record)) return 0;
  HKEY key = OpenKey(keyPath, KEY_QUERY_VALUE | KEY_SET_VALUE);
  if (!key) return 0;
  OwnedBuffer list(kJournalBufferSize);
  char* bytes = reinterpret_cast<char*>(list.Bytes());
  size_t size = 0;
  int recorded = 0;
  if (list.Valid() && ReadJournal(key, bytes, size)) {
    if (size > 0) size = JournalListRemove(bytes, size, JournalName(name));
    size = JournalListAdd(bytes, size, kJournalCapacity, line);
    recorded = size > 0 && RegSetValueExA(key, kJournalValue, 0, REG_MULTI_SZ,
                                          reinterpret_cast<const BYTE*>(bytes),
                                          static_cast<DWORD>(size)) == ERROR_SUCCESS;
  }
  RegCloseKey(key);
  return recorded;
}

int JournalFind(const char* keyPath, const char* name, JournalRecord& record) {
  HKEY key = OpenKey(keyPath, KEY_QUERY_VALUE);
  if (!key) return 0;
  OwnedBuffer list(kJournalBufferSize);
  char* bytes = reinterpret_cast<char*>(list.Bytes());
  size_t size = 0;
  const int found = list.Valid() && ReadJournal(key, bytes, size) &&
                    JournalListFind(bytes, size, JournalName(name), record);
  RegCloseKey(key);
  return found;
}

int JournalRecordIs(const JournalRecord& record, void* backup) {
  uint64_t id = 0;
  return !record.hasId || (FileIdentity(static_cast<HANDLE>(backup), id) && id == record.id);
}

void JournalRemove(const char* keyPath, const char* name) {
  HKEY key = OpenKey(keyPath, KEY_QUERY_VALUE | KEY_SET_VALUE);
  if (!key) return;
  OwnedBuffer list(kJournalBufferSize);
  char* bytes = reinterpret_cast<char*>(list.Bytes());
  size_t size = 0;
  if (list.Valid() && ReadJournal(key, bytes, size) && size > 0) {
    const size_t left = JournalListRemove(bytes, size, JournalName(name));
    if (left <= 1)
      RegDeleteValueA(key, kJournalValue);
    else if (left != size)
      RegSetValueExA(key, kJournalValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(bytes),
                     static_cast<DWORD>(left));
  }
  RegCloseKey(key);
}
