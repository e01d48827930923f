#include "delta/relocated_places.h"

#include "delta/delta.h"
#include "package/format.h"

namespace {

struct PlaceTaker {
  const ImageSection* sections;
  uint32_t sectionCount;
  uint32_t limit;
  uint32_t* places;
  uint32_t count;
  uint32_t last;     // the section of the last rva that one held
  bool overlapping;  // whether two sections share an rva: then only the first that holds counts
};

bool Holds(const ImageSection& s, uint32_t rva) {
  return rva >= s.rva && rva - s.rva <= s.size && s.size - (rva - s.rva) >= 4;
}

void Take(PlaceTaker& t, uint32_t rva) {
  if (t.count == kRelocatedPlacesMax) return;
  // Entries run in order, so most lie in the section of the one before, which is then the first
  // that holds the rva unless sections overlap.
  uint32_t i = t.last;
  if (t.overlapping || i >= t.sectionCount || !Holds(t.sections[i], rva)) {
    i = 0;
    while (i < t.sectionCount && !Holds(t.sections[i], rva)) ++i;
    if (i == t.sectionCount) return;
    t.last = i;
  }
  const ImageSection& s = t.sections[i];
  const uint64_t place = uint64_t{s.fileOffset} + (rva - s.rva);
  if (place + 4 <= t.limit && (t.count == 0 || place >= uint64_t{t.places[t.count - 1]} + 4))
    t.places[t.count++] = static_cast<uint32_t>(place);
}

}  // namespace

int RelocatedPlaces(const ByteSource& base, uint32_t tableOffset, uint32_t tableSize,
                    const ImageSection* sections, uint32_t sectionCount, uint32_t limit,
                    unsigned char* buffer, uint32_t chunk, uint32_t* places, uint32_t& count) {
  PlaceTaker t = {sections, sectionCount, limit, places, 0, 0, false};
  for (uint32_t i = 0; i < sectionCount; ++i)
    for (uint32_t k = i + 1; k < sectionCount; ++k)
      t.overlapping |= uint64_t{sections[i].rva} < uint64_t{sections[k].rva} + sections[k].size &&
                       uint64_t{sections[k].rva} < uint64_t{sections[i].rva} + sections[i].size;
  // A block is its page's rva and its size (4 bytes each), then 16-bit entries: the type in the
  // top 4 bits, the offset in the page below. Its bytes may span two pieces.
  unsigned char header[8];
  uint32_t headerHeld = 0, page = 0, entryLow = 0;
  uint64_t entriesLeft = 0;  // bytes of the block's entries not yet read
  bool lowHeld = false;
  for (uint32_t done = 0; done < tableSize;) {
    const uint32_t n = tableSize - done < chunk ? tableSize - done : chunk;
    if (!base.read(base.context, tableOffset + done, buffer, n)) return 0;
    done += n;
    for (uint32_t i = 0; i < n;) {
      if (entriesLeft == 0) {
        header[headerHeld++] = buffer[i++];
        if (headerHeld < 8) continue;
        headerHeld = 0;
        page = ReadLE32(header);
        const uint32_t size = ReadLE32(header + 4);
        if (size < 8 || size % 2 != 0) return 0;
        entriesLeft = size - 8;
        continue;
      }
      if (!lowHeld) {
        entryLow = buffer[i++];
        lowHeld = true;
        --entriesLeft;  // the size is even: the high byte follows
        continue;
      }
      const uint32_t entry = entryLow | uint32_t{buffer[i++]} << 8;
      lowHeld = false;
      --entriesLeft;
      const uint32_t type = entry >> 12;
      if (type == 3 || type == 10) Take(t, page + (entry & 0xFFF));
    }
  }
  count = t.count;
  return headerHeld == 0 && entriesLeft == 0;
}

int CallPlaces(const ByteSource& base, const ImageSection& code, uint32_t limit,
               unsigned char* buffer, uint32_t chunk, uint32_t* places, uint32_t& count) {
  // The relocated places move to the top of the room and come down again as the merge passes
  // them, so that each place is written below every one not yet read; the bits go above them
  // all until the places are known.
  uint32_t* const calls = places + kPlacesWithCallsMax;
  for (uint32_t i = 0; i < kPlacesWithCallsMax / 32; ++i) calls[i] = 0;
  uint32_t read = kPlacesWithCallsMax - count, taken = 0;
  for (uint32_t i = count; i-- > 0;) places[read + i] = places[i];
  const uint64_t start = code.fileOffset, end = start + code.size;
  const uint64_t stop = end < limit ? end : limit;
  uint64_t clear = 0;  // where the last place taken ends
  // Pieces overlap by 4 bytes, so that every E8 with 4 bytes after it before stop is looked at
  // once, in the piece that holds all 5.
  for (uint64_t at = start; at + 5 <= stop; at += chunk - 4) {
    const uint32_t n = static_cast<uint32_t>(stop - at < chunk ? stop - at : chunk);
    if (!base.read(base.context, static_cast<uint32_t>(at), buffer, n)) return 0;
    for (uint32_t i = 0; i + 5 <= n; ++i) {
      // Four bytes at a time past those without an E8 (92% of the words of esbuild's code), while
      // the next word still leaves the 5 bytes of a call after it.
      while (i + 9 <= n) {
        const uint32_t x = ReadLE32(buffer + i) ^ 0xE8E8E8E8u;
        if (((x - 0x01010101u) & ~x & 0x80808080u) != 0) break;
        i += 4;
      }
      if (buffer[i] != 0xE8) continue;
      const uint64_t place = at + i + 1;
      if (place < clear) continue;
      const uint32_t target = static_cast<uint32_t>(place) + 4 + ReadLE32(buffer + i + 1);
      if (target < start || target >= end) continue;
      while (read < kPlacesWithCallsMax && places[read] + 4 <= place) {
        clear = places[read] + 4;
        places[taken++] = places[read++];
      }
      if ((read < kPlacesWithCallsMax && places[read] < place + 4) || taken == read) continue;
      calls[taken / 32] |= 1u << (taken % 32);
      places[taken++] = static_cast<uint32_t>(place);
      clear = place + 4;
    }
    if (n < chunk) break;
  }
  while (read < kPlacesWithCallsMax) places[taken++] = places[read++];
  count = taken;
  for (uint32_t i = 0; i < (taken + 31) / 32; ++i) places[taken + i] = calls[i];
  return 1;
}
