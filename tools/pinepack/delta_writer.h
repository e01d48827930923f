// Making delta streams (src/delta/delta.h): the bsdiff-style diff of two versions of a file
// and the stream that carries its commands. Tool code only: the updater applies deltas, it never
// makes them.
#pragma once

#include <cstdint>
#include <vector>

#include "delta/delta.h"

// One command of the add/copy/seek method: add bytes from the base plus a difference, copy
// bytes taken as they are, then a move of the base position.
struct DeltaCommand {
  uint32_t add = 0;
  uint32_t copy = 0;
  int64_t seek = 0;
};

// Commands that turn base into result: suffix-array matching (approximate matches extended
// while more bytes agree than differ), as in bsdiff. Deterministic.
std::vector<DeltaCommand> DiffBytes(const std::vector<uint8_t>& base,
                                    const std::vector<uint8_t>& result);

// The body's inflated form for commands over base and result (the difference and copied bytes
// taken from them): each command as three varints and its bytes. Throws std::invalid_argument
// when a command reaches outside base or result.
std::vector<uint8_t> CommandBytes(const std::vector<DeltaCommand>& commands,
                                  const std::vector<uint8_t>& base,
                                  const std::vector<uint8_t>& result);

// Appends value as a LEB128 varint; AppendSeek zigzag-codes a signed move first.
void AppendVarint(std::vector<uint8_t>& out, uint64_t value);
void AppendSeek(std::vector<uint8_t>& out, int64_t seek);

// A whole delta stream: header (method kDeltaAddCopy, the sizes and hashes of base and result)
// and body, the deflated commandBytes at zlib level. Throws when zlib fails.
std::vector<uint8_t> DeltaStreamOf(const std::vector<uint8_t>& base,
                                   const std::vector<uint8_t>& result,
                                   const std::vector<uint8_t>& commandBytes, int level = 9);

// The suffix array of data (the start of each suffix, in lexicographic order) by prefix
// doubling: what DiffBytes uses where libdivsufsort is not built in (the Windows builds of
// pinepack); slower, the same result.
std::vector<int32_t> SuffixArrayBySorting(const std::vector<uint8_t>& data);

// DiffBytes, CommandBytes and DeltaStreamOf in one.
std::vector<uint8_t> MakeDelta(const std::vector<uint8_t>& base, const std::vector<uint8_t>& result,
                               int level = 9);

// Applies delta to base in memory with ApplyDelta (chunk bytes at a time); true when it
// succeeds and gives exactly expected.
bool DeltaGives(const std::vector<uint8_t>& delta, const std::vector<uint8_t>& base,
                const std::vector<uint8_t>& expected, uint32_t chunk = kDeltaDefaultChunk);
