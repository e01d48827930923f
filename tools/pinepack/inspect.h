// pinepack list, verify and extract: reading packages and self-contained updaters through the
// updater's own portable reader.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "manifest.h"
#include "tool_error.h"

enum class Container {
  kBare,           // the package signature at offset 0
  kSelfContained,  // no signature at offset 0, "PINE" in the last 4 bytes
  kUnknown,        // neither
};

// Which container file holds: a bare package when it begins with the signature, else a
// self-contained updater when it ends with the trailer's magic.
Container DetectContainer(const std::vector<uint8_t>& file);

// Every problem of the package in file, one message each: every check the updater makes when
// it opens a package, plus full extraction of every entry, duplicate names and names too long.
// Empty when the package is sound. progress gets a line per entry checked.
std::vector<std::string> VerifyPackage(const std::vector<uint8_t>& file, const Progress& progress);

// The container, header, directory and decoded control sections, as text (UTF-8). Throws
// ToolError when the updater would not open the package.
std::string ListPackage(const std::vector<uint8_t>& file);

// Writes every file entry under folder by its entry name ('\' becoming the host's separator),
// and, when manifestPath is not empty, a manifest that rebuilds the package with create.
// Returns the number of files written. Throws ToolError when the updater would not open the
// package or a file cannot be written.
size_t ExtractPackage(const std::vector<uint8_t>& file, const std::filesystem::path& folder,
                      const std::filesystem::path& manifestPath, const Progress& progress);

// The manifest that the control sections of file describe (renames from :XlatNamesTable).
// Throws ToolError when the updater would not open the package or it lacks :RegistryKeys.
Manifest ManifestOfPackage(const std::vector<uint8_t>& file);
