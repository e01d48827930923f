// The one thing the updater reads from a PE image's headers: where its certificate table is.
// Authenticode signing appends that table at the end of the file and records its file offset
// and size in the security directory (data directory entry 4); everything is read through a
// ByteSource and every header value is checked before it is used.
#pragma once

#include <cstdint>

#include "package/package.h"

// A data directory entry of a PE image, with the file header's fields that place it.
struct DataDirectory {
  uint32_t entryOffset;   // file offset of the 8-byte directory entry itself
  uint32_t offset;        // its first field: an RVA (for the security directory a file offset)
  uint32_t size;          // its second field: bytes
  uint32_t machine;       // the file header's machine type
  uint32_t sectionCount;  // the file header's number of sections
  uint64_t sectionTable;  // file offset of the section headers, after the optional header
};

// Reads the DOS header, the PE signature and the optional header (PE32 or PE32+) through
// source. 1 when the image has data directory index (NumberOfRvaAndSizes above it) lying wholly
// inside both the file and the optional header's declared size; entry then receives it as
// stored, whatever it points at. 0 for anything else.
int ReadDataDirectory(const ByteSource& source, uint32_t index, DataDirectory& entry);

// The security directory entry of a PE image: offset is the table's file offset, size its
// bytes, as the entry says.
using CertificateTable = DataDirectory;
constexpr uint32_t kSecurityDirectory = 4;

// ReadDataDirectory of the security directory (0 also for fewer than 5 data directories).
inline int ReadCertificateTable(const ByteSource& source, CertificateTable& table) {
  return ReadDataDirectory(source, kSecurityDirectory, table);
}

// 1 when source is a PE image whose certificate table is not empty and covers exactly the tail
// of the file (offset + size == source.length, without overflow), as signing leaves it; table
// receives it. 0 otherwise.
int CertificateTableAtEnd(const ByteSource& source, CertificateTable& table);
