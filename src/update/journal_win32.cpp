#include "update/journal_win32.h"

#include <windows.h>

#include <cstdlib>

#include "update/checked_fs_win32.h"

namespace {

// The most a journal read takes: far more than the records of the largest update (two per file),
// and a bound on the memory a damaged value could ask for.
constexpr DWORD kJournalLimit = 64u << 20;

HKEY OpenKey(const char* keyPath, REGSAM access) {
  HKEY key;
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, access, &key) == ERROR_SUCCESS ? key
                                                                                      : nullptr;
}

}  // namespace

int JournalRead(const char* keyPath, char*& list, size_t& size) {
  list = nullptr;
  size = 0;
  HKEY key = OpenKey(keyPath, KEY_QUERY_VALUE);
  if (!key) return 0;
  int read = 0;
  DWORD type = 0;
  DWORD length = 0;
  LONG result = RegQueryValueExA(key, kJournalValue, nullptr, &type, nullptr, &length);
  if (result == ERROR_FILE_NOT_FOUND) {
    read = 1;
  } else if (result == ERROR_SUCCESS && length <= kJournalLimit) {
    // One byte more for a NUL after the bytes: a last name stored without its NUL still ends.
    list = static_cast<char*>(std::malloc(length + 2u));
    result = list ? RegQueryValueExA(key, kJournalValue, nullptr, &type,
                                     reinterpret_cast<BYTE*>(list), &length)
                  : ERROR_NOT_ENOUGH_MEMORY;
    read = result == ERROR_SUCCESS;
    // A value of another type counts as none.
    if (read && type == REG_MULTI_SZ) {
      list[length] = '\0';
      list[length + 1] = '\0';
      size = length + 1;
    }
  }
  RegCloseKey(key);
  if (!read || size == 0) {
    std::free(list);
    list = nullptr;
  }
  return read;
}

int JournalWrite(const char* keyPath, const char* list, size_t size) {
  HKEY key = OpenKey(keyPath, KEY_SET_VALUE);
  if (!key) return 0;
  LONG result;
  if (size <= 1) {
    result = RegDeleteValueA(key, kJournalValue);
    if (result == ERROR_FILE_NOT_FOUND) result = ERROR_SUCCESS;
  } else {
    result = RegSetValueExA(key, kJournalValue, 0, REG_MULTI_SZ,
                            reinterpret_cast<const BYTE*>(list), static_cast<DWORD>(size));
  }
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

int JournalFind(const char* keyPath, const char* name, JournalRecord& record) {
  char* list;
  size_t size;
  const int found =
      JournalRead(keyPath, list, size) && JournalListFind(list, size, JournalName(name), record);
  std::free(list);
  return found;
}

int JournalRecordIs(const JournalRecord& record, void* file) {
  uint64_t id = 0;
  return !record.hasId || (FileIdentity(static_cast<HANDLE>(file), id) && id == record.id);
}
