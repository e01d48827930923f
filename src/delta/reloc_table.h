// Base relocation tables of Windows programs in a form that diffs well, and back again.
//
// A PE image's base relocation table lists every place in the image that holds an absolute
// address, page by page: blocks of a page RVA (4 bytes), the block's size in bytes (4 bytes, 8
// plus 2 per entry) and 16-bit entries, a type in the top 4 bits and the offset in the page
// below. When code moves, the places move with it: the entries of every later page change and
// the blocks split differently, though the distances between consecutive places stay as they
// were. The coded form keeps those distances, all numbers LEB128:
//   per block   zigzag(page - the previous block's page), then the number of entries;
//   per entry   zigzag(rva - the previous entry's rva) << 4 | type, where rva = page + offset;
// both "previous" values start at 0 and run across blocks. Every table made of whole blocks has
// a coded form, and decoding it gives back exactly the table's bytes.
//
// Both directions work on pieces of any size, keeping a few bytes of state, so that neither
// side needs a whole table in memory.
#pragma once

#include <cstdint>

// Where coded or decoded bytes go: into data (capacity bytes); when it is full, to flush when
// given (which returns 0 to stop), else the coding fails.
struct RelocOutput {
  unsigned char* data;
  uint32_t capacity;
  uint32_t size;
  int (*flush)(void* context, const unsigned char* bytes, uint32_t count);
  void* context;
};

struct RelocCoder {
  uint64_t rawLeft;  // bytes of the table not yet read (coding) or not yet written (decoding)
  uint64_t previousRva;
  uint64_t value;  // a number being read
  uint32_t shift;
  uint32_t page;
  uint32_t previousPage;
  uint32_t entriesLeft;
  uint32_t phase;
  uint32_t held;
  unsigned char bytes[8];
};

// Starts coding or decoding a table of tableSize bytes.
void StartRelocCoder(RelocCoder& coder, uint32_t tableSize);

// Codes the next count bytes of the table. 0 when they cannot belong to a table of whole blocks
// of the size given (a block's size odd, under 8 or past the table's end), or the output fails.
int CodeRelocTable(RelocCoder& coder, const unsigned char* table, uint32_t count, RelocOutput& out);

// Decodes the next count coded bytes into the table's bytes. 0 when they are not a coded table
// of the size given (a number too long, a page or place outside the 32-bit address space or its
// page, more bytes than the table holds), or the output fails.
int DecodeRelocTable(RelocCoder& coder, const unsigned char* coded, uint32_t count,
                     RelocOutput& out);

// Whether the whole table has been coded or decoded: every byte of it, ending with a block.
int RelocTableEnded(const RelocCoder& coder);
