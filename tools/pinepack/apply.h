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
  std::vector<std::string> failures;  // one line per file that failed (also in lines)
};

// Applies the package read through source (a bare package or an updater, with or without
// deltas) to folder as the updater does: the listed folders are created and the listed files
// removed (failures ignored), then each file of the package, under its name on disk:
//  - the file on disk is a base of one of its deltas (same size and SHA-256): the new file is
//    built from it and checked;
//  - it already is the new version: it counts as installed and is left as it is;
//  - otherwise its whole entry is installed when the package has one, else the file fails
//    untouched ("not the version the update was made for") and the next file is tried.
// A replaced file is first renamed to name.bak; the new one is built beside it (from it, for a
// delta) and renamed into place only when complete and checked, and the .bak is deleted after
// that; any failure puts the .bak back. A .bak without its file (a run killed in between) is
// put back before the file is looked at, so that a rerun finishes. With dryRun nothing on disk
// changes: every file is built into a hash only (verify --against). Throws ToolError when the
// package would not be opened; failures of single files are in the report.
ApplyReport ApplyPackage(const ByteSource& source, const std::filesystem::path& folder, bool dryRun,
                         const Progress& progress);
