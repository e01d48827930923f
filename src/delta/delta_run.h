// What the delta methods' appliers share (delta_apply.cpp, delta_words.cpp): the result on its
// way to the sink and its hash, and the checked move of the base position.
#pragma once

#include <cstdint>

#include "delta/delta.h"

struct DeltaOutput {
  const ByteSink* sink;  // null when only checking a stream
  Sha256* hash;          // null when the sink hashes what it makes of the bytes itself
};

// Hashes count bytes of the result and writes them to the sink. 1, or 0 when the sink refuses.
int EmitResult(DeltaOutput& out, const unsigned char* data, uint32_t count);

// Moves the base position by a command's zigzag-coded seek (even values forward, odd ones
// back). 0 when the move would leave the base.
int SeekBase(uint64_t seek, uint32_t baseSize, uint64_t& position);

// Where the words methods' own work ends in a work area for chunk: after the three chunk buffers
// (the base's with 4 bytes more) and the block being run. The arena's rest follows.
inline unsigned char* WordsWorkEnd(unsigned char* work, uint32_t chunk) {
  return work + 3 * chunk + 4 + kWordWorkExtra;
}

// Runs the commands of a kDeltaDeflatedWords body (delta.h) from base into out, or with base
// null checks them without producing anything. chunk bytes per read and write; work is
// DeltaWorkSize(chunk) bytes, of which the run uses those up to WordsWorkEnd, and from spare on
// (at most kCodedTablesMax + kDecodedTablesBuffer further) keeps blocks of the base that short
// add runs read. With placeCount places (increasing base positions, the relocated methods'),
// each word at one inside unchanged add bytes is changed by its prediction: the second row's
// where bit i of calls (null: none) marks place i as a call's, else the first's. 1 when the body is
// one sound zlib stream, nothing after it, whose commands build exactly resultSize bytes (the
// caller checks their hash); 0 otherwise.
int RunDeflatedWords(const DeltaStream& delta, const DeltaHeader& h, const ByteSource* base,
                     DeltaOutput& out, uint32_t chunk, unsigned char* work,
                     const unsigned char* spare, const uint32_t* places = nullptr,
                     uint32_t placeCount = 0, const uint32_t* calls = nullptr);

// Runs a kDeltaWordsTables body (delta.h): its record checked, the base's tables coded into the
// arena, then the words body over the coded images, the result's tables decoded on their way to
// out. Without base, checks the record and the words body against the coded sizes. work as
// DeltaWorkSize(chunk). 1 or 0, as RunDeflatedWords.
int RunTablesWords(const DeltaStream& delta, const DeltaHeader& h, const ByteSource* base,
                   DeltaOutput& out, uint32_t chunk, unsigned char* work);
