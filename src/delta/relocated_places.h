// The relocated places of a base image, for the relocated delta methods (delta.h): where its
// relocation table says the image holds absolute addresses, as file offsets, in the order the
// applier and pinepack both take them.
#pragma once

#include <cstdint>

#include "package/package.h"

struct ImageSection {
  uint32_t rva;
  uint32_t size;  // bytes from rva that lie in the file at fileOffset
  uint32_t fileOffset;
};

// The places of the relocation table of tableSize bytes at tableOffset of base, read in pieces of
// chunk bytes through buffer (the caller's, room for chunk bytes), by delta.h's rule: entries of
// type 3 or 10 at the file offset of their rva in the first of sections that holds its 4 bytes,
// each at or after the end of the last one taken's 4 bytes, with its own 4 bytes before limit, at
// most kRelocatedPlacesMax of them, into places (room for that many). 1 with count set; 0 when a
// read fails or the table is not whole blocks of at least 8 bytes and an even size.
int RelocatedPlaces(const ByteSource& base, uint32_t tableOffset, uint32_t tableSize,
                    const ImageSection* sections, uint32_t sectionCount, uint32_t limit,
                    unsigned char* buffer, uint32_t chunk, uint32_t* places, uint32_t& count);

// With places[0, count) the relocated places of a base image (RelocatedPlaces: count at most
// kRelocatedPlacesMax), the call places of its code (delta.h's rule: the 4 bytes after an E8 in
// code, all before limit, whose target lies in code, overlapping neither a relocated place nor
// the call place before) merged in among them in order, while fewer than kPlacesWithCallsMax are
// taken in all; code's bytes read in pieces of chunk bytes through buffer (room for chunk bytes,
// chunk at least 8). places has room for kPlacesWithCallsRoom bytes; the places taken are followed
// by a bit for each (bit i of word i / 32 after them), set where place i is a call's. 1 with count
// set; 0 when a read fails.
int CallPlaces(const ByteSource& base, const ImageSection& code, uint32_t limit,
               unsigned char* buffer, uint32_t chunk, uint32_t* places, uint32_t& count);
