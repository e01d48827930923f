// The elevated run's only way to the file system below the program folder: through handles that
// were checked. The program folder is opened once; each folder below it is opened (or created)
// relative to the handle of the folder above it, never through a link, checked, and held to the
// end of the run without delete sharing, so that nobody can rename or delete it meanwhile; every
// file is opened, created, renamed and deleted relative to its
// folder's handle or through its own. No name is resolved from the drive's root twice. Win32
// only; the NT calls are loaded from ntdll at run time.
#pragma once

#include <windows.h>

#include <cstdint>

#include "package/handles_win32.h"
#include "update/paths.h"
#include "update/update.h"

// The last error of a name refused because it leads out of its folder: a reparse point (a
// junction, symbolic link or mount point), or, where a link is followed all the same (Wine's
// stand-in for one), a handle whose name the system gives lies elsewhere.
constexpr DWORD kErrorLeavesFolder = ERROR_CANT_RESOLVE_FILENAME;

// Opens the program folder (programFolder ends in a backslash): the folder above it by its name,
// following whatever links the registry's path takes on the way (a program folder on another
// volume), then the folder itself relative to it, which must be no link; a program folder that
// a user emptied and made a link leads elsewhere and is refused. On success tree holds it as its
// folder 0 until ReleaseFolders. 0 with the last error set (kErrorLeavesFolder for a link, or the
// open's error, or ERROR_DIRECTORY for a file).
int HoldProgramFolder(const char* programFolder, FolderTree& tree);

// Opens the folder at path by its name, following whatever links the path takes, as folder 0 of
// tree (which it clears first). 1, or 0 with the last error set.
int HoldFolderByName(const char* path, FolderTree& tree);

// The rollback of the folders the run made: each one deleted, the innermost first, where it is
// empty (one that holds anything stays), and let go. Every later act on tree is refused.
void RemoveCreatedFolders(FolderTree& tree);

// The bytes that the program folder's volume has free for the run (its quota counted), and the
// size of its allocation unit, which every file takes a whole number of. 0 when not told.
int FreeSpace(const FolderTree& tree, uint64_t& bytes, uint32_t& cluster);

// Closes every folder of tree and frees it; safe on an empty tree.
void ReleaseFolders(FolderTree& tree);

// 1 when programFolder, opened by its name as discovery opened it, still is folder 0 of tree:
// when a folder above it was renamed and replaced by a link since discovery, the registry's path
// leads elsewhere, and the run, which holds the folder it found, acts on neither.
int ProgramFolderStillFound(const char* programFolder, const FolderTree& tree);

// How FindFolder treats folders that do not exist.
enum FolderMode {
  kFolderOpen,        // every folder must exist
  kFolderCreateLast,  // the folders above the last must exist; the last is created when missing
  kFolderCreateAll,   // each missing folder on the way is created, from the outermost in
};

// The folder of tree at relative (a canonical relative path, CanonicalName; "" for the program
// folder itself), opened and checked component by component, each relative to the one above it,
// and kept in tree, so that each folder is opened and checked once per run. created receives 1
// when the last folder was made by this call (may be null). The index in tree, or -1 with the
// last error set: ERROR_PATH_NOT_FOUND for a missing folder the mode does not create,
// kErrorLeavesFolder for one that leads out (a link, or a file under a folder's name), and the
// system's error otherwise.
int FindFolder(FolderTree& tree, const char* relative, FolderMode mode, int* created);

// A name on disk as the run reaches it: its folder in the tree, its last component and its
// backup's, and the name as Windows reads it (CanonicalName), by which the journal knows it
// whatever spelling a package or the registry uses.
struct NameInFolder {
  int folder;
  char name[kPathBufferSize];
  char leaf[kPathBufferSize];
  char backupLeaf[kPathBufferSize];
};

// Fills found for name (relative to the program folder), its folders found as mode says. 1, or 0
// with the last error set: ERROR_FILENAME_EXCED_RANGE when the name or its backup's does not
// fit, else as FindFolder.
int FindName(FolderTree& tree, const char* name, FolderMode mode, NameInFolder& found);

// What OpenInFolder found.
enum EntryState { kEntryRefused, kEntryAbsent, kEntryPresent };

// Opens the file leaf (one component) in folder `folder` of tree, never what a link there points
// to, with access and share as CreateFileA takes them. kEntryPresent with file open when it is a
// file lying in that folder; kEntryAbsent when there is none (file empty); kEntryRefused
// otherwise (a link or a folder under that name: last error kErrorLeavesFolder; or the open's
// error, such as ERROR_SHARING_VIOLATION).
EntryState OpenInFolder(const FolderTree& tree, int folder, const char* leaf, DWORD access,
                        DWORD share, OwnedHandle& file);

// Creates the file leaf in folder `folder`, which must not exist (so that no file already there,
// nor a link, is ever opened for writing), for reading, writing and deletion, shared for reading
// only. 1 with file open; 0 with the last error set (ERROR_FILE_EXISTS when the name is taken).
int CreateInFolder(const FolderTree& tree, int folder, const char* leaf, OwnedHandle& file);

// Opens the file leaf in folder `folder`, or creates it where there is none, with access and
// share as CreateFileA takes them; created receives whether it was made. A file that exists must
// pass the test OpenInFolder makes. 1 with file open; 0 with the last error set
// (kErrorLeavesFolder for a link or a name leading out).
int OpenOrCreateInFolder(const FolderTree& tree, int folder, const char* leaf, DWORD access,
                         DWORD share, OwnedHandle& file, int& created);

// Renames the open file (opened with DELETE access) to leaf in folder `folder`, never replacing
// a file there. 1 when renamed; 0 with the last error set (ERROR_ALREADY_EXISTS for a taken name).
int RenameInFolder(HANDLE file, const FolderTree& tree, int folder, const char* leaf);

// Deletes the open file (opened with DELETE access): the name goes when the last handle to it
// closes. 1 when marked; 0 with the last error set (ERROR_ACCESS_DENIED for a read-only file or
// a running program's image).
int DeleteOpenFile(HANDLE file);

// DeleteOpenFile, and where that is refused, the read-only, hidden and system attributes of the
// open file (opened with FILE_WRITE_ATTRIBUTES access too) cleared and DeleteOpenFile again;
// never for a file with more than one hard link (its attributes are those of a file elsewhere
// too). 1 when marked for deletion.
int DeleteOwnFile(HANDLE file);

// A name of the run's own beside stem (a leaf): stem, a dot and 16 hex digits, a random number
// drawn once per run and counted on, which no other file has by chance. 1 when it fits out; 0
// with the last error ERROR_FILENAME_EXCED_RANGE.
int UniqueName(const char* stem, char (&out)[kPathBufferSize]);

// The file's identity on its volume (its file index, which a rename keeps and no other file
// shares); 0 when the system does not tell it (or tells 0, which is no identity).
int FileIdentity(HANDLE file, uint64_t& id);
