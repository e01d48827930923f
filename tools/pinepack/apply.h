// pinepack apply and verify --against: a package applied to a folder by the updater's own
// rules for files, without the registry, so that a vendor can try a patch on a copy of each old
// release before shipping it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "package/package.h"
#include "tool_error.h"

struct ApplyReport {
  std::vector<std::string> lines;     // what became of each folder, removal and file (UTF-8)
  std::vector<std::string> failures;  // one line per problem (also in lines)
  bool allOrNothing = false;          // the package's :Transaction was followed
};

// Applies the package read through source (a bare package or an updater, with or without
// deltas) to folder as the updater does, each file under its name on disk. For each file:
//  - the file on disk is a base of one of its deltas (same size and SHA-256): the new file is
//    built from it and checked;
//  - it already is the new version: it counts as installed and is left as it is;
//  - otherwise its whole entry is installed when the package has one, else the file is "not the
//    version the update was made for".
//
// A package with :Transaction of known rules (KnownTransactionRules) installs all or nothing, in
// phases whose lines begin "check:", "stage:" and "commit:":
//  - check, before anything on disk changes: every file to write or remove is a file or absent,
//    has its base where it needs a delta, and has no name.bak beside it where its previous
//    version is to be set aside; any problem ends the run there;
//  - stage: the listed folders and those on each file's way made, every new file built in full
//    beside its target under a name no file has (name.<16 hex digits>.new) and checked; a
//    failure (a damaged entry, a full disk) deletes every staged file and every folder the run
//    made that is empty;
//  - commit: renames only: each previous version and each file to remove to name.bak, each
//    staged file to its name, never onto a name that holds a file; a failed rename undoes every
//    rename so far in reverse and deletes what stage made. Then the backups are deleted.
// A file listed for removal and installed too is removed first, as file by file. Whatever fails,
// the folder is as before (unless undoing a rename fails too, which the report says).
//
// Any other package installs file by file, as updaters before the mark do: the listed folders
// are created and the listed files removed (failures ignored), then each file on its own, a
// failed one (left untouched) not stopping the next. A replaced file is first renamed to
// name.bak; the new one is built beside it (from it, for a delta) and renamed into place only
// when complete and checked, and the .bak is deleted after that; any failure puts the .bak
// back. A .bak without its file (a run killed in between) is put back before the file is looked
// at, so that a rerun finishes.
//
// A delta from another file's new version reads that file where the run built it (in place, or
// staged), checked by size and SHA-256 first.
//
// With dryRun nothing on disk changes: every file is built into a hash only (verify --against),
// or into memory where a later file's delta starts from it, after the check for an
// all-or-nothing package. Throws ToolError when the package would not be
// opened; every other failure is in the report.
ApplyReport ApplyPackage(const ByteSource& source, const std::filesystem::path& folder, bool dryRun,
                         const Progress& progress);
