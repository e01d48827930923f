// pinepack list, verify and extract: reading packages and self-contained updaters (signed or
// not) through the updater's own portable reader. Everything is read through a ByteSource in
// bounded pieces: the directory and the control sections are the only parts held in memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "manifest.h"
#include "package/package.h"
#include "tool_error.h"

enum class Container {
  kBare,           // the package signature at offset 0
  kSelfContained,  // no signature at offset 0, and a trailer (FindTrailer: unsigned or signed)
  kUnknown,        // neither
};

// Which container the file read through source is: a bare package when it begins with the
// signature, else a self-contained updater when FindTrailer finds its trailer.
Container DetectContainer(const ByteSource& source);

// Every problem of the package in the file, one message each: every check the updater makes
// when it opens a package, plus full extraction of every entry, duplicate names and names too
// long. Empty when the package is sound. progress gets a line per entry checked.
std::vector<std::string> VerifyPackage(const ByteSource& source, const Progress& progress);

// A reason of the updater's reader for refusing a package (LoadPackage's view.refusal), as an
// English sentence; never empty.
const char* RefusalWording(PackageRefusal refusal);

// The problem that the reader's refusal names, for a vendor: the entry at fault (entry, -1 for
// none) by index and name, the wording of the reason, and the figures of view that place it.
// view is the reader's, after LoadPackage (or CheckEntries) gave the refusal.
std::string RefusalProblem(const PackageView& view, PackageRefusal refusal, int entry);

// Whether payload, a :Transaction section's, names the all-or-nothing rules pinepack follows:
// exactly 4 bytes holding kTransactionRules. Any other payload names rules that neither pinepack
// nor an updater of its time knows, and such a package installs file by file.
bool KnownTransactionRules(const std::vector<uint8_t>& payload);

// The container (with the certificate table of a signed updater), header, directory, how the
// package installs (all or nothing, or file by file) and decoded control sections, as text
// (UTF-8). Throws ToolError when the updater would not open the package.
std::string ListPackage(const ByteSource& source);

// How extract lays out the files.
enum class ExtractLayout {
  kInstalled,  // each file under its name on disk (after :XlatNamesTable), as the update installs
               // it
  kRaw,        // each file under its entry name, as stored in the directory
};

// Writes every file entry under folder ('\' becoming the host's separator), streaming each one,
// and, when manifestPath is not empty, a manifest from which create rebuilds a package with the
// same entries: in the installed layout it names the entry of every file whose entry name is not
// its name on disk (entryNames), in the raw layout the translation table becomes renames. When
// two entries are installed under one name, the later one is written, as the update does; a
// manifest cannot describe that folder, so with manifestPath set it throws before writing.
// Returns the number of files written. Throws ToolError when the updater would not open the
// package or a file cannot be written.
size_t ExtractPackage(const ByteSource& source, const std::filesystem::path& folder,
                      const std::filesystem::path& manifestPath, ExtractLayout layout,
                      const Progress& progress);

// The manifest that the control sections describe, the translation table's pairs as renames.
// Throws ToolError when the updater would not open the package or it lacks :RegistryKeys.
Manifest ManifestOfPackage(const ByteSource& source);

// The 32 bytes of a SHA-256 digest as 64 lower-case hex digits.
std::string HexDigest(const unsigned char* digest);
