// The update's changes to the program folder, made in phases, each beside its undo:
//  - Check: nothing changes. Each file to replace or remove is opened so that it can be moved
//    (and nobody else can move it while the run holds it), a delta's base is hashed, a
//    stranger's name.bak in the way is found, and the volume's free space is compared with the
//    new files' sizes.
//  - Stage: each new file is built in full beside its target under a name of the run's own
//    (the target's name, a dot and 16 random hex digits), flushed and checked. Undo: the staged
//    files are deleted, and the folders the run made while still empty.
//  - Commit: renames only, through the files' own handles: each previous file to name.bak, each
//    staged file to its name, each file to remove to name.bak. Undo: the same renames back, in
//    reverse.
//  - End: once the commit stands (and the caller has recorded the patch level), the backups go.
// The journal (update/journal_win32.h) is written whole before each phase acts: the staged
// names before they are made; their identities and the backups' before the first rename; the
// backups as retired once the commit stands. A run killed at any moment thus leaves a journal
// from which RecoverUpdate makes the folder one release again: the old one, unless the commit
// stood. A package that installs all or nothing (kTransactionSection) fails as a whole at the
// first problem, with nothing changed; any other package is installed file by file through the
// same phases, a file that fails being left as it was while the others go on. Win32 only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "package/package.h"
#include "update/paths.h"
#include "update/update.h"

struct FileChange;

// One update's changes. Filled by CheckUpdate and AddRemoval, released by EndUpdate.
struct Update {
  const PackageView* view;
  TargetInfo* target;
  int allOrNothing;
  FileChange* changes;  // malloc'd, count of capacity used
  int count;
  int capacity;
  char* kept;  // malloc'd: the journal's records from earlier runs that stay (retired backups
               // still in use), as a list without its closing NUL; keptSize bytes
  size_t keptSize;
  int committed;  // the journal records the commit as standing: backups are retired
  int journaled;  // this run has written the journal
  int anyFailed;  // a file failed (file by file: the others go on)
  int removals;   // AddRemoval's: 1 while every removal passed, 0 after a failure, -1 in use
};

// Makes the program folder one release again after a run that did not end, as its journal
// says: every staged file deleted (and a new file that a commit had renamed into place), every
// recorded backup renamed back over whatever holds its name, every retired backup deleted.
// Records are trusted only for the file that has their identity. What cannot be done now stays
// recorded. Called before the run asks anything, with the lock held.
void RecoverUpdate(TargetInfo& target);

// Starts update (cleared) and checks every file entry of view, changing nothing. File by file,
// a file that fails is reported when ApplyUpdate reaches it. All or nothing, the first failure is
// shown, and a file in use is named in a question (Retry, Cancel). 1 to go on; 0 when the update
// cannot go on (or the journal cannot be read), code then being the run's exit code
// (exit_codes::kFileInUse when the user cancelled or a silent run found a file in use,
// kFilesFailed otherwise).
int CheckUpdate(const PackageView& view, TargetInfo& target, const char* table, int allOrNothing,
                Update& update, int& code);

// Checks one file of a :FilesToRemove list (its full path; update is the Update) of an update
// that installs all or nothing, to be moved to its backup in the commit; a file that is not
// there, or that the update installs as well (it ends as the new file, as when removed first),
// needs nothing, unless the package carries it only as the base of others (a delta from itself
// to itself): its removal then goes through the run's hold, after them. As CheckUpdate's files, it
// may ask to close a program that holds it; the outcome goes to update.removals, and once that is
// not 1 later calls do nothing.
void AddRemoval(const char* path, void* update);

// File by file: adds the removal of path (a :FilesToRemove name, its full path; update is the
// Update) when the package carries that file only as the base of others (KeptOnlyAsBase), which
// the list's walk before the check leaves alone: ApplyUpdate removes it after every file,
// through the run's hold, unless a file failed. Any other name is the walk's, and nothing here.
void AddKeptRemoval(const char* path, void* update);

// The free space (all or nothing: the new files in full plus a margin), the journal's record of
// the staged names and the backups, then, file by file, each file staged and committed in turn
// with its texts (a file that fails is left as it was, the others go on); all or nothing, every
// file staged, the journal's record of the commit, every rename, and the journal's record of the
// commit standing. 1 when the commit stands (file by file: update.anyFailed tells whether every
// file did); 0 when it was undone, with code the exit code (kDiskFull, kFilesFailed).
int ApplyUpdate(Update& update, int& code);

// The end of the update, after the patch level is recorded: where the commit stood, the backups
// go (a running program's image is retired: renamed to a name of the run's own and deleted at
// the restart); where it did not, the staged files go and the folders the run made while still
// empty. The journal keeps only what is left, and update is released.
void EndUpdate(Update& update);
