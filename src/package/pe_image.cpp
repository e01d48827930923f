#include "package/pe_image.h"

namespace {

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kNewHeaderField = 0x3C;  // e_lfanew: file offset of "PE\0\0"
// "PE\0\0", the 20-byte file header, and the optional header's 2-byte magic.
constexpr uint32_t kPeHeadSize = 4 + 20 + 2;
constexpr uint32_t kOptionalHeaderSizeField = 4 + 16;  // from "PE\0\0"
constexpr uint32_t kOptionalHeaderStart = 4 + 20;
constexpr uint32_t kMachineField = 4;       // from "PE\0\0"
constexpr uint32_t kSectionCountField = 6;  // from "PE\0\0"
constexpr uint32_t kDirectoryEntrySize = 8;
constexpr uint32_t kDirectoryCountMax = 16;

uint32_t ReadLE16(const unsigned char* p) { return p[0] | (p[1] << 8); }

// source.read of count bytes at offset, only when they lie inside the file.
int ReadAt(const ByteSource& source, uint64_t offset, unsigned char* buffer, uint32_t count) {
  if (offset > UINT32_MAX || !FitsIn(static_cast<uint32_t>(offset), count, source.length)) return 0;
  return source.read(source.context, static_cast<uint32_t>(offset), buffer, count);
}

}  // namespace

int ReadDataDirectory(const ByteSource& source, uint32_t index, DataDirectory& entry) {
  if (!source.read || index >= kDirectoryCountMax) return 0;
  unsigned char dos[kDosHeaderSize];
  if (!ReadAt(source, 0, dos, kDosHeaderSize) || dos[0] != 'M' || dos[1] != 'Z') return 0;
  const uint64_t pe = ReadLE32(dos + kNewHeaderField);
  unsigned char head[kPeHeadSize];
  if (!ReadAt(source, pe, head, kPeHeadSize)) return 0;
  if (head[0] != 'P' || head[1] != 'E' || head[2] != 0 || head[3] != 0) return 0;
  const uint32_t optionalSize = ReadLE16(head + kOptionalHeaderSizeField);
  // Offset of NumberOfRvaAndSizes inside the optional header. In both formats the data
  // directories follow it at once, so entry index begins 4 + 8 * index bytes after it and one
  // read takes the count and the entry.
  uint32_t countField;
  switch (ReadLE16(head + kOptionalHeaderStart)) {
    case 0x10B:  // PE32
      countField = 92;
      break;
    case 0x20B:  // PE32+
      countField = 108;
      break;
    default:
      return 0;
  }
  const uint32_t entryFromCount = 4 + index * kDirectoryEntrySize;
  const uint32_t block = entryFromCount + kDirectoryEntrySize;
  if (countField + block > optionalSize) return 0;
  // pe is at most 2^32 - 1, so no sum below wraps in 64 bits.
  const uint64_t at = pe + kOptionalHeaderStart + countField;
  unsigned char fields[4 + kDirectoryCountMax * kDirectoryEntrySize];
  if (!ReadAt(source, at, fields, block)) return 0;
  if (ReadLE32(fields) <= index) return 0;
  entry.entryOffset = static_cast<uint32_t>(at + entryFromCount);  // inside the file
  entry.offset = ReadLE32(fields + entryFromCount);
  entry.size = ReadLE32(fields + entryFromCount + 4);
  entry.machine = ReadLE16(head + kMachineField);
  entry.sectionCount = ReadLE16(head + kSectionCountField);
  entry.sectionTable = pe + kOptionalHeaderStart + optionalSize;
  return 1;
}

int CertificateTableAtEnd(const ByteSource& source, CertificateTable& table) {
  CertificateTable found;
  if (!ReadCertificateTable(source, found)) return 0;
  if (found.size == 0 || found.size > source.length) return 0;
  if (found.offset != source.length - found.size) return 0;
  table = found;
  return 1;
}
