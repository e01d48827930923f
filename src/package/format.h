// On-disk records of an update package and of the self-contained updater's trailer.
// All integers are unsigned 32-bit little-endian and unaligned in the file; the records below
// are byte-exact images of them, read by memcpy on this (little-endian) machine.
#pragma once

#include <cstdint>
#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "package records are read by memcpy");

constexpr uint32_t kHeaderSize = 32;
constexpr uint32_t kEntrySize = 48;
constexpr uint32_t kEntryNameSize = 32;
constexpr uint32_t kTrailerSize = 8;

// Flag bit of DirectoryEntry::flags: the stored data is one zlib stream. No other bit counts.
constexpr uint32_t ENTRY_DEFLATED = 0x10000;
// Flag bit of DirectoryEntry::flags, in a package with kDeltaPackageSignature only: the stored
// data is a delta stream (delta/delta.h). A plain package's flag bits other than ENTRY_DEFLATED
// mean nothing.
constexpr uint32_t ENTRY_DELTA = 0x20000;

// Deflate never compresses better than 1032:1, so a stream of n bytes cannot inflate to more
// than n * 1032 bytes. Checking this at open keeps a tiny damaged package from asking for
// gigabytes of memory for its directory or a section buffer.
constexpr uint64_t kMaxInflateRatio = 1032;

// Low two bits of PackageHeader::directoryMethod.
constexpr uint32_t kDirectoryStored = 0;
constexpr uint32_t kDirectoryRejected = 1;
constexpr uint32_t kDirectoryDeflated = 2;
constexpr uint32_t kDirectoryStoredToo = 3;

// "Pinecone data  " and the byte 0x1A; compared byte for byte.
inline constexpr unsigned char kPackageSignature[16] = {'P', 'i', 'n', 'e', 'c', 'o', 'n', 'e',
                                                        ' ', 'd', 'a', 't', 'a', ' ', ' ', 0x1A};
// The signature of a package that holds delta entries (delta/delta_package.h): "Pinecone delta "
// and the byte 0x1A. Readers of plain packages refuse it as they refuse any other signature.
inline constexpr unsigned char kDeltaPackageSignature[16] = {
    'P', 'i', 'n', 'e', 'c', 'o', 'n', 'e', ' ', 'd', 'e', 'l', 't', 'a', ' ', 0x1A};
inline constexpr unsigned char kTrailerMagic[4] = {'P', 'I', 'N', 'E'};

// Names of the control sections.
inline constexpr char kStartupMsgSection[] = ":StartupMsg";
inline constexpr char kRegistryKeysSection[] = ":RegistryKeys";
inline constexpr char kXlatNamesSection[] = ":XlatNamesTable";
inline constexpr char kFoldersSection[] = ":Folders";
inline constexpr char kFilesToRemoveSection[] = ":FilesToRemove";
// Control section of a package that installs all or nothing: every file is checked, then built
// beside its target, then all are renamed into place, or nothing changes. Its payload is the
// version of those rules, uint32 1. An updater that does not know it carries it along unused
// and installs the package file by file.
inline constexpr char kTransactionSection[] = ":Transaction";
inline constexpr const char* kControlSections[] = {kStartupMsgSection, kRegistryKeysSection,
                                                   kXlatNamesSection, kFoldersSection,
                                                   kFilesToRemoveSection};
constexpr int kControlSectionCount = sizeof kControlSections / sizeof kControlSections[0];

struct PackageHeader {
  unsigned char signature[16];
  uint32_t entryCount;
  uint32_t directoryOffset;  // from the package start
  uint32_t directoryMethod;
  uint32_t directoryPackedSize;
};

struct DirectoryEntry {
  char name[kEntryNameSize];  // NUL-terminated, NUL-filled
  uint32_t dataOffset;        // from the package start
  uint32_t size;              // extracted length in bytes
  uint32_t flags;
  uint32_t packedSize;  // zlib stream length, when ENTRY_DEFLATED
};

struct PackageTrailer {
  uint32_t packageOffset;  // file offset of the PackageHeader
  unsigned char magic[4];
};

static_assert(sizeof(PackageHeader) == kHeaderSize, "header layout");
static_assert(sizeof(DirectoryEntry) == kEntrySize, "entry layout");
static_assert(sizeof(PackageTrailer) == kTrailerSize, "trailer layout");

inline uint32_t ReadLE32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline void WriteLE32(unsigned char* p, uint32_t v) { std::memcpy(p, &v, 4); }

// 1 when [offset, offset + length) lies within [0, total); written so that nothing overflows.
inline bool FitsIn(uint32_t offset, uint64_t length, uint32_t total) {
  return length <= total && offset <= total - length;
}

// A control section's name begins with ':'; every other entry is a file to install.
inline bool IsControlSection(const DirectoryEntry& e) { return e.name[0] == ':'; }
