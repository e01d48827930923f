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
//       20    4 baseEntry   which file is the base (at kDeltaBaseEntryOffset): 0, the installed
//                           version of the file the delta builds; n > 0, in a package
//                           (delta_package.h), the new version of the file whose entries start
//                           at directory entry n - 1, one that the update installs before this
//                           one (a near copy of this file under another name, say). Readers
//                           that knew only 0 refuse any other value.
//       24   32 baseHash    SHA-256 of the base file
//       56   32 resultHash  SHA-256 of the result
//
// Method kDeltaRangeCoded: the body rebuilds the result with a run of commands, bsdiff-style:
//   add    bytes to build by adding (mod 256) a difference to each base byte from the base
//          position on (which moves on by add);
//   copy   bytes taken as they are from the body;
//   seek   a signed move of the base position, zigzag-coded (0, -1, 1, -2, ... as 0, 1, 2, 3).
// The commands end when resultSize bytes are built, and the body must end there too. The body
// is one range-coded stream (delta_model.h): per command its three numbers, then its add bytes
// (each a nonzero flag and, when set, the difference) and its copied bytes. Only the first
// command may build nothing. The coder's probabilities start at one half and adapt to the file,
// with contexts chosen for bsdiff-style differences: whether the last add bytes were zero, the
// base byte before the current one, the previous add bytes, the previous result bytes. The coded
// bytes (the first of them 0) are followed by their Adler-32, 4 bytes little-endian, so that
// damage shows without the base; the decoder uses exactly the coded bytes. Everything the
// applier needs comes from the body in order and from positioned reads of the base, so it
// streams with a few fixed buffers and the model's fixed tables (sizeof(DeltaModel), about 6 MB,
// each row reset when first used), whatever the sizes.
//
// Method kDeltaDeflatedWords: the same add/copy/seek commands, made to apply at the speed of
// inflate. The body is one zlib stream (its own Adler-32 shows damage without the base), which
// inflates to blocks. A block is five numbers, the byte lengths of its five sections (together
// at most kWordBlockMax, and not all 0), then the sections in this order:
//   commands  per command its add, copy and seek
//   gaps      per change, the unchanged add bytes before it; and the unchanged bytes that end
//             an add run after its last change
//   ops       per change, what it is: 0 to 63, the word value at that place in the recent values
//             (most recent first), which moves to the front; kWordOpNew, a new value from the
//             values section, put in front (the last one drops out); kWordOpByte, one byte's
//             difference from the values section
//   values    new word values, 4 bytes little-endian each, and byte differences
//   copied    the copied bytes
// A word change adds its value (mod 2^32) to the four base bytes at that place, read
// little-endian: code that moved changes the 32-bit addresses and displacements that point
// across the move by the same amount, so a few recent values cover most changes. Numbers are
// LEB128, at most 5 bytes. The commands run as in kDeltaRangeCoded, reading their parts in
// order from the sections of the current block; a section may run out only when the whole block
// has been used (then the next block goes on), and only between a command's parts or inside its
// copied bytes, never between a gap and its change. After resultSize bytes every section must
// be used up and the stream must end.
//
// Method kDeltaWordsTables: kDeltaDeflatedWords over program images whose tables of places
// (the base relocation table, the x64 exception table) are coded as image_tables.h describes,
// so that a table whose places all moved costs little more than the move. The body starts with
// a record: the number of tables (1 to kImageTablesMax), then per table seven numbers,
//   kind (ImageTable), baseOffset, baseSize, baseCoded, resultOffset, resultSize, resultCoded
// where the table lies in the base and in the result and how long its coded forms are (the
// tables in the order they lie in each image, none overlapping the next); then a
// kDeltaDeflatedWords body that builds the coded result (the result with each table replaced by
// its coded form) from the coded base, whose commands run against those sizes. The applier codes
// the base's tables into memory (together at most kCodedTablesMax bytes) and decodes the
// result's on their way out; each must be a whole table of its kind, and the result's hash is
// that of the decoded bytes.
//
// Methods kDeltaWordsPredicted and kDeltaWordsTablesPredicted: kDeltaDeflatedWords and
// kDeltaWordsTables whose word changes may also take their value from the base word they change.
// The applier keeps two rows of kWordPredictions values, all 0 at the start. After every word
// change (any op), the first row takes its value at the place that bits 12 to 25 of the base word
// at the change number (WordPredictionPlace); the second takes the value less the command's
// shift (its base position less its result position, mod 2^32) at the place of the word read as
// a displacement, base position of the change + 4 + word (mod 2^32). The op kWordOpPredicted is
// a word change whose value is the one at its own word's place in the first row;
// kWordOpPredictedTarget, the one at its place in the second plus its own command's shift.
// Neither reads the values section nor moves the recent values. kWordOpPredictedNear and
// kWordOpPredictedTargetNear are the same predictions plus a residual from the values section
// (LEB128, zigzag-coded: 0, -1, 1, -2 ... as 0, 1, 2, 3; mod 2^32), and their value goes in front
// of the recent values as a new one does: a target that moved a little more than the last one
// into its page (code inserted before it in the same page). Where code moved, an address
// into one page of the base mostly changes by what the last one did (in a program that changed
// little, four changes in five), and a displacement into it by that less how far its own place
// moved, while their values' places among the recent ones rarely repeat. Without the base
// (CheckDeltaStream), these ops are checked as any other.
//
// Methods kDeltaWordsCalls and kDeltaWordsTablesCalls: kDeltaWordsPredicted and
// kDeltaWordsTablesPredicted whose copied bytes carry x86 calls and jumps with their targets
// (CodeCallTargets): new code calls the same functions from many places, and a displacement
// differs at each while the target it reaches is one value that deflate finds again. Each piece
// of a command's copied bytes that one block's copied section holds is decoded on its own, at
// its place in the result (the coded result for the tables method).
//
// Methods kDeltaWordsCallsLz and kDeltaWordsTablesCallsLz: kDeltaWordsCalls and
// kDeltaWordsTablesCalls whose copied bytes (with their calls coded) go as matches into the
// copied bytes before them and literals: new code repeats itself farther back than deflate's
// 32 KB, and mostly at the offset of the match before. A block's numbers are ten: the five
// above, the fifth now the count of copied bytes it builds (at most kWordBlockMax; the other
// nine sections together at most kWordBlockMax), then the lengths of five sections that follow
// the values where the copied bytes were:
//   literals    the bytes that no match gives
//   tokens      per sequence a byte: its literal count (high 4 bits) and its match length less
//               kLzMinMatch (low 4 bits); where either is 15, the rest follows in lengths
//   lengths     LEB128 rests, the literal count's before the match length's
//   offsets     per match its offset code: 0 to 2, the recent offset at that place (most recent
//               first), which moves to the front; from 3 on a new offset, which goes in front
//               (the last drops out): 3 to 5, the offsets 1 to 3; c from 6 on, with
//               k = 2 + (c - 6) / 2, the offset 2^k + ((c - 6) % 2) 2^(k - 1) plus k - 1 bits
//               from offset bits
//   offset bits those bits, least significant first, from the block's first byte on (none carry
//               over from the block before), the last byte's spare bits 0
// A sequence is its literals and then, unless they end the block's copied bytes (and its match
// length is 0), a match of at most the bytes left, copied byte by byte (an offset shorter than
// the length repeats) from offset bytes back in the copied bytes built so far, at most
// kLzWindow back. The recent offsets start as 1, 4, 8 and carry on from block to block. When a
// block's copied bytes are built, its sections must all be used up.
//
// Methods kDeltaWordsTablesRelocated, kDeltaWordsTablesCallsRelocated and
// kDeltaWordsTablesCallsLzRelocated: kDeltaWordsTablesPredicted, kDeltaWordsTablesCalls and
// kDeltaWordsTablesCallsLz whose base words at relocated places change without a gap or an op:
// the places of an image's absolute addresses, which where code moved nearly all change, and
// mostly by what the last address into the same page did. The record goes on after its tables
// with the base image's sections: their count (1 to kImageSectionsMax), then per section its
// rva, its size and where its bytes lie in the file, 4 bytes each. The base's relocation table
// (the record's table of kTableRelocations) gives the places: each entry of type 3 (32 bits) or
// 10 (64 bits, its low 32 bits), at the file offset of its rva in the first section that holds
// its 4 bytes, taken only when it lies at or after the end of the last place taken's 4 bytes
// (places never overlap), with its own 4 bytes before the first table's place in the base, and
// while fewer than kRelocatedPlacesMax are taken (their table then codes in at most
// kCodedTablesMax - 4 kRelocatedPlacesMax bytes). Every place whose
// 4 bytes lie inside a gap's unchanged bytes (or the unchanged bytes that end an add run) has the
// value of the first row of predictions at its word's place added, as kWordOpPredicted adds it,
// with the rows updated as after any word change; the unchanged bytes around it stay as they
// are. A place that an explicit change or the run's end cuts is left as the gaps have it.
//
// Methods kDeltaWordsTablesCallPlaces, kDeltaWordsTablesCallsCallPlaces and
// kDeltaWordsTablesCallsLzCallPlaces: the three relocated methods whose places also include the
// base's calls, changed as kWordOpPredictedTarget changes a word (the second row of predictions
// at the place of the call's target, plus the command's shift): where code moved, a call changes
// by how far its target moved less how far the call did, which the last change into the target's
// page mostly tells. A call place is the 4 bytes after an E8 byte in the record's first section
// (file bytes from its file offset, its size long), all before the section's end and the first
// table's place, whose target (its place + 4 + the word, mod 2^32) lies in the section's bytes
// too (before the table or not), overlapping neither a relocated place nor the call place before
// it. The relocated places are taken by the rule above, then the call places from the section's
// start, while fewer than kPlacesWithCallsMax are taken in all (their table then codes in at
// most kCodedTablesMax - kPlacesWithCallsRoom bytes).
#pragma once

#include <cstdint>

#include "delta/delta_model.h"
#include "delta/sha256.h"
#include "package/package.h"

constexpr uint32_t kDeltaHeaderSize = 88;
constexpr uint32_t kDeltaBaseEntryOffset = 20;
inline constexpr unsigned char kDeltaMagic[4] = {'P', 'D', 'L', 'T'};

// Values of the header's method field. New methods get new values; a reader refuses a method it
// does not know, so a delta is never applied by rules other than its own.
// 1 was a retired form (the same commands deflated) that no updater ever applied; it is refused
// as any unknown method, and the value is never to be given to another.
enum DeltaMethod : uint32_t {
  kDeltaRangeCoded = 2,             // add/copy/seek commands range coded with an adaptive model
  kDeltaDeflatedWords = 3,          // the same commands, their changes as 32-bit words, deflated
  kDeltaWordsTables = 4,            // deflated words over images with their tables of places coded
  kDeltaWordsPredicted = 5,         // kDeltaDeflatedWords, word values also from the base word
  kDeltaWordsTablesPredicted = 6,   // kDeltaWordsTables the same
  kDeltaWordsCalls = 7,             // kDeltaWordsPredicted, copied calls by their targets
  kDeltaWordsTablesCalls = 8,       // kDeltaWordsTablesPredicted the same
  kDeltaWordsCallsLz = 9,           // kDeltaWordsCalls, copied bytes as matches and literals
  kDeltaWordsTablesCallsLz = 10,    // kDeltaWordsTablesCalls the same
  kDeltaWordsTablesRelocated = 11,  // kDeltaWordsTablesPredicted, relocated words changed
  kDeltaWordsTablesCallsRelocated = 12,     // kDeltaWordsTablesCalls the same
  kDeltaWordsTablesCallsLzRelocated = 13,   // kDeltaWordsTablesCallsLz the same
  kDeltaWordsTablesCallPlaces = 14,         // kDeltaWordsTablesRelocated, calls changed too
  kDeltaWordsTablesCallsCallPlaces = 15,    // kDeltaWordsTablesCallsRelocated the same
  kDeltaWordsTablesCallsLzCallPlaces = 16,  // kDeltaWordsTablesCallsLzRelocated the same
};

// The words methods by what their bodies hold: plain words, or words over coded tables; the
// rows of predictions; calls by their targets in copied bytes.
inline bool PlainWordsMethod(uint32_t m) {
  return m == kDeltaDeflatedWords || m == kDeltaWordsPredicted || m == kDeltaWordsCalls ||
         m == kDeltaWordsCallsLz;
}
inline bool CallPlacesMethod(uint32_t m) {
  return m >= kDeltaWordsTablesCallPlaces && m <= kDeltaWordsTablesCallsLzCallPlaces;
}
inline bool RelocatedMethod(uint32_t m) {
  return (m >= kDeltaWordsTablesRelocated && m <= kDeltaWordsTablesCallsLzRelocated) ||
         CallPlacesMethod(m);
}
inline bool TablesWordsMethod(uint32_t m) {
  return m == kDeltaWordsTables || m == kDeltaWordsTablesPredicted || m == kDeltaWordsTablesCalls ||
         m == kDeltaWordsTablesCallsLz || RelocatedMethod(m);
}
inline bool LzCopiedMethod(uint32_t m) {
  return m == kDeltaWordsCallsLz || m == kDeltaWordsTablesCallsLz ||
         m == kDeltaWordsTablesCallsLzRelocated || m == kDeltaWordsTablesCallsLzCallPlaces;
}
inline bool CallsMethod(uint32_t m) {
  return m == kDeltaWordsCalls || m == kDeltaWordsTablesCalls ||
         m == kDeltaWordsTablesCallsRelocated || m == kDeltaWordsTablesCallsCallPlaces ||
         LzCopiedMethod(m);
}
inline bool PredictingMethod(uint32_t m) {
  return m == kDeltaWordsPredicted || m == kDeltaWordsTablesPredicted || CallsMethod(m) ||
         RelocatedMethod(m);
}

// In place over count bytes at place position of a result (mod 2^32): every E8 or E9 byte (x86
// call and jump) whose 4 bytes after it lie within the count and whose last is 0x00 or 0xFF (a
// displacement of less than 16 MB either way) has those 4 bytes coded (decode 0) as the target
// they reach, the displacement plus the place after them, or decoded (decode 1) back, both kept
// to 25 bits and sign-extended so that the last byte stays 0x00 or 0xFF; the scan goes on after
// the 4 bytes of every E8 or E9, changed or not. Decoding what was coded gives the bytes back,
// whatever they are.
void CodeCallTargets(unsigned char* bytes, uint32_t count, uint32_t position, int decode);

struct DeltaHeader {
  uint32_t method;
  uint32_t baseSize;
  uint32_t resultSize;
  uint32_t bodySize;
  uint32_t baseEntry;
  unsigned char baseHash[kSha256Size];
  unsigned char resultHash[kSha256Size];
};

// Parses the first kDeltaHeaderSize bytes of a delta stream of streamLength bytes. 1 when the
// magic, a known method (with a body of at least its shortest length) and
// bodySize == streamLength - kDeltaHeaderSize hold; 0 otherwise. baseEntry is the package's to
// check (CheckDeltaEntries).
int ParseDeltaHeader(const unsigned char* bytes, uint32_t streamLength, DeltaHeader& header);

// Writes header as its 88 bytes (magic included) into bytes.
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

// kDeltaDeflatedWords: the shortest body (a zlib stream: header, an empty block, Adler-32), the
// largest block's sections, the recent values, and the two ops beyond those values.
constexpr uint32_t kDeflatedWordsBodyMin = 8;
constexpr uint32_t kWordBlockMax = 256 * 1024;
constexpr uint32_t kWordRecentValues = 64;
constexpr uint8_t kWordOpNew = 64;
constexpr uint8_t kWordOpByte = 65;
// kDeltaWordsPredicted and kDeltaWordsTablesPredicted: the ops of predicted word changes, and
// the values kept per row for them, in the place a base word numbers.
constexpr uint8_t kWordOpPredicted = 66;
constexpr uint8_t kWordOpPredictedTarget = 67;
constexpr uint8_t kWordOpPredictedNear = 68;
constexpr uint8_t kWordOpPredictedTargetNear = 69;
constexpr uint32_t kWordPredictions = 1u << 14;
inline uint32_t WordPredictionPlace(uint32_t baseWord) {
  return (baseWord >> 12) & (kWordPredictions - 1);
}
// Work beyond three chunks: a block with its numbers, and the 32 KB that inflate may add to it.
constexpr uint32_t kWordWorkExtra = kWordBlockMax + 50 + 32 * 1024 + 8;
// kDeltaWordsCallsLz and kDeltaWordsTablesCallsLz: the shortest match, the farthest offset, and
// their work in the arena: the copied bytes kept (the window and a block's), and a block's copy
// to decode calls in.
constexpr uint32_t kLzMinMatch = 3;
constexpr uint32_t kLzWindow = 512 * 1024;
constexpr uint32_t kLzWork = kLzWindow + 2 * kWordBlockMax + 8;

// The part of the work area after the chunk buffers: the range coder's model; for the words
// methods, their work, the coded base tables, and in the room left (at least 256 KB, with the
// largest coded tables and the matches' history; at most 1 MB of it) blocks of 16 KB of the base
// that short add runs read, so that commands jumping about the base read most blocks once.
constexpr uint32_t kDeltaArena = sizeof(DeltaModel);

// kDeltaWordsTables: the most tables a record lists, the bytes of its count and of each
// table's numbers, and the longest coded base tables together, which the applier keeps in the
// arena after the words method's work.
constexpr uint32_t kImageTablesMax = 4;
constexpr uint32_t kTableRecordSize = 28;
// The relocated methods: the most sections their record lists, and the most places they keep
// (in the arena after the coded base tables).
constexpr uint32_t kImageSectionsMax = 16;
constexpr uint32_t kRelocatedPlacesMax = 256 * 1024;
// The methods with call places: the most places in all, and their room in the arena (each place
// and a bit that tells a call's).
constexpr uint32_t kPlacesWithCallsMax = 512 * 1024;
constexpr uint32_t kPlacesWithCallsRoom = 4 * kPlacesWithCallsMax + kPlacesWithCallsMax / 8;
// The arena's room for the places of method m (0 for a method without them).
inline uint32_t PlacesRoom(uint32_t m) {
  return CallPlacesMethod(m)  ? kPlacesWithCallsRoom
         : RelocatedMethod(m) ? 4 * kRelocatedPlacesMax
                              : 0;
}
constexpr uint32_t kCodedTablesMax = 4 * 1024 * 1024;
// The result's tables are decoded into this many bytes of the arena, after the coded base tables.
constexpr uint32_t kDecodedTablesBuffer = 32 * 1024;
static_assert(kWordWorkExtra + kCodedTablesMax + kDecodedTablesBuffer + 8 * kWordPredictions + 4 <=
                  32 + kDeltaArena,
              "coded tables fit the arena beside the words method's work");

// Bytes of the work area ApplyDelta needs for a chunk size: three chunk buffers (the base's
// with a byte more), room to align, and the arena.
constexpr uint32_t DeltaWorkSize(uint32_t chunk) { return 3 * chunk + 32 + kDeltaArena; }
static_assert(kWordWorkExtra + 4 <= 32 + kDeltaArena, "the words method's work fits the arena");

// Builds the result of delta from base into sink, in writes of at most chunk bytes (at least
// kDeltaMinChunk). base must be exactly baseSize bytes; its hash is the caller's to check, as
// the caller chooses among several deltas by it. Every command is checked before it is
// carried out: nothing is read outside the base or the delta, and no more than resultSize
// bytes reach the sink. Succeeds only when the body ends exactly after resultSize bytes and
// their SHA-256 is resultHash. Memory: work, DeltaWorkSize(chunk) bytes of the caller's (so
// that nothing is allocated per file), or when work is null the same allocated for the call;
// kDeltaDeflatedWords also has zlib allocate some 40 KB for the call. With checkBase, the base's
// SHA-256 is checked first (a base the caller has not hashed: another file's new version). Returns
// 1 or 0; on 0 the sink may have received part of a result that must not be used.
int ApplyDelta(const DeltaStream& delta, const ByteSource& base, const ByteSink& sink,
               uint32_t chunk = kDeltaDefaultChunk, unsigned char* work = nullptr,
               int checkBase = 0);

// What can be checked of delta without its base. kDeltaRangeCoded: the header, the body's
// leading 0 and the Adler-32 of its coded bytes; the commands are decoded only with the base
// (the model predicts from its bytes), so their limits are left to ApplyDelta.
// kDeltaDeflatedWords: everything but the base's bytes, its commands run against the base's
// size; kDeltaWordsTables the same against the coded sizes its record gives, the record checked
// first (the tables themselves are coded and decoded only with the base). The result's hash is
// always left to ApplyDelta. Memory as ApplyDelta's. 1 or 0.
int CheckDeltaStream(const DeltaStream& delta, uint32_t chunk = kDeltaDefaultChunk,
                     unsigned char* work = nullptr);
