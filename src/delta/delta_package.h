// Delta entries in a package, and what to do for one file of a package that may hold them.
//
// A package that holds a delta entry starts with its own signature, kDeltaPackageSignature,
// in place of the plain one: every reader compares the signature first, so a reader that
// knows only whole entries refuses such a package as a whole, before it installs or skips
// anything. A package without delta entries is a plain package, byte for byte.
//
// In a delta package the entries of one file name stand together, in this order: its deltas
// (ENTRY_DELTA, one for each base version the update serves), then at most one whole entry
// (stored or deflated, as in a plain package) for machines on which no base matches. All of
// them give the one new version: every delta names the same result (size and SHA-256), and the
// whole entry is that file. A delta entry's stored data is a delta stream (delta.h) of `size`
// bytes, never deflated as a whole (its body is deflated already).
#pragma once

#include <cstdint>

#include "delta/delta.h"
#include "package/format.h"
#include "package/package.h"

// Whether entry e of view is a delta: only in a package with the delta signature; in a plain
// package the bit means nothing, as every flag bit but ENTRY_DEFLATED.
inline bool IsDeltaEntry(const PackageView& view, const DirectoryEntry& e) {
  return view.hasDeltas && (e.flags & ENTRY_DELTA) != 0;
}

// The delta stream of entry e of view.
DeltaStream EntryDeltaStream(const PackageView& view, const DirectoryEntry& e);

// Number of consecutive entries from first on with the name of entry first: one file's group
// in a delta package; 1 in a plain package, where every entry is installed on its own.
int FileGroupLength(const PackageView& view, int first);

// The rules of a delta package's directory (see above), for a reader to check at load: each
// name's entries consecutive, its deltas before its whole entry, at most one whole entry, no
// delta deflated or for a control section, every delta's header sound, and every delta's result
// (size and SHA-256) and the whole entry's size those of the name's first delta. The whole
// entry's hash is not checked: that would take inflating it, which loading does not do (pinepack
// verify, which inflates every entry, checks it). kRefusedNone, or the reason
// (kRefusedDeltaForm, kRefusedDeltaHeader, kRefusedDeltaOrder, kRefusedDeltaResult) with
// badEntry set to the index of the first entry at fault, or kRefusedNoMemory (badEntry untouched).
// Time O(n log n) in the entries, whatever their names; memory a pointer per entry.
PackageRefusal CheckDeltaEntries(const PackageView& view, int& badEntry);

enum FileAction {
  kFileInstallWhole,  // write the whole entry `entry`
  kFileApplyDelta,    // build the file from its base (the file on disk) and delta entry `entry`
  kFileAlreadyNew,    // the file on disk is the new version: nothing to write
  kFileNoBase,        // the file on disk is no base, and there is no whole entry: fail the file
};

struct FilePlan {
  FileAction action;
  int entry;      // the entry to install or apply; -1 otherwise
  int baseGroup;  // a delta from another file's new version: where that file's entries start;
                  // -1 otherwise
};

// The files that a run builds before the one it plans: isBuilt(context, group) is 1 when the
// new version of the file whose entries start at entry group will be there, under the run's
// hold, when this one is built (it is built earlier, or it was found already new), else 0.
struct BuiltFiles {
  int (*isBuilt)(void* context, int group);
  void* context;
};

// What to do for the file group starting at entry first (FileGroupLength entries), given the
// file on disk read through existing (null when there is none) and the files built before it
// (null: none): the file already new; else a delta from the file on disk, when one was made
// for its version; else a delta from another file's new version that built has; else the whole
// entry. The file is hashed only when its size is one that a delta names. A delta from another
// file is chosen by its base's place alone: its base is to be checked when it is applied
// (ApplyDelta's checkBase). buffer (room for chunk bytes) is the caller's. 1 with plan; 0 when
// the file cannot be read.
int PlanFile(const PackageView& view, int first, const ByteSource* existing,
             const BuiltFiles* built, unsigned char* buffer, uint32_t chunk, FilePlan& plan);

// The group whose new version is the base of delta entry `entry`: -1 when its base is the file's
// own installed version (or the header cannot be read).
int DeltaBaseGroup(const PackageView& view, int entry);

// Whether the package carries the file whose entries start at entry first only as the base of
// other files' deltas: its one entry a delta from the installed version to that very version.
// Where the removals list such a file (a library the release renames), it is removed after the
// files built from it, not taken for one the update installs (which stays as the new file).
int KeptOnlyAsBase(const PackageView& view, int first);
