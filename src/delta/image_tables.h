// Tables of Windows program images in a form that diffs well, and back again.
//
// Some tables of a PE image list places in the image: when code moves, every later entry
// changes, though the distances between the places stay as they were. Their coded form keeps
// those distances, all numbers LEB128, zigzag-coded where signed; "previous" values start at 0
// and run through the whole table:
//
// kTableRelocations, the base relocation table: blocks of a page RVA (4 bytes), the block's size
// in bytes (4 bytes, 8 plus 2 per entry) and 16-bit entries, a type in the top 4 bits and the
// offset in the page below. Coded per block: the page less the previous block's, the number of
// entries; per entry: (rva less the previous entry's rva) << 4 | type, where rva = page + offset.
//
// kTableExceptions, the x64 exception table: entries of three 32-bit RVAs, a function's start,
// its end and its unwind information. Coded per entry: start less the previous entry's end, end
// less start, unwind less the previous entry's unwind.
//
// Every table of whole blocks or entries has a coded form, and decoding it gives back exactly
// the table's bytes. Both directions work on pieces of any size, keeping a few bytes of state,
// so that neither side needs a whole table in memory.
#pragma once

#include <cstdint>

enum ImageTable : uint32_t {
  kTableRelocations = 1,
  kTableExceptions = 2,
};

// Where coded or decoded bytes go: into data (capacity bytes); when it is full, to flush when
// given (which returns 0 to stop), else the coding fails.
struct TableOutput {
  unsigned char* data;
  uint32_t capacity;
  uint32_t size;
  int (*flush)(void* context, const unsigned char* bytes, uint32_t count);
  void* context;
};

struct TableCoder {
  uint32_t kind;
  uint64_t rawLeft;  // bytes of the table not yet read (coding) or not yet written (decoding)
  uint64_t value;    // a number being read
  uint32_t shift;
  uint32_t phase;
  uint32_t held;
  uint32_t page;
  uint32_t entriesLeft;
  uint64_t previous[2];  // relocations: page and rva; exceptions: end and unwind
  uint64_t start;        // exceptions: the entry's start, once decoded
  uint64_t end;          // exceptions: the entry's end, once decoded
  unsigned char bytes[12];
};

// Starts coding or decoding a table of kind (ImageTable) of tableSize bytes. 0 for an unknown
// kind, or an exception table whose size is not a multiple of 12.
int StartTableCoder(TableCoder& coder, uint32_t kind, uint32_t tableSize);

// Codes the next count bytes of the table. 0 when they cannot belong to a table of its kind of
// the size given (a relocation block's size odd, under 8 or past the table's end; an exception
// table's size not a multiple of 12), or the output fails.
int CodeTable(TableCoder& coder, const unsigned char* table, uint32_t count, TableOutput& out);

// Decodes the next count coded bytes into the table's bytes. 0 when they are not a coded table
// of its kind and size (a number too long, a value outside 32 bits or an entry outside its page,
// more bytes than the table holds), or the output fails.
int DecodeTable(TableCoder& coder, const unsigned char* coded, uint32_t count, TableOutput& out);

// Whether the whole table has been coded or decoded: every byte of it, ending with a whole block
// or entry.
int TableEnded(const TableCoder& coder);
