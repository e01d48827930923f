// The one thing the updater reads from a PE image's headers: where its certificate table is.
// Authenticode signing appends that table at the end of the file and records its file offset
// and size in the security directory (data directory entry 4); everything is read through a
// ByteSource and every header value is checked before it is used.
#pragma once

#include <cstdint>

#include "package/package.h"

// The security directory entry of a PE image.
struct CertificateTable {
  uint32_t entryOffset;  // file offset of the 8-byte directory entry itself
  uint32_t offset;       // file offset of the table, as the entry says
  uint32_t size;         // bytes of the table, as the entry says
};

// Reads the DOS header, the PE signature and the optional header (PE32 or PE32+) through
// source. 1 when the image has a security directory entry lying wholly inside both the file and
// the optional header's declared size; table then receives the entry as stored, whatever it
// points at. 0 for anything else (not a PE image, cut headers, fewer than 5 data directories).
int ReadCertificateTable(const ByteSource& source, CertificateTable& table);

// 1 when source is a PE image whose certificate table is not empty and covers exactly the tail
// of the file (offset + size == source.length, without overflow), as signing leaves it; table
// receives it. 0 otherwise.
int CertificateTableAtEnd(const ByteSource& source, CertificateTable& table);
