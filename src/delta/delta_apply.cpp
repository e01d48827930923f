#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include <cstdint>

#include "delta/delta.h"
#include "delta/delta_model.h"
#include "delta/delta_run.h"

int EmitResult(DeltaOutput& out, const unsigned char* data, uint32_t count) {
  if (out.hash) Sha256Update(*out.hash, data, count);
  return out.sink->write(out.sink->context, data, count);
}

int SeekBase(uint64_t seek, uint32_t baseSize, uint64_t& position) {
  const uint64_t distance = (seek >> 1) + (seek & 1);
  if (seek & 1) {
    if (distance > position) return 0;
    position -= distance;
  } else {
    if (distance > baseSize - position) return 0;
    position += distance;
  }
  return 1;
}

namespace {

// The range-coded body: raw bytes read from the source a chunk at a time, and the decoder's
// state. Reading past the body's end marks the stream as damaged.
struct RangeDecoder {
  const DeltaStream* delta;
  uint32_t nextOffset;
  uint32_t inputLeft;  // coded bytes not yet read into input
  uLong adler;         // Adler-32 of the coded bytes read so far
  unsigned char* input;
  uint32_t chunk;
  uint32_t at;
  uint32_t filled;
  uint32_t range;
  uint32_t code;
  bool failed;
};

unsigned char NextByte(RangeDecoder& d) {
  if (d.at == d.filled) {
    const uint32_t count = d.inputLeft < d.chunk ? d.inputLeft : d.chunk;
    if (count == 0 ||
        !d.delta->source.read(d.delta->source.context, d.nextOffset, d.input, count)) {
      d.failed = true;
      return 0;
    }
    d.adler = adler32(d.adler, d.input, count);
    d.nextOffset += count;
    d.inputLeft -= count;
    d.at = 0;
    d.filled = count;
  }
  return d.input[d.at++];
}

// After the last command: every coded byte used, and the Adler-32 that follows them right.
// Without a decoded body (only checking the stream), reads the coded bytes to the end first.
int CodedBodyEndsHere(RangeDecoder& d, bool decoded) {
  if (!decoded) {
    while (d.inputLeft > 0 && !d.failed) {
      d.at = d.filled;
      NextByte(d);
    }
    d.at = d.filled;
  }
  unsigned char check[4];
  return !d.failed && d.inputLeft == 0 && d.at == d.filled &&
         d.delta->source.read(d.delta->source.context, d.nextOffset, check, 4) &&
         ReadLE32(check) == d.adler;
}

// Widens the range again, a coded byte at a time, after a bit narrowed it.
void Normalize(RangeDecoder& d) {
  while (d.range < kRangeTop) {
    d.range <<= 8;
    d.code = (d.code << 8) | NextByte(d);
  }
}

// One bit whose 0 has the given probability.
uint32_t DecodeWith(RangeDecoder& d, uint32_t probability) {
  const uint32_t bound = (d.range >> 16) * probability;
  uint32_t bit = 0;
  if (d.code < bound) {
    d.range = bound;
  } else {
    d.code -= bound;
    d.range -= bound;
    bit = 1;
  }
  Normalize(d);
  return bit;
}

uint32_t DecodeBit(RangeDecoder& d, ProbCell& cell) {
  const uint32_t bit = DecodeWith(d, Probability(cell));
  cell = Adapted(cell, bit);
  return bit;
}

// A byte in the two bit trees first and second (256 cells each), each bit coded with the
// average of their probabilities.
uint32_t DecodeBytePair(RangeDecoder& d, ProbCell* first, ProbCell* second) {
  uint32_t m = 1;
  while (m < 256) {
    const uint32_t bit = DecodeWith(d, (Probability(first[m]) + Probability(second[m])) >> 1);
    first[m] = Adapted(first[m], bit);
    second[m] = Adapted(second[m], bit);
    m = (m << 1) | bit;
  }
  return m - 256;
}

// A bits-wide symbol, most significant bit first, each bit's probability picked by the bits
// above it (probabilities has 1 << bits entries; the first is unused).
uint32_t DecodeTree(RangeDecoder& d, ProbCell* probabilities, int bits) {
  uint32_t m = 1;
  while (m < (1u << bits)) m = (m << 1) | DecodeBit(d, probabilities[m]);
  return m - (1u << bits);
}

int DecodeNumber(RangeDecoder& d, NumberModel& model, uint64_t& value) {
  const uint32_t length = DecodeTree(d, model.length, kNumberLengthBits);
  if (length > kNumberMaxLength) return 0;
  value = length != 0;
  for (uint32_t i = length; i-- > 1;)
    value = (value << 1) | DecodeBit(d, model.bits[length][i - 1]);
  return !d.failed;
}

// Carries out the commands, their numbers and bytes decoded with the shared model, each
// checked before it is carried out (delta.h). baseBuffer has room for chunk + 1 bytes: the base
// byte before each add run is read with it, as the first add byte's context.
int RunRangeCommands(RangeDecoder& d, DeltaModel& model, const DeltaHeader& h,
                     const ByteSource& base, DeltaOutput& out, unsigned char* baseBuffer,
                     unsigned char* copyBuffer) {
  uint64_t produced = 0;
  uint64_t position = 0;
  uint32_t history = 0;
  uint32_t lastDifference = 0;
  uint32_t firstOfRun = 0;
  uint32_t lastByte = 0;
  uint32_t byteBefore = 0;  // the result byte before lastByte
  static_assert(kNonZeroRows == 0, "the flags' rows are the first used");
  for (uint32_t row = kNonZeroRows; row < kNonZeroRows + 256; ++row) Row(model, row);
  for (bool first = true; produced < h.resultSize; first = false) {
    uint64_t add, copy, seek;
    if (!DecodeNumber(d, model.add, add) || !DecodeNumber(d, model.copy, copy) ||
        !DecodeNumber(d, model.seek, seek))
      return 0;
    // Only the first command may build nothing (a seek to where the first add starts): a body
    // of a few bytes could otherwise spin through billions of empty commands.
    if (add == 0 && copy == 0 && !first) return 0;
    const uint64_t room = h.resultSize - produced;
    if (add > room || copy > room - add) return 0;
    if (add > h.baseSize - position) return 0;
    for (uint64_t left = add; left > 0;) {
      const uint32_t count = left < d.chunk ? static_cast<uint32_t>(left) : d.chunk;
      // The base byte before the run comes with the same read, as the first byte's context.
      const uint32_t skip = position > 0;
      unsigned char* bytes = baseBuffer + 1;
      if (!base.read(base.context, static_cast<uint32_t>(position - skip), bytes - skip,
                     count + skip))
        return 0;
      uint32_t before = skip ? baseBuffer[0] : 0;
      for (uint32_t i = 0; i < count; ++i) {
        uint32_t difference = 0;
        // Most add bytes are unchanged, and most of their flags are in cells as sure of a 0 as
        // the model gets: such a cell codes a 0 without changing (Adapted keeps it), so only
        // the range moves. The flags' rows were all reset before the first command, the first
        // rows used, so each lies at the place of its number.
        ProbCell& flag = model.places[kNonZeroRows + (history & 0xFF)][before];
        const uint32_t sureBound = (d.range >> 16) * (kProbOne - kProbLimit);
        if (flag == kSureOfZero && d.code < sureBound) {
          d.range = sureBound;
          Normalize(d);
        } else if (DecodeBit(d, flag)) {
          difference =
              DecodeBytePair(d, DifferenceTree(model, history, lastDifference, before),
                             SecondDifferenceTree(model, history, lastDifference, firstOfRun));
          if (!(history & 1)) firstOfRun = difference;
        }
        history = (history << 1) | (difference != 0);
        lastDifference = difference;
        before = bytes[i];
        bytes[i] = static_cast<unsigned char>(before + difference);
      }
      if (d.failed || !EmitResult(out, bytes, count)) return 0;
      byteBefore = count > 1 ? bytes[count - 2] : lastByte;
      lastByte = bytes[count - 1];
      position += count;
      left -= count;
    }
    for (uint64_t left = copy; left > 0;) {
      const uint32_t count = left < d.chunk ? static_cast<uint32_t>(left) : d.chunk;
      for (uint32_t i = 0; i < count; ++i) {
        const uint32_t byte = DecodeBytePair(d, LiteralTree(model, lastByte),
                                             Literal2Tree(model, lastByte, byteBefore));
        byteBefore = lastByte;
        lastByte = copyBuffer[i] = static_cast<unsigned char>(byte);
      }
      if (d.failed || !EmitResult(out, copyBuffer, count)) return 0;
      left -= count;
    }
    if (!SeekBase(seek, h.baseSize, position)) return 0;
    produced += add + copy;
  }
  return 1;
}

}  // namespace

int ParseDeltaHeader(const unsigned char* bytes, uint32_t streamLength, DeltaHeader& header) {
  if (streamLength < kDeltaHeaderSize) return 0;
  if (std::memcmp(bytes, kDeltaMagic, sizeof kDeltaMagic) != 0) return 0;
  header.method = ReadLE32(bytes + 4);
  header.baseSize = ReadLE32(bytes + 8);
  header.resultSize = ReadLE32(bytes + 12);
  header.bodySize = ReadLE32(bytes + 16);
  header.baseEntry = ReadLE32(bytes + 20);
  std::memcpy(header.baseHash, bytes + 24, kSha256Size);
  std::memcpy(header.resultHash, bytes + 56, kSha256Size);
  const uint32_t m = header.method;
  const uint32_t shortest = m == kDeltaRangeCoded  ? kRangeCodedBodyMin
                            : PlainWordsMethod(m)  ? kDeflatedWordsBodyMin
                            : TablesWordsMethod(m) ? 4 + kTableRecordSize + kDeflatedWordsBodyMin
                                                   : UINT32_MAX;
  return header.bodySize >= shortest && header.bodySize == streamLength - kDeltaHeaderSize;
}

void WriteDeltaHeader(const DeltaHeader& header, unsigned char* bytes) {
  std::memcpy(bytes, kDeltaMagic, sizeof kDeltaMagic);
  WriteLE32(bytes + 4, header.method);
  WriteLE32(bytes + 8, header.baseSize);
  WriteLE32(bytes + 12, header.resultSize);
  WriteLE32(bytes + 16, header.bodySize);
  WriteLE32(bytes + 20, header.baseEntry);
  std::memcpy(bytes + 24, header.baseHash, kSha256Size);
  std::memcpy(bytes + 56, header.resultHash, kSha256Size);
}

int ReadDeltaHeader(const DeltaStream& delta, DeltaHeader& header) {
  if (!delta.source.read || !FitsIn(delta.offset, delta.length, delta.source.length)) return 0;
  if (delta.length < kDeltaHeaderSize) return 0;
  unsigned char bytes[kDeltaHeaderSize];
  if (!delta.source.read(delta.source.context, delta.offset, bytes, kDeltaHeaderSize)) return 0;
  return ParseDeltaHeader(bytes, delta.length, header);
}

namespace {

// The range-coded method: the body's coded bytes decoded with the model, commands run against
// base, or with base null only the coded bytes checked. 1 or 0.
int RunRangeCoded(const DeltaStream& delta, const DeltaHeader& h, const ByteSource* base,
                  DeltaOutput& out, uint32_t chunk, unsigned char* work) {
  // Input, decoded copied bytes and base (with the byte before it); then the model, 16-byte
  // aligned whatever the alignment of work.
  unsigned char* arenaStart = work + 3 * chunk + 1;
  arenaStart += (16 - reinterpret_cast<uintptr_t>(arenaStart) % 16) % 16;
  RangeDecoder d;
  std::memset(&d, 0, sizeof d);
  d.delta = &delta;
  d.nextOffset = delta.offset + kDeltaHeaderSize;
  d.inputLeft = h.bodySize - 4;  // ParseDeltaHeader saw room for the coder's 5 and these 4
  d.adler = adler32(0, Z_NULL, 0);
  d.input = work;
  d.chunk = chunk;
  d.range = 0xFFFFFFFF;
  // The encoder's first byte is always 0; the next four start the code.
  const bool zero = NextByte(d) == 0;
  for (int i = 0; i < 4; ++i) d.code = (d.code << 8) | NextByte(d);
  int built = zero && !d.failed;
  // The model predicts from the base's bytes, so without a base the commands cannot be
  // decoded: the check is the header, the leading byte and the coded bytes' Adler-32.
  if (built && base) {
    auto* model = reinterpret_cast<DeltaModel*>(arenaStart);
    ResetDeltaModel(*model);
    built = RunRangeCommands(d, *model, h, *base, out, work + 2 * chunk, work + chunk);
  }
  return built && CodedBodyEndsHere(d, base != nullptr);
}

// ApplyDelta, or with base and sink null the check of CheckDeltaStream.
int Run(const DeltaStream& delta, const ByteSource* base, const ByteSink* sink, uint32_t chunk,
        unsigned char* work, int checkBase) {
  DeltaHeader h;
  if (chunk < kDeltaMinChunk || chunk > (UINT32_MAX - kDeltaArena - 32) / 3) return 0;
  if (!ReadDeltaHeader(delta, h)) return 0;
  if (base && (!base->read || base->length != h.baseSize)) return 0;
  unsigned char* allocated = nullptr;
  if (!work) {
    work = allocated = static_cast<unsigned char*>(std::malloc(DeltaWorkSize(chunk)));
    if (!work) return 0;
  }
  Sha256 hash;
  Sha256Init(hash);
  DeltaOutput out = {sink, &hash};
  unsigned char digest[kSha256Size];
  const int built =
      checkBase && (!Sha256OfSource(*base, work, chunk, digest) ||
                    std::memcmp(digest, h.baseHash, kSha256Size) != 0)
          ? 0
      : PlainWordsMethod(h.method)
          ? RunDeflatedWords(delta, h, base, out, chunk, work, WordsWorkEnd(work, chunk))
      : h.method == kDeltaRangeCoded ? RunRangeCoded(delta, h, base, out, chunk, work)
                                     : RunTablesWords(delta, h, base, out, chunk, work);
  int ok = 0;
  if (built) {
    Sha256Final(hash, digest);
    ok = !sink || std::memcmp(digest, h.resultHash, kSha256Size) == 0;
  }
  std::free(allocated);
  return ok;
}

}  // namespace

int ApplyDelta(const DeltaStream& delta, const ByteSource& base, const ByteSink& sink,
               uint32_t chunk, unsigned char* work, int checkBase) {
  return Run(delta, &base, &sink, chunk, work, checkBase);
}

int CheckDeltaStream(const DeltaStream& delta, uint32_t chunk, unsigned char* work) {
  return Run(delta, nullptr, nullptr, chunk, work, 0);
}
