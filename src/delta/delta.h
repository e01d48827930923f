// Binary deltas: a file's new version described as changes to one exact old version, its base.
//
// A delta stream is a fixed 88-byte header and a body. All integers are unsigned 32-bit
// little-endian:
//
//   offset size field
//        0    4 magic       "PDLT"
//        4    4 method      how the body rebuilds the result (DeltaMethod); readers refuse others
//        8    4 baseSize    length of the base file in bytes
//       12    4 resultSize  length of the file the delta builds
//       16    4 bodySize    length of the body, which follows the header: the stream's length
//                           is exactly 88 + bodySize
//       20    4 reserved    0
//       24   32 baseHash    SHA-256 of the base file
//       56   32 resultHash  SHA-256 of the result
//
// Method kDeltaAddCopy: the body is one zlib stream (window bits 15) that inflates to a run of
// commands, each of three LEB128 varints followed by its bytes:
//   add    bytes to build by adding (mod 256) each of the next `add` body bytes to the base byte
//          at the base position (which moves on by add);
//   copy   bytes taken as they are from the next `copy` body bytes;
//   seek   a signed move of the base position, zigzag-coded (0, -1, 1, -2, ... as 0, 1, 2, 3).
// The commands end when resultSize bytes are built, and the zlib stream must end there too.
// Everything the applier needs comes from the body in order and from positioned reads of the
// base, so it streams with one inflate state and a few fixed buffers, whatever the sizes.
//
// Method kDeltaRangeCoded: the same commands (add, copy, seek as above), but the body is one
// range-coded stream (delta_model.h) in place of the varints and bytes in zlib: per command
// its three numbers, then its add bytes (each a nonzero flag and, when set, the byte) and its
// copied bytes. Only the first command may build nothing. The coder's probabilities start at
// one half and adapt to the file, with contexts chosen for bsdiff-style differences: whether
// the last add bytes were zero, the base byte before the current one, the previous add bytes,
// the previous result bytes. The coded bytes (the first of them 0) are followed by their
// Adler-32, 4 bytes little-endian, so that damage shows without the base; the decoder uses
// exactly the coded bytes. It streams like kDeltaAddCopy, with the model's fixed tables
// (sizeof(DeltaModel), about 6 MB, each row reset when first used) in place of the inflate
// state.
#pragma once

#include <cstdint>

#include "delta/delta_model.h"
#include "delta/sha256.h"
#include "package/package.h"

constexpr uint32_t kDeltaHeaderSize = 88;
inline constexpr unsigned char kDeltaMagic[4] = {'P', 'D', 'L', 'T'};

// Values of the header's method field. New methods get new values; a reader refuses a method it
// does not know, so a delta is never applied by rules other than its own.
enum DeltaMethod : uint32_t {
  kDeltaAddCopy = 1,     // add/copy/seek commands in one zlib stream (bsdiff-style)
  kDeltaRangeCoded = 2,  // the same commands, range coded with an adaptive model
};

struct DeltaHeader {
  uint32_t method;
  uint32_t baseSize;
  uint32_t resultSize;
  uint32_t bodySize;
  unsigned char baseHash[kSha256Size];
  unsigned char resultHash[kSha256Size];
};

// Parses the first kDeltaHeaderSize bytes of a delta stream of streamLength bytes. 1 when the
// magic, a known method, the reserved field and bodySize == streamLength - kDeltaHeaderSize
// all hold; 0 otherwise.
int ParseDeltaHeader(const unsigned char* bytes, uint32_t streamLength, DeltaHeader& header);

// Writes header as its 88 bytes (magic and reserved field included) into bytes.
void WriteDeltaHeader(const DeltaHeader& header, unsigned char* bytes);

// The delta stream to apply: length bytes at offset of source (a package entry's stored data).
struct DeltaStream {
  ByteSource source;
  uint32_t offset;
  uint32_t length;
};

// Reads and parses the header of delta (ParseDeltaHeader). 1 or 0.
int ReadDeltaHeader(const DeltaStream& delta, DeltaHeader& header);

// Smallest and default piece size of ApplyDelta's reads and writes.
constexpr uint32_t kDeltaMinChunk = 16;
constexpr uint32_t kDeltaDefaultChunk = 64 * 1024;

// The shortest body of kDeltaRangeCoded: the coder's 5 bytes and the Adler-32.
constexpr uint32_t kRangeCodedBodyMin = 9;

// Bytes that zlib's inflate state and window take from a work area (with room to spare).
constexpr uint32_t kDeltaInflateArena = 48 * 1024;

// The part of the work area after the chunk buffers: the inflate state or the range coder's
// model, whichever the method needs.
constexpr uint32_t kDeltaArena = sizeof(DeltaModel) > kDeltaInflateArena ? sizeof(DeltaModel)
                                                                         : kDeltaInflateArena;

// Bytes of the work area ApplyDelta needs for a chunk size: three chunk buffers (the base's
// with a byte more), room to align, and the arena.
constexpr uint32_t DeltaWorkSize(uint32_t chunk) { return 3 * chunk + 32 + kDeltaArena; }

// Builds the result of delta from base into sink, in writes of at most chunk bytes (at least
// kDeltaMinChunk). base must be exactly baseSize bytes; its hash is the caller's to check, as
// the caller chooses among several deltas by it. Every command is checked before it is
// carried out: nothing is read outside the base or the delta, and no more than resultSize
// bytes reach the sink. Succeeds only when the body ends exactly after resultSize bytes and
// their SHA-256 is resultHash. Memory: work, DeltaWorkSize(chunk) bytes of the caller's (so
// that nothing is allocated per file), or when work is null the same allocated for the call.
// Returns 1 or 0; on 0 the sink may have received part of a result that must not be used.
int ApplyDelta(const DeltaStream& delta, const ByteSource& base, const ByteSink& sink,
               uint32_t chunk = kDeltaDefaultChunk, unsigned char* work = nullptr);

// What can be checked of delta without its base: the header, and that the body inflates to
// commands that stay within the base's and the result's sizes and end with the stream. Only the
// result's hash is left to ApplyDelta. Memory as ApplyDelta's. 1 or 0.
int CheckDeltaStream(const DeltaStream& delta, uint32_t chunk = kDeltaDefaultChunk,
                     unsigned char* work = nullptr);
