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
};

// What became of one file of the folder.
struct PackedFile {
  std::string entryName;  // as stored in the directory (Windows-1251, '\')
  std::string diskName;   // name it is installed under; empty when that is entryName
  uint32_t size = 0;
  uint32_t packedSize = 0;
  bool deflated = false;
};

// Entry name given to a file whose path does not fit 31 bytes: "~N" plus the extension when it
// fits, N counting up from 1 until the name collides with no other entry.
constexpr size_t kMaxEntryName = 31;

// The sections of the manifest and every regular file under folder (sorted by path, '\'
// separators), laid out as vendors' packages are: :StartupMsg, :RegistryKeys, :XlatNamesTable,
// :Folders, :FilesToRemove (each only when it has content, the first two always when given),
// then the files. Each stream is deflated unless that does not make it smaller. Throws ToolError
// for a name Windows-1251 cannot hold or that leaves the folder, two files whose names differ
// only in A-Z letter case, a rename of a file that is not in the folder, a file of 4 GiB or more.
PackageSpec BuildPackageSpec(const std::filesystem::path& folder, const Manifest& manifest,
                             const CreateOptions& options, const Progress& progress,
                             std::vector<PackedFile>* files = nullptr);
