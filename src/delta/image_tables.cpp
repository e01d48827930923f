#include "delta/image_tables.h"

#include <cstring>

#include "package/format.h"

namespace {

// Where a coder is: relocations, kUnitStart is a block's 8 header bytes (coding) or its page
// (decoding) next, kEntryCount its number of entries (decoding), kBlockEntries an entry;
// exceptions, kUnitStart an entry's first number (or, coding, its 12 bytes) and the two after.
enum : uint32_t { kUnitStart, kEntryCount, kBlockEntries };

constexpr uint32_t kExceptionEntrySize = 12;

// The longest number: zigzag of a 33-bit difference (5 bytes); a relocation entry's carries four
// bits more (6 bytes).
constexpr uint32_t kNumberBytes = 5;
constexpr uint32_t kRelocationEntryBytes = 6;

int Put(TableOutput& out, const unsigned char* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (out.size == out.capacity) {
      if (!out.flush || !out.flush(out.context, out.data, out.size)) return 0;
      out.size = 0;
    }
    out.data[out.size++] = bytes[i];
  }
  return 1;
}

int PutNumber(TableOutput& out, uint64_t value) {
  unsigned char bytes[10];
  uint32_t n = 0;
  for (; value >= 0x80; value >>= 7) bytes[n++] = static_cast<unsigned char>(value | 0x80);
  bytes[n++] = static_cast<unsigned char>(value);
  return Put(out, bytes, n);
}

uint64_t Zigzag(int64_t value) {
  return value < 0 ? (static_cast<uint64_t>(-(value + 1)) << 1) | 1
                   : static_cast<uint64_t>(value) << 1;
}

int64_t Unzigzag(uint64_t code) {
  return (code & 1) ? -static_cast<int64_t>(code >> 1) - 1 : static_cast<int64_t>(code >> 1);
}

int PutDifference(TableOutput& out, uint64_t value, uint64_t from) {
  return PutNumber(out, Zigzag(static_cast<int64_t>(value) - static_cast<int64_t>(from)));
}

// from plus a zigzag-coded difference, when the sum is a 32-bit value. -1 otherwise.
int64_t Plus(uint64_t from, uint64_t code) {
  const int64_t sum = static_cast<int64_t>(from) + Unzigzag(code);
  return sum < 0 || sum > static_cast<int64_t>(UINT32_MAX) ? -1 : sum;
}

// One byte of a relocation table coded.
int CodeRelocationByte(TableCoder& c, TableOutput& out) {
  if (c.phase == kUnitStart) {
    if (c.held < 8) return 1;
    c.held = 0;
    const uint32_t page = ReadLE32(c.bytes);
    const uint32_t size = ReadLE32(c.bytes + 4);
    if (size < 8 || (size & 1) || size - 8 > c.rawLeft) return 0;
    if (!PutDifference(out, page, c.previous[0]) || !PutNumber(out, (size - 8) / 2)) return 0;
    c.page = page;
    c.previous[0] = page;
    c.entriesLeft = (size - 8) / 2;
    if (c.entriesLeft > 0) c.phase = kBlockEntries;
    return 1;
  }
  if (c.held < 2) return 1;
  c.held = 0;
  const uint32_t entry = c.bytes[0] | static_cast<uint32_t>(c.bytes[1]) << 8;
  const uint64_t rva = uint64_t{c.page} + (entry & 0xFFF);
  if (!PutNumber(out, Zigzag(static_cast<int64_t>(rva - c.previous[1])) << 4 | entry >> 12))
    return 0;
  c.previous[1] = rva;
  if (--c.entriesLeft == 0) c.phase = kUnitStart;
  return 1;
}

// One byte of an exception table coded.
int CodeExceptionByte(TableCoder& c, TableOutput& out) {
  if (c.held < kExceptionEntrySize) return 1;
  c.held = 0;
  const uint32_t start = ReadLE32(c.bytes), end = ReadLE32(c.bytes + 4),
                 unwind = ReadLE32(c.bytes + 8);
  if (!PutDifference(out, start, c.previous[0]) || !PutDifference(out, end, start) ||
      !PutDifference(out, unwind, c.previous[1]))
    return 0;
  c.previous[0] = end;
  c.previous[1] = unwind;
  return 1;
}

// A number of a relocation table decoded.
int DecodeRelocationNumber(TableCoder& c, uint64_t value, TableOutput& out) {
  unsigned char bytes[8];
  if (c.phase == kUnitStart) {
    // Nothing may follow the table's last block.
    const int64_t page = Plus(c.previous[0], value);
    if (c.rawLeft < 8 || page < 0) return 0;
    c.page = static_cast<uint32_t>(page);
    c.previous[0] = c.page;
    c.phase = kEntryCount;
  } else if (c.phase == kEntryCount) {
    if (value > (c.rawLeft - 8) / 2) return 0;
    c.entriesLeft = static_cast<uint32_t>(value);
    WriteLE32(bytes, c.page);
    WriteLE32(bytes + 4, static_cast<uint32_t>(8 + 2 * value));
    if (!Put(out, bytes, 8)) return 0;
    c.rawLeft -= 8;
    c.phase = c.entriesLeft > 0 ? kBlockEntries : kUnitStart;
  } else {
    const int64_t rva = static_cast<int64_t>(c.previous[1]) + Unzigzag(value >> 4);
    if (rva < static_cast<int64_t>(c.page) || rva - c.page >= 0x1000) return 0;
    const uint32_t entry = static_cast<uint32_t>(value & 15) << 12 | (rva - c.page);
    bytes[0] = static_cast<unsigned char>(entry);
    bytes[1] = static_cast<unsigned char>(entry >> 8);
    if (!Put(out, bytes, 2)) return 0;
    c.rawLeft -= 2;
    c.previous[1] = static_cast<uint64_t>(rva);
    if (--c.entriesLeft == 0) c.phase = kUnitStart;
  }
  return 1;
}

// A number of an exception table decoded.
int DecodeExceptionNumber(TableCoder& c, uint64_t value, TableOutput& out) {
  if (c.phase == kUnitStart) {
    const int64_t start = Plus(c.previous[0], value);
    if (c.rawLeft < kExceptionEntrySize || start < 0) return 0;
    c.start = static_cast<uint64_t>(start);
    c.phase = kEntryCount;
  } else if (c.phase == kEntryCount) {
    const int64_t end = Plus(c.start, value);
    if (end < 0) return 0;
    c.end = static_cast<uint64_t>(end);
    c.phase = kBlockEntries;
  } else {
    const int64_t unwind = Plus(c.previous[1], value);
    if (unwind < 0) return 0;
    unsigned char bytes[kExceptionEntrySize];
    WriteLE32(bytes, static_cast<uint32_t>(c.start));
    WriteLE32(bytes + 4, static_cast<uint32_t>(c.end));
    WriteLE32(bytes + 8, static_cast<uint32_t>(unwind));
    if (!Put(out, bytes, kExceptionEntrySize)) return 0;
    c.rawLeft -= kExceptionEntrySize;
    c.previous[0] = c.end;
    c.previous[1] = static_cast<uint64_t>(unwind);
    c.phase = kUnitStart;
  }
  return 1;
}

}  // namespace

int StartTableCoder(TableCoder& coder, uint32_t kind, uint32_t tableSize) {
  std::memset(&coder, 0, sizeof coder);
  coder.kind = kind;
  coder.rawLeft = tableSize;
  coder.phase = kUnitStart;
  return kind == kTableRelocations ||
         (kind == kTableExceptions && tableSize % kExceptionEntrySize == 0);
}

int CodeTable(TableCoder& c, const unsigned char* table, uint32_t count, TableOutput& out) {
  if (count > c.rawLeft) return 0;
  for (uint32_t i = 0; i < count; ++i) {
    c.bytes[c.held++] = table[i];
    --c.rawLeft;
    if (!(c.kind == kTableRelocations ? CodeRelocationByte(c, out) : CodeExceptionByte(c, out)))
      return 0;
  }
  return 1;
}

int DecodeTable(TableCoder& c, const unsigned char* coded, uint32_t count, TableOutput& out) {
  const bool relocations = c.kind == kTableRelocations;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t longest =
        relocations && c.phase == kBlockEntries ? kRelocationEntryBytes : kNumberBytes;
    c.value |= uint64_t{coded[i] & 0x7Fu} << c.shift;
    c.shift += 7;
    if (coded[i] & 0x80) {
      if (c.shift >= 7 * longest) return 0;
      continue;
    }
    const uint64_t value = c.value;
    c.value = 0;
    c.shift = 0;
    if (!(relocations ? DecodeRelocationNumber(c, value, out)
                      : DecodeExceptionNumber(c, value, out)))
      return 0;
  }
  return 1;
}

int TableEnded(const TableCoder& c) {
  return c.rawLeft == 0 && c.phase == kUnitStart && c.held == 0 && c.shift == 0;
}
