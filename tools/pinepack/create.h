// pinepack create: a package from a folder of new files and a manifest.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "manifest.h"
#include "package_writer.h"
#include "tool_error.h"

struct CreateOptions {
  int level = 9;          // zlib level of every stream
  bool storeAll = false;  // store every entry instead of deflating
  // Files under the folder that are not packaged (the manifest or the output, when they lie
  // inside it).
  std::vector<std::filesystem::path> exclude;
  // Folders of installed old versions (--from), each laid out as the program folder. When
  // given, only what differs goes into the package (see BuildPackageSpec).
  std::vector<std::filesystem::path> bases;
  // With bases: a changed file carries its whole entry too, for machines where no base matches.
  bool fullFallback = false;
  // The package carries kTransactionSection: the updater installs all of it or nothing. false
  // (--per-file): each file on its own, the package byte for byte as before the mark.
  bool allOrNothing = true;
};

// What became of one file of the folder.
struct PackedFile {
  std::string entryName;  // as stored in the directory (Windows-1251, '\')
  std::string diskName;   // name it is installed under; empty when that is entryName
  uint32_t size = 0;
  uint32_t packedSize = 0;  // the whole entry's; UINT32_MAX when only deltas travel and it was not
                            // deflated to the end
  bool deflated = false;
  bool whole = true;                 // the whole file is in the package
  std::vector<uint32_t> deltaSizes;  // bytes of each delta entry, one per distinct base version
  std::string baseName;  // the package name of the file of the release whose new version the one
                         // delta starts from; empty when the deltas start from old versions
};

// Entry name given to a file whose path does not fit 31 bytes: "~N" plus the extension when it
// fits, N counting up from 1 until the name collides with no other entry.
constexpr size_t kMaxEntryName = 31;

// The sections of the manifest and every regular file under folder (sorted by path, '\'
// separators), laid out as vendors' packages are: :StartupMsg, :RegistryKeys, :Transaction,
// :XlatNamesTable, :Folders, :FilesToRemove (each only when it has content, the first two always
// when given, :Transaction with options.allOrNothing), then the files. Each stream is deflated
// unless that does not make it smaller.
//
// With options.bases, the package updates those versions: a file whose bytes are the same (under
// the name it is installed under) in every base is left out, unless it is the nearest file to a
// changed or new one (found by ContentSamples, as is a file of the package that is): it then
// travels as a group of one delta to itself, so that the update requires it as it was and holds
// it for that file's delta (never with fullFallback, nor for a file whose path is not its entry
// name or is another file's entry name); a changed file gets a delta from
// each distinct base version that has it, each applied and checked here before it is taken, and
// dropped when the whole deflated file is no larger; the whole entry follows its deltas when a
// base lacks the file, when a delta was dropped, or with fullFallback. A delta is range coded
// where that is smaller, as far as the decoding time the whole update may spend goes
// (RangeDecodingBudget over every file of the new folder, ChooseRangeCoded), else deflated
// words. Files of a base that the new folder lacks are added to :FilesToRemove and folders that
// a base lacks to :Folders (after the manifest's). Without bases the package is exactly as before.
//
// Throws ToolError for a name Windows-1251 cannot hold or that leaves the folder, two files whose
// names differ only in A-Z letter case, a rename of a file that is not in the folder, a file of 4
// GiB or more.
PackageSpec BuildPackageSpec(const std::filesystem::path& folder, const Manifest& manifest,
                             const CreateOptions& options, const Progress& progress,
                             std::vector<PackedFile>* files = nullptr);
