// The applier of kDeltaDeflatedWords (delta.h): the body inflated block by block, each block's
// sections read side by side as its commands run.
#include <cstring>

#include "delta/delta.h"
#include "delta/delta_run.h"
#include "package/inflate_stream.h"

namespace {

enum WordSection { kCommands, kGaps, kOps, kValues, kCopied, kSectionCount };
// The sections that build a block's copied bytes in the methods with them (LzCopiedMethod),
// after the five above.
enum LzSection { kLiterals, kTokens, kLengths, kOffsets, kOffsetBits, kLzSectionCount };
constexpr int kNumbersMax = kSectionCount + kLzSectionCount;

struct Section {
  const unsigned char* at;
  const unsigned char* end;
};

enum Phase { kNextCommand, kAdding, kCopying, kFinished };

// Blocks of the base that short add runs read are kept, each in the slot of its number modulo
// the slots there are room for (at least 256 KB of them), at most 1 MB of them. Under Wine a read
// costs some 3 microseconds whatever its size up to tens of KB: on esbuild 0.27.7 -> 0.28.0,
// blocks of 16 KB took a quarter of the reads of 4 KB ones and 7 of the update's 110 ms less, for
// 6% more bytes. And a slot's first use touches fresh pages, each a page fault, which there cost
// more than reading blocks again: the same pair's update over every slot of the room (some 3 MB)
// touched 676 pages more, read 346 times less and took 7 to 12 ms longer.
constexpr uint32_t kBaseBlockBits = 14;
constexpr uint32_t kBaseBlock = 1u << kBaseBlockBits;
constexpr uint32_t kSlotSize = kBaseBlock + 4;
constexpr uint32_t kSlotsMin = (256 * 1024) >> kBaseBlockBits;
constexpr uint32_t kSlotsMax = (1024 * 1024) >> kBaseBlockBits;
static_assert(kSlotsMax >= kSlotsMin, "the limit leaves the slots the room always has");
static_assert(kWordWorkExtra + kCodedTablesMax + kDecodedTablesBuffer + 8 * kWordPredictions +
                      kSlotsMin * (kSlotSize + 4) + 8 <=
                  kDeltaArena,
              "room for blocks beside the words method's work, the coded tables and the "
              "predictions");
static_assert(kWordWorkExtra + kCodedTablesMax + kDecodedTablesBuffer + 8 * kWordPredictions +
                      kLzWork + kSlotsMin * (kSlotSize + 4) + 8 <=
                  kDeltaArena,
              "and beside the copied bytes that matches refer to");

// The run's state, kept across blocks: a command may span several.
struct WordRun {
  const DeltaHeader* h;
  const ByteSource* base;  // null: only checking the stream
  DeltaOutput* out;
  uint32_t chunk;
  unsigned char* output;  // chunk bytes of result not yet emitted
  uint32_t outputHeld;
  unsigned char* window;  // chunk + 4 bytes of the base from windowStart on
  uint32_t windowStart;
  uint32_t windowHeld;
  uint32_t* kept;  // per slot, 1 + the number of the block it holds, or 0
  unsigned char* blocks;
  uint32_t slots;
  unsigned char* block;  // inflated bytes not yet run, from the start of a block
  uint32_t blockHeld;
  Section sections[kSectionCount];
  Phase phase;
  bool first;
  uint32_t produced;
  uint64_t position;  // in the base
  uint32_t addLeft;   // (the command's numbers are checked against 32-bit sizes before they are
  uint32_t copyLeft;  // kept)
  uint64_t seek;
  uint32_t recent[kWordRecentValues];  // a ring, its most recent value at front
  uint32_t front;
  bool calls;             // copied bytes carry calls by their targets (CodeCallTargets)
  uint32_t* predictions;  // two rows of kWordPredictions, or null for the methods without them
  uint32_t predicted;     // the change being made takes its value from: 0 its op, else op - 65
  uint32_t residual;      // added to the predicted value
  uint32_t shift;         // the command's base position less its result position (mod 2^32)
  // The methods with copied bytes built from matches and literals; history null for the others.
  unsigned char* history;  // the copied bytes built, as coded: the last kLzWindow and a block's
  uint32_t historyHeld;
  unsigned char* piece;  // the block's copied bytes, to decode calls in
  uint32_t recentOffsets[3];
  // The relocated methods: the base positions whose words unchanged add bytes change, and the
  // first of them not yet passed.
  const uint32_t* places;
  const uint32_t* callPlaces;  // a bit per place, set for a call's; or null
  uint32_t placeCount;
  uint32_t nextPlace;
  int64_t placeBefore;  // the place before nextPlace, or -1
  uint64_t placeAt;     // nextPlace's place, or past every position
};

// A LEB128 number of at most 5 bytes from section. 0 when the section ends inside it or it is
// longer.
int ReadNumber(Section& section, uint64_t& value) {
  // The first four bytes' 28 bits gathered in 32 bits (64-bit shifts cost several instructions in
  // 32-bit code), the fifth's above them.
  uint32_t low = 0;
  for (int shift = 0;; shift += 7) {
    if (section.at == section.end) return 0;
    const uint32_t byte = *section.at++;
    if (shift == 28) {
      value = low | static_cast<uint64_t>(byte) << 28;
      return byte < 0x80;
    }
    low |= (byte & 0x7F) << shift;
    if (byte < 0x80) {
      value = low;
      return 1;
    }
  }
}

bool BlockUsedUp(const WordRun& r) {
  for (const Section& s : r.sections)
    if (s.at != s.end) return false;
  return true;
}

int FlushOutput(WordRun& r) {
  const int ok = r.outputHeld == 0 || EmitResult(*r.out, r.output, r.outputHeld);
  r.outputHeld = 0;
  return ok;
}

// Most pieces are a changed word or the few bytes between two, for which the string moves that
// a copy becomes in this build are slow (a byte's costs as much as a word's): they go as words,
// the last one overlapping the one before.
void CopyPiece(unsigned char* to, const unsigned char* bytes, uint32_t count) {
  if (count >= 4 && count <= 16) {
    for (uint32_t at = 0; at + 4 < count; at += 4) std::memcpy(to + at, bytes + at, 4);
    std::memcpy(to + count - 4, bytes + count - 4, 4);
  } else {
    std::memcpy(to, bytes, count);
  }
}

// Appends count result bytes to the output, which is emitted a chunk at a time.
int Put(WordRun& r, const unsigned char* bytes, uint32_t count) {
  while (count > 0) {
    if (r.outputHeld == r.chunk && !FlushOutput(r)) return 0;
    uint32_t step = r.chunk - r.outputHeld;
    if (step > count) step = count;
    CopyPiece(r.output + r.outputHeld, bytes, step);
    r.outputHeld += step;
    count -= step;
    bytes += step;
  }
  return 1;
}

// The base bytes from the current position on: at least want of them (want at most 4, and no
// more than the add run has left from there, addLeft, which lies inside the base), up to the
// window's or the kept block's end. Where the commands jump about the base (a program whose code
// was rearranged: add runs of some 70 bytes between seeks of megabytes), a window is read no
// further than the add run goes, since reading a whole chunk for each would copy a thousand times
// the bytes used; and a short run reads through the kept blocks, since there the read per
// command, not its bytes, was most of the time (under Wine some 3 microseconds each).
const unsigned char* BaseBytes(WordRun& r, uint32_t want, uint32_t& available) {
  const auto position = static_cast<uint32_t>(r.position);
  const unsigned char* bytes = r.window;
  uint32_t start = r.windowStart;
  uint32_t held = r.windowHeld;
  if (position < start || position - start + want > held) {
    if (r.addLeft < kBaseBlock) {
      // A slot holds its block and the 4 bytes after it: a word that starts in the block is
      // whole there.
      const uint32_t block = position >> kBaseBlockBits;
      const uint32_t slot = block % r.slots;
      unsigned char* kept = r.blocks + slot * kSlotSize;
      start = block << kBaseBlockBits;
      held = r.h->baseSize - start;
      if (held > kSlotSize) held = kSlotSize;
      if (r.kept[slot] != block + 1) {
        if (!r.base->read(r.base->context, start, kept, held)) return nullptr;
        r.kept[slot] = block + 1;
      }
      bytes = kept;
    } else {
      held = r.addLeft < r.chunk + 4 ? static_cast<uint32_t>(r.addLeft) : r.chunk + 4;
      if (held < want || !r.base->read(r.base->context, position, r.window, held)) return nullptr;
      bytes = r.window;
      r.windowStart = start = position;
      r.windowHeld = held;
    }
  }
  available = held - (position - start);
  return bytes + (position - start);
}

// The base word at bytes (base position at) with a word change's value added: value itself, or
// with predicted the one that row gives for the word's place (and the residual), which the
// change's value then replaces in both rows.
void MoveToFront(WordRun& r, uint32_t place, uint32_t value);

uint32_t ChangedWord(WordRun& r, const unsigned char* bytes, uint64_t at, uint32_t value) {
  const uint32_t word = ReadLE32(bytes);
  if (r.predictions) {
    uint32_t& byWord = r.predictions[WordPredictionPlace(word)];
    uint32_t& byTarget =
        r.predictions[kWordPredictions + WordPredictionPlace(static_cast<uint32_t>(at) + 4 + word)];
    if (r.predicted) {
      value = (r.predicted & 1 ? byWord : byTarget + r.shift) + r.residual;
      if (r.predicted > 2) MoveToFront(r, kWordRecentValues, value);
    }
    byWord = value;
    byTarget = value - r.shift;
  }
  return word + value;
}

int PutBaseBytes(WordRun& r, uint32_t count);
int PutChanged(WordRun& r, uint32_t value, uint32_t width);

// gap unchanged bytes (no relocated place whole in them) and the change after them (width 0:
// none) where both lie in the base bytes at hand and fit the output's room: one look-up and one
// copy, where apart they take two of each (about a third of applying a program that changed
// much). 1 when they went so; 0, with nothing done, when not.
int PutAtHand(WordRun& r, uint32_t gap, uint32_t value, uint32_t width) {
  const uint32_t span = gap + width;
  if (!r.base || span > r.chunk - r.outputHeld) return 0;
  uint32_t available;
  const unsigned char* bytes = BaseBytes(r, 1, available);
  if (!bytes || available < span) return 0;
  unsigned char* to = r.output + r.outputHeld;
  CopyPiece(to, bytes, gap);
  if (width == 4) WriteLE32(to + gap, ChangedWord(r, bytes + gap, r.position + gap, value));
  if (width == 1) to[gap] = static_cast<unsigned char>(bytes[gap] + value);
  r.outputHeld += span;
  r.position += span;
  r.addLeft -= span;
  return 1;
}

// The place at next becomes the next one, with the places around it kept for PlaceWithin.
void SetNextPlace(WordRun& r, uint32_t next) {
  r.nextPlace = next;
  r.placeBefore = next > 0 ? r.places[next - 1] : -1;
  r.placeAt = next < r.placeCount ? r.places[next] : UINT64_MAX - 4;
}

// Whether a relocated place's word lies whole in the count bytes from the position on, with
// nextPlace set to the first place at or after the position: on from the last one (most often
// where it was, the position short of it), or found again after a seek.
bool FindPlace(WordRun& r, uint32_t count);

inline bool PlaceWithin(WordRun& r, uint32_t count) {
  if (r.placeCount == 0) return false;
  // Most often the position lies between the place before and the next one still.
  if (r.placeBefore < static_cast<int64_t>(r.position) && r.position <= r.placeAt)
    return r.placeAt + 4 <= r.position + count;
  return FindPlace(r, count);
}

bool FindPlace(WordRun& r, uint32_t count) {
  uint32_t next = r.nextPlace;
  if (next > 0 && r.places[next - 1] >= r.position) {
    next = 0;  // back: searched again from the start
  }
  for (int step = 0; next < r.placeCount && r.places[next] < r.position; ++step, ++next) {
    if (step < 8) continue;
    uint32_t low = next, high = r.placeCount;
    while (low < high) {
      const uint32_t middle = low + (high - low) / 2;
      if (r.places[middle] < r.position)
        low = middle + 1;
      else
        high = middle;
    }
    next = low;
    break;
  }
  SetNextPlace(r, next);
  return r.placeAt + 4 <= r.position + count;
}

// count unchanged add bytes, in which each relocated place's word that they hold whole is changed
// as kWordOpPredicted changes it, with the bytes before it as a gap before a change. Like
// PutChanged, it moves the position on and counts down what the add run has left.
int PutUnchanged(WordRun& r, uint32_t count) {
  if (!PlaceWithin(r, count)) return PutBaseBytes(r, count);
  const uint64_t end = r.position + count;
  // The change after the gap, if any, was decoded: its prediction is kept for it.
  const uint32_t predicted = r.predicted, residual = r.residual;
  r.residual = 0;
  int ok = 1;
  // The next place lies at or after the position, and no place lies whole in the bytes before
  // it; the one after it is the next then (were places to overlap, PlaceWithin would find it).
  while (ok && PlaceWithin(r, static_cast<uint32_t>(end - r.position))) {
    const uint32_t next = r.nextPlace, gap = static_cast<uint32_t>(r.placeAt - r.position);
    r.predicted = r.callPlaces && (r.callPlaces[next / 32] >> (next % 32) & 1)
                      ? kWordOpPredictedTarget - 65
                      : kWordOpPredicted - 65;
    ok = PutAtHand(r, gap, 0, 4) || (PutBaseBytes(r, gap) && PutChanged(r, 0, 4));
    SetNextPlace(r, next + 1);
  }
  r.predicted = predicted;
  r.residual = residual;
  return ok && PutBaseBytes(r, static_cast<uint32_t>(end - r.position));
}

int PutBaseBytes(WordRun& r, uint32_t count) {
  if (!r.base) {
    r.position += count;
    r.addLeft -= count;
    return 1;
  }
  while (count > 0) {
    uint32_t available;
    const unsigned char* bytes = BaseBytes(r, 1, available);
    if (!bytes) return 0;
    const uint32_t step = available < count ? available : static_cast<uint32_t>(count);
    if (!Put(r, bytes, step)) return 0;
    r.position += step;
    r.addLeft -= step;
    count -= step;
  }
  return 1;
}

// One change at the current position: a 32-bit value added to four base bytes, or a difference
// added to one.
int PutChanged(WordRun& r, uint32_t value, uint32_t width) {
  if (r.base) {
    uint32_t available;
    const unsigned char* bytes = BaseBytes(r, width, available);
    if (!bytes) return 0;
    unsigned char changed[4];
    if (width == 4) {
      WriteLE32(changed, ChangedWord(r, bytes, r.position, value));
    } else {
      changed[0] = static_cast<unsigned char>(bytes[0] + value);
    }
    if (!Put(r, changed, width)) return 0;
  }
  r.position += width;
  r.addLeft -= width;
  return 1;
}

// The recent value at place (0 the most recent).
uint32_t& Recent(WordRun& r, uint32_t place) {
  return r.recent[(r.front + place) % kWordRecentValues];
}

// A value moved from place to the front of the recent ones; from kWordRecentValues, a new value,
// put in front in the place of the last, which drops out. The values are a ring: a new one (half
// of all changes in a program) moves none of the others.
void MoveToFront(WordRun& r, uint32_t place, uint32_t value) {
  if (place == kWordRecentValues) {
    r.front = (r.front + kWordRecentValues - 1) % kWordRecentValues;
  } else {
    for (; place > 0; --place) Recent(r, place) = Recent(r, place - 1);
  }
  Recent(r, 0) = value;
}

// The change after a gap: its op and, for new values and bytes, its value; width 4 for a word,
// 1 for a byte, of which the add run must have room left after the gap. 0 when damaged.
int DecodeChange(WordRun& r, uint32_t gap, uint32_t& value, uint32_t& width) {
  Section& ops = r.sections[kOps];
  Section& values = r.sections[kValues];
  if (ops.at == ops.end) return 0;
  const uint32_t op = *ops.at++;
  width = 1;
  if (op == kWordOpByte) {
    if (values.at == values.end) return 0;
    value = *values.at++;
    return 1;
  }
  r.predicted = op >= kWordOpPredicted && op <= kWordOpPredictedTargetNear ? op - 65 : 0;
  r.residual = 0;
  if (r.predicted) {
    uint64_t number;
    if (!r.predictions || (r.predicted > 2 && !ReadNumber(values, number))) return 0;
    if (r.predicted > 2)
      r.residual = static_cast<uint32_t>(number >> 1) ^ (0u - static_cast<uint32_t>(number & 1));
  } else if (op < kWordRecentValues) {
    value = Recent(r, op);
    MoveToFront(r, op, value);
  } else if (op == kWordOpNew) {
    if (values.end - values.at < 4) return 0;
    value = ReadLE32(values.at);
    values.at += 4;
    MoveToFront(r, kWordRecentValues, value);
  } else {
    return 0;
  }
  width = 4;
  return r.addLeft - gap >= 4;
}

// A gap's unchanged bytes and the change after it (width 0: none), at hand most often.
int PutGapAndChange(WordRun& r, uint32_t gap, uint32_t value, uint32_t width) {
  if (!PlaceWithin(r, gap) && PutAtHand(r, gap, value, width)) return 1;
  return PutUnchanged(r, gap) && (width == 0 || PutChanged(r, value, width));
}

// Builds count copied bytes from a block's sections lz after the ones built before, and points
// the copied section at a copy of them. 0 unless the sections build exactly count bytes, each
// match within what was built, and are used up.
int BuildCopied(WordRun& r, Section (&lz)[kLzSectionCount], uint32_t count) {
  if (r.historyHeld > kLzWindow + kWordBlockMax - count) {
    std::memmove(r.history, r.history + r.historyHeld - kLzWindow, kLzWindow);
    r.historyHeld = kLzWindow;
  }
  unsigned char* const start = r.history + r.historyHeld;
  unsigned char* at = start;
  unsigned char* const end = start + count;
  Section &literals = lz[kLiterals], &tokens = lz[kTokens], &lengths = lz[kLengths],
          &offsets = lz[kOffsets], &bits = lz[kOffsetBits];
  uint32_t* const recent = r.recentOffsets;
  uint64_t held = 0;  // offset bits read and not yet used, bitsHeld of them
  uint32_t bitsHeld = 0;
  while (at < end) {
    if (tokens.at == tokens.end) return 0;
    const uint32_t token = *tokens.at++;
    uint64_t literalCount = token >> 4, length = token & 15, more;
    if (literalCount == 15) {
      if (!ReadNumber(lengths, more)) return 0;
      literalCount += more;
    }
    if (literalCount > static_cast<uint64_t>(end - at) ||
        literalCount > static_cast<uint64_t>(literals.end - literals.at))
      return 0;
    std::memcpy(at, literals.at, literalCount);
    at += literalCount;
    literals.at += literalCount;
    if (at == end) {
      if (length != 0) return 0;
      break;
    }
    if (length == 15) {
      if (!ReadNumber(lengths, more)) return 0;
      length += more;
    }
    length += kLzMinMatch;
    if (offsets.at == offsets.end) return 0;
    const uint32_t code = *offsets.at++;
    uint32_t offset;
    if (code < 3) {
      offset = recent[code];
      for (uint32_t i = code; i > 0; --i) recent[i] = recent[i - 1];
    } else {
      if (code < 6) {
        offset = code - 2;
      } else {
        const uint32_t k = 2 + (code - 6) / 2;
        if (k > 24) return 0;
        while (bitsHeld < k - 1) {
          if (bits.at == bits.end) return 0;
          held |= uint64_t{*bits.at++} << bitsHeld;
          bitsHeld += 8;
        }
        offset = (1u << k) | ((code - 6) & 1) << (k - 1) |
                 static_cast<uint32_t>(held & ((1u << (k - 1)) - 1));
        held >>= k - 1;
        bitsHeld -= k - 1;
      }
      recent[2] = recent[1];
      recent[1] = recent[0];
    }
    recent[0] = offset;
    if (offset > kLzWindow || offset > static_cast<uint64_t>(at - r.history) ||
        length > static_cast<uint64_t>(end - at))
      return 0;
    const unsigned char* from = at - offset;
    if (offset >= 8) {
      // 8 bytes at a time, the last step reaching at most 7 bytes past the match (the history
      // has room for them; the next sequence writes over them).
      for (uint64_t i = 0; i < length; i += 8) std::memcpy(at + i, from + i, 8);
    } else {
      for (uint64_t i = 0; i < length; ++i) at[i] = from[i];
    }
    at += length;
  }
  for (const Section& section : lz)
    if (section.at != section.end) return 0;
  if (held != 0) return 0;
  r.historyHeld += count;
  std::memcpy(r.piece, start, count);
  r.sections[kCopied] = Section{r.piece, r.piece + count};
  return 1;
}

// Runs the commands as far as the block's sections go. 1 when they end with the block used up
// (the result complete, or more to come from the next block); 0 on damage or a failed read or
// write.
int RunBlock(WordRun& r) {
  for (;;) {
    if (r.phase == kNextCommand) {
      if (r.produced == r.h->resultSize) {
        r.phase = kFinished;
        return BlockUsedUp(r);
      }
      Section& commands = r.sections[kCommands];
      if (commands.at == commands.end) return BlockUsedUp(r);
      uint64_t add, copy;
      if (!ReadNumber(commands, add) || !ReadNumber(commands, copy) ||
          !ReadNumber(commands, r.seek))
        return 0;
      // The limits of kDeltaRangeCoded's commands, for the same reasons.
      if (add == 0 && copy == 0 && !r.first) return 0;
      const uint64_t room = r.h->resultSize - r.produced;
      if (add > room || copy > room - add || add > r.h->baseSize - r.position) return 0;
      r.first = false;
      r.shift = static_cast<uint32_t>(r.position) - r.produced;
      r.produced += static_cast<uint32_t>(add + copy);
      r.addLeft = static_cast<uint32_t>(add);
      r.copyLeft = static_cast<uint32_t>(copy);
      r.phase = kAdding;
    }
    if (r.phase == kAdding) {
      while (r.addLeft > 0) {
        Section& gaps = r.sections[kGaps];
        if (gaps.at == gaps.end) return BlockUsedUp(r);
        uint64_t gap;
        if (!ReadNumber(gaps, gap) || gap > r.addLeft) return 0;
        uint32_t value = 0, width = 0;
        if (gap < r.addLeft && !DecodeChange(r, static_cast<uint32_t>(gap), value, width)) return 0;
        if (!PutGapAndChange(r, static_cast<uint32_t>(gap), value, width)) return 0;
      }
      r.phase = kCopying;
    }
    if (r.phase == kCopying) {
      Section& copied = r.sections[kCopied];
      while (r.copyLeft > 0) {
        if (copied.at == copied.end) return BlockUsedUp(r);
        const auto held = static_cast<uint32_t>(copied.end - copied.at);
        const uint32_t step = held < r.copyLeft ? held : r.copyLeft;
        if (r.base) {
          // The section is the run's own memory: decoded where it lies.
          if (r.calls)
            CodeCallTargets(const_cast<unsigned char*>(copied.at), step, r.produced - r.copyLeft,
                            1);
          if (!Put(r, copied.at, step)) return 0;
        }
        copied.at += step;
        r.copyLeft -= step;
      }
      if (!SeekBase(r.seek, r.h->baseSize, r.position)) return 0;
      r.phase = kNextCommand;
    }
    if (r.phase == kFinished) return 0;  // bytes after the result's end
  }
}

// A block's count section lengths from numbers. 1 when read; 0 when a number is cut off by the
// end of what has been inflated so far (it is read again with more); -1 when a number is longer
// than 5 bytes.
int ReadBlockLengths(Section& numbers, uint64_t (&lengths)[kNumbersMax], int count) {
  for (int i = 0; i < count; ++i) {
    const unsigned char* start = numbers.at;
    if (!ReadNumber(numbers, lengths[i]))
      return numbers.at == numbers.end && numbers.at - start < 5 ? 0 : -1;
  }
  return 1;
}

// Inflated bytes: appended to the held part of a block, then every complete block is run.
int TakeInflated(void* context, unsigned char* data, uint32_t count) {
  WordRun& r = *static_cast<WordRun*>(context);
  // A block held back is at most its numbers and kWordBlockMax; inflate adds at most 32 KB.
  if (count > kWordWorkExtra - r.blockHeld) return 0;
  std::memcpy(r.block + r.blockHeld, data, count);
  r.blockHeld += count;
  uint32_t used = 0;
  for (;;) {
    Section numbers = {r.block + used, r.block + r.blockHeld};
    uint64_t lengths[kNumbersMax];
    const int count = r.history ? kNumbersMax : kSectionCount;
    const int read = ReadBlockLengths(numbers, lengths, count);
    if (read < 0) return 0;
    if (read == 0) break;
    // The copied bytes that matches build are not in the block.
    uint64_t total = 0;
    for (int i = 0; i < count; ++i)
      if (i != kCopied || !r.history) total += lengths[i];
    if (total == 0 || total > kWordBlockMax || lengths[kCopied] > kWordBlockMax ||
        r.phase == kFinished)
      return 0;
    const auto header = static_cast<uint32_t>(numbers.at - (r.block + used));
    if (r.blockHeld - used - header < total) break;
    const unsigned char* at = numbers.at;
    Section lz[kLzSectionCount];
    for (int i = 0; i < count; ++i) {
      if (i == kCopied && r.history) continue;
      Section& section = i < kSectionCount ? r.sections[i] : lz[i - kSectionCount];
      section = Section{at, at + lengths[i]};
      at += lengths[i];
    }
    if (r.history && !BuildCopied(r, lz, static_cast<uint32_t>(lengths[kCopied]))) return 0;
    if (!RunBlock(r)) return 0;
    used += header + static_cast<uint32_t>(total);
  }
  if (used > 0) {
    std::memmove(r.block, r.block + used, r.blockHeld - used);
    r.blockHeld -= used;
  }
  return 1;
}

}  // namespace

void CodeCallTargets(unsigned char* bytes, uint32_t count, uint32_t position, int decode) {
  // The scan goes past the 4 bytes after every E8 or E9, changed or not: were it to look at them
  // again, a displacement changed later could turn the last byte of one left as it was into
  // 0x00 or 0xFF, and decoding would change what coding did not.
  for (uint32_t i = 0; count >= 5 && i <= count - 5;) {
    if ((bytes[i] & 0xFE) != 0xE8) {
      ++i;
      continue;
    }
    if (static_cast<unsigned char>(bytes[i + 4] + 1) <= 1) {
      const uint32_t after = position + i + 5;
      uint32_t value = ReadLE32(bytes + i + 1);
      value = decode ? value - after : value + after;
      WriteLE32(bytes + i + 1, (value & 0x01FFFFFF) | (0u - (value & 0x01000000)));
    }
    i += 5;
  }
}

int RunDeflatedWords(const DeltaStream& delta, const DeltaHeader& h, const ByteSource* base,
                     DeltaOutput& out, uint32_t chunk, unsigned char* work,
                     const unsigned char* spare, const uint32_t* places, uint32_t placeCount,
                     const uint32_t* calls) {
  WordRun r;
  std::memset(&r, 0, sizeof r);
  r.h = &h;
  r.places = places;
  r.callPlaces = calls;
  r.placeCount = placeCount;
  SetNextPlace(r, 0);
  r.base = base;
  r.out = &out;
  r.chunk = chunk;
  r.output = work + chunk;
  r.window = work + 2 * chunk;
  r.block = work + 3 * chunk + 4;
  r.phase = kNextCommand;
  r.first = true;
  // From a 4-byte boundary in the spare room: a tag per slot, then the slots; the predictions,
  // where the method has them, at the area's end, so that the slots lie where they do for the
  // other methods (a caller that reuses the area touches no more of it).
  const uintptr_t at = (reinterpret_cast<uintptr_t>(spare) + 3) & ~uintptr_t{3};
  uintptr_t end = reinterpret_cast<uintptr_t>(work + DeltaWorkSize(chunk));
  r.calls = CallsMethod(h.method);
  if (PredictingMethod(h.method)) {
    end = (end - 8 * kWordPredictions) & ~uintptr_t{3};
    r.predictions = reinterpret_cast<uint32_t*>(end);
    std::memset(r.predictions, 0, 8 * kWordPredictions);
  }
  if (LzCopiedMethod(h.method)) {
    end = (end - kLzWork) & ~uintptr_t{3};
    r.history = reinterpret_cast<unsigned char*>(end);
    r.piece = r.history + kLzWindow + kWordBlockMax + 8;
    r.recentOffsets[0] = 1;
    r.recentOffsets[1] = 4;
    r.recentOffsets[2] = 8;
  }
  r.slots = static_cast<uint32_t>((end - at) / (kSlotSize + 4));
  if (r.slots > kSlotsMax) r.slots = kSlotsMax;
  r.kept = reinterpret_cast<uint32_t*>(at);
  r.blocks = reinterpret_cast<unsigned char*>(r.kept + r.slots);
  std::memset(r.kept, 0, r.slots * sizeof *r.kept);
  // The body is the stream and nothing after it.
  uint32_t unread = 0;
  if (!InflateZlibStream(delta.source, delta.offset + kDeltaHeaderSize, h.bodySize, work, chunk,
                         TakeInflated, &r, &unread) ||
      unread != 0)
    return 0;
  // An empty result has no block.
  const bool finished =
      r.phase == kFinished || (r.phase == kNextCommand && h.resultSize == 0 && r.first);
  return finished && r.blockHeld == 0 && (!base || FlushOutput(r));
}
