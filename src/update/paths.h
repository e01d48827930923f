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

// A letter A-Z as a-z; every other byte as it is: names compare so.
inline char FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// name (a name on disk, relative to the program folder) as Windows reads it, into out (outSize
// bytes): '\' and '/' both separate, runs of separators and leading ones read as one or none,
// and each component loses its trailing dots and blanks (which Windows drops from a path's last
// component, and which no folder of a name keeps either); the components joined by '\'.
// "\data//maps.\x.dll " reads as "data\maps\x.dll". Its length, or -1 when it does not fit
// (out then empty).
int CanonicalName(const char* name, char* out, size_t outSize);

// Splits a canonical name in place: its last component is copied to leaf (leafSize bytes), and
// name keeps the folder part ("" for a name without one). 1 when the leaf is not empty and fits.
int FolderAndLeaf(char* name, char* leaf, size_t leafSize);

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

// 1 when text names a folder by an absolute path: a drive letter, ':' and a separator ("C:\Prog",
// "C:/Prog"), or a UNC path with a server and a share ("\\server\share", "\\server\share\Prog").
// A relative ("Prog"), drive-relative ("C:Prog"), rooted ("\Prog") or empty path is not; nor is a
// device or object-manager path ("\\?\...", "\\.\..."), whose server part is "?" or ".".
int IsAbsoluteFolderPath(const char* text);

// 1 when name (length characters) names an entry directly in folder (folderLength characters),
// both as the system names open handles ("\??\C:\Prog", "\Device\HarddiskVolume2\Prog"):
// folder is a prefix of name, compared with the ASCII letters folded as the file system folds
// them, followed by a backslash (unless folder ends in one) and one component, not empty, with
// no backslash of its own.
int NameDirectlyInside(const wchar_t* folder, size_t folderLength, const wchar_t* name,
                       size_t length);

// The journal of the backups a run made: the names on disk (relative to the program folder, one
// leading backslash dropped) whose name + ".bak" a run of the updater created, as a list of
// NUL-terminated names ended by an empty name (the layout of a REG_MULTI_SZ value). size counts
// every byte of the list, its closing NUL included; a list is never read past size.

// The journal's spelling of a name on disk: name without its one leading backslash, so that
// "\a.dll" and "a.dll", which name the same file, are one entry.
const char* JournalName(const char* name);

// A record is the name alone (as an earlier version of the updater wrote it: the backup, known
// by its name) or the name, kJournalSeparator, the kind and the backup's file identity in 16
// upper-case hex digits ("a.dll|B00000000004A1F07"). '|' is no character of a file name.
constexpr char kJournalSeparator = '|';
enum : char {
  kJournalBackup = 'B',   // name.bak is the previous file, set aside by a run that did not end
  kJournalRetired = 'R',  // name.bak is a backup of ours that could not be deleted: never the
                          // previous file; a later run deletes it
  kJournalStaged = 'S',   // name is a new file of an update that did not end, made under that
                          // name of the run's own (the target's name, a dot, 16 hex digits):
                          // identity 0 until it is complete, then its own, which it keeps when
                          // renamed to the target's name
};
struct JournalRecord {
  char kind;
  int hasId;    // 0: a record of an earlier version, naming the backup alone
  uint64_t id;  // the backup's file identity
};

// The record of name, kind and identity, into out. 1 when it fits.
int FormatJournalRecord(char* out, size_t outSize, const char* name, const JournalRecord& record);

// Reads the record string text: nameLength receives the length of its name part, record its
// kind and identity (a name alone reads as a backup without an identity). 0 when its tail does
// not read as a kind and 16 hex digits: a record that names nothing we could tell again.
int ParseJournalRecord(const char* text, size_t& nameLength, JournalRecord& record);

// 1 when the list has a record of name (ASCII letters folded), with record filled from it; a
// record whose tail does not read as a kind and an identity is passed over.
int JournalListFind(const char* list, size_t size, const char* name, JournalRecord& record);

// Appends the record string record (FormatJournalRecord) to the list in buffer (capacity bytes)
// and returns the new size, or 0 when it does not fit. size 0 is an empty list.
size_t JournalListAdd(char* buffer, size_t size, size_t capacity, const char* name);

// Removes every record of name from the list in place, and a last name without its NUL, which
// is no name, and returns the new size; 1 (only the closing NUL) or 0 means the list is empty.
size_t JournalListRemove(char* list, size_t size, const char* name);
