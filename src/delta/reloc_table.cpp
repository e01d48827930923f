#include "delta/reloc_table.h"

#include <cstring>

#include "package/format.h"

namespace {

enum : uint32_t {
  kBlockStart,   // coding: a block's 8 header bytes next; decoding: its page next
  kEntryCount,   // decoding: the block's number of entries next
  kBlockEntries  // an entry next (coding: its 2 bytes; decoding: its number)
};

// The longest numbers: a page's change (zigzag of 33 bits), a count (31 bits), an entry's
// (zigzag of 34 bits, four bits more).
constexpr uint32_t kPageNumberBytes = 5;
constexpr uint32_t kCountNumberBytes = 5;
constexpr uint32_t kEntryNumberBytes = 6;

int Put(RelocOutput& out, const unsigned char* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (out.size == out.capacity) {
      if (!out.flush || !out.flush(out.context, out.data, out.size)) return 0;
      out.size = 0;
    }
    out.data[out.size++] = bytes[i];
  }
  return 1;
}

int PutNumber(RelocOutput& out, uint64_t value) {
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

}  // namespace

void StartRelocCoder(RelocCoder& coder, uint32_t tableSize) {
  std::memset(&coder, 0, sizeof coder);
  coder.rawLeft = tableSize;
  coder.phase = kBlockStart;
}

int CodeRelocTable(RelocCoder& c, const unsigned char* table, uint32_t count, RelocOutput& out) {
  if (count > c.rawLeft) return 0;
  for (uint32_t i = 0; i < count; ++i) {
    c.bytes[c.held++] = table[i];
    --c.rawLeft;
    if (c.phase == kBlockStart) {
      if (c.held < 8) continue;
      c.held = 0;
      const uint32_t page = ReadLE32(c.bytes);
      const uint32_t size = ReadLE32(c.bytes + 4);
      if (size < 8 || (size & 1) || size - 8 > c.rawLeft) return 0;
      if (!PutNumber(out, Zigzag(static_cast<int64_t>(page) - c.previousPage)) ||
          !PutNumber(out, (size - 8) / 2))
        return 0;
      c.page = c.previousPage = page;
      c.entriesLeft = (size - 8) / 2;
      if (c.entriesLeft > 0) c.phase = kBlockEntries;
    } else {
      if (c.held < 2) continue;
      c.held = 0;
      const uint32_t entry = c.bytes[0] | static_cast<uint32_t>(c.bytes[1]) << 8;
      const uint64_t rva = uint64_t{c.page} + (entry & 0xFFF);
      const int64_t distance = static_cast<int64_t>(rva - c.previousRva);
      if (!PutNumber(out, Zigzag(distance) << 4 | entry >> 12)) return 0;
      c.previousRva = rva;
      if (--c.entriesLeft == 0) c.phase = kBlockStart;
    }
  }
  return 1;
}

int DecodeRelocTable(RelocCoder& c, const unsigned char* coded, uint32_t count, RelocOutput& out) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t longest = c.phase == kBlockStart   ? kPageNumberBytes
                             : c.phase == kEntryCount ? kCountNumberBytes
                                                      : kEntryNumberBytes;
    c.value |= uint64_t{coded[i] & 0x7Fu} << c.shift;
    c.shift += 7;
    if (coded[i] & 0x80) {
      if (c.shift >= 7 * longest) return 0;
      continue;
    }
    const uint64_t value = c.value;
    c.value = 0;
    c.shift = 0;
    unsigned char bytes[8];
    if (c.phase == kBlockStart) {
      // Nothing may follow the table's last block.
      if (c.rawLeft < 8) return 0;
      const int64_t page = static_cast<int64_t>(c.previousPage) + Unzigzag(value);
      if (page < 0 || page > static_cast<int64_t>(UINT32_MAX)) return 0;
      c.page = c.previousPage = static_cast<uint32_t>(page);
      c.phase = kEntryCount;
    } else if (c.phase == kEntryCount) {
      if (value > (c.rawLeft - 8) / 2) return 0;
      c.entriesLeft = static_cast<uint32_t>(value);
      WriteLE32(bytes, c.page);
      WriteLE32(bytes + 4, static_cast<uint32_t>(8 + 2 * value));
      if (!Put(out, bytes, 8)) return 0;
      c.rawLeft -= 8;
      c.phase = c.entriesLeft > 0 ? kBlockEntries : kBlockStart;
    } else {
      const int64_t rva = static_cast<int64_t>(c.previousRva) + Unzigzag(value >> 4);
      if (rva < static_cast<int64_t>(c.page) || rva - c.page >= 0x1000) return 0;
      const uint32_t entry = static_cast<uint32_t>(value & 15) << 12 | (rva - c.page);
      bytes[0] = static_cast<unsigned char>(entry);
      bytes[1] = static_cast<unsigned char>(entry >> 8);
      if (!Put(out, bytes, 2)) return 0;
      c.rawLeft -= 2;
      c.previousRva = static_cast<uint64_t>(rva);
      if (--c.entriesLeft == 0) c.phase = kBlockStart;
    }
  }
  return 1;
}

int RelocTableEnded(const RelocCoder& c) {
  return c.rawLeft == 0 && c.phase == kBlockStart && c.held == 0 && c.shift == 0;
}
