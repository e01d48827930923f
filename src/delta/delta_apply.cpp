#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "delta/delta.h"

namespace {

// The body's inflated bytes, served in order from a buffer that inflate refills.
struct BodyReader {
  z_stream stream;
  const DeltaStream* delta;
  uint32_t nextOffset;  // source offset of the next compressed byte to read
  uint32_t inputLeft;   // compressed bytes not yet read
  unsigned char* input;
  unsigned char* output;
  uint32_t chunk;
  uint32_t at;      // next unread byte of output
  uint32_t filled;  // bytes in output
  bool ended;       // inflate reported the end of the stream
};

// Inflates into the empty output buffer until it holds at least one byte. 0 when the stream
// has ended or is damaged or short, or a read fails.
int Refill(BodyReader& r) {
  r.at = 0;
  r.filled = 0;
  while (r.filled == 0) {
    if (r.ended) return 0;
    if (r.stream.avail_in == 0 && r.inputLeft > 0) {
      const uint32_t count = r.inputLeft < r.chunk ? r.inputLeft : r.chunk;
      if (!r.delta->source.read(r.delta->source.context, r.nextOffset, r.input, count)) return 0;
      r.stream.next_in = r.input;
      r.stream.avail_in = count;
      r.nextOffset += count;
      r.inputLeft -= count;
    }
    r.stream.next_out = r.output;
    r.stream.avail_out = r.chunk;
    const int result = inflate(&r.stream, Z_NO_FLUSH);
    r.filled = r.chunk - r.stream.avail_out;
    if (result == Z_STREAM_END) {
      r.ended = true;
    } else if (result != Z_OK) {
      // Z_BUF_ERROR: no progress possible, the stream wants input that is not there.
      return 0;
    }
  }
  return 1;
}

// Up to count of the next body bytes, in place: sets bytes and returns how many (at least 1),
// or 0 when the body has no more.
uint32_t Take(BodyReader& r, uint32_t count, const unsigned char*& bytes) {
  if (r.at == r.filled && !Refill(r)) return 0;
  const uint32_t have = r.filled - r.at;
  const uint32_t n = count < have ? count : have;
  bytes = r.output + r.at;
  r.at += n;
  return n;
}

// One LEB128 varint of at most 64 bits. 0 when the body ends inside it or it is longer.
int ReadVarint(BodyReader& r, uint64_t& value) {
  value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    const unsigned char* byte;
    if (!Take(r, 1, byte)) return 0;
    value |= static_cast<uint64_t>(*byte & 0x7f) << shift;
    if (!(*byte & 0x80)) return 1;
  }
  return 0;
}

// After the last command: the body must have no byte left and its stream must end, with every
// compressed byte used.
int BodyEndsHere(BodyReader& r) {
  if (r.at != r.filled) return 0;
  while (!r.ended) {
    if (Refill(r)) return 0;  // more bytes
    if (!r.ended) return 0;   // damaged or short
  }
  return r.stream.avail_in == 0 && r.inputLeft == 0;
}

// Where the result goes: hashed into a sink, or nowhere when only the stream is checked.
struct Output {
  const ByteSink* sink;
  Sha256 hash;
};

int Emit(Output& out, const unsigned char* data, uint32_t count) {
  if (!out.sink) return 1;
  Sha256Update(out.hash, data, count);
  return out.sink->write(out.sink->context, data, count);
}

// base null: the commands are checked against the base's size only, nothing of it is read.
int RunCommands(BodyReader& r, const DeltaHeader& h, const ByteSource* base, Output& out,
                unsigned char* baseBuffer) {
  uint64_t produced = 0;
  uint64_t position = 0;  // in the base, always within [0, baseSize]
  while (produced < h.resultSize) {
    uint64_t add, copy, seek;
    if (!ReadVarint(r, add) || !ReadVarint(r, copy) || !ReadVarint(r, seek)) return 0;
    const uint64_t room = h.resultSize - produced;
    if (add > room || copy > room - add) return 0;
    if (add > h.baseSize - position) return 0;
    for (uint64_t left = add; left > 0;) {
      const uint32_t count = left < r.chunk ? static_cast<uint32_t>(left) : r.chunk;
      if (base && !base->read(base->context, static_cast<uint32_t>(position), baseBuffer, count))
        return 0;
      for (uint32_t done = 0; done < count;) {
        const unsigned char* diff;
        const uint32_t n = Take(r, count - done, diff);
        if (n == 0) return 0;
        for (uint32_t i = 0; i < n; ++i) baseBuffer[done + i] += diff[i];
        done += n;
      }
      if (!Emit(out, baseBuffer, count)) return 0;
      position += count;
      left -= count;
    }
    for (uint64_t left = copy; left > 0;) {
      const unsigned char* bytes;
      const uint32_t n = Take(r, left < r.chunk ? static_cast<uint32_t>(left) : r.chunk, bytes);
      if (n == 0 || !Emit(out, bytes, n)) return 0;
      left -= n;
    }
    // Zigzag: even values move forward, odd ones back.
    const uint64_t distance = (seek >> 1) + (seek & 1);
    if (seek & 1) {
      if (distance > position) return 0;
      position -= distance;
    } else {
      if (distance > h.baseSize - position) return 0;
      position += distance;
    }
    produced += add + copy;
  }
  return 1;
}

// zlib's allocations (its state, then its window) served from a part of the work area.
struct Arena {
  unsigned char* next;
  uint32_t left;
};

voidpf ArenaAlloc(voidpf opaque, uInt items, uInt size) {
  auto* arena = static_cast<Arena*>(opaque);
  const uint64_t bytes = (static_cast<uint64_t>(items) * size + 15) & ~static_cast<uint64_t>(15);
  if (bytes > arena->left) return Z_NULL;  // inflate then fails with Z_MEM_ERROR
  void* out = arena->next;
  arena->next += bytes;
  arena->left -= static_cast<uint32_t>(bytes);
  return out;
}

void ArenaFree(voidpf, voidpf) {}

}  // namespace

int ParseDeltaHeader(const unsigned char* bytes, uint32_t streamLength, DeltaHeader& header) {
  if (streamLength < kDeltaHeaderSize) return 0;
  if (std::memcmp(bytes, kDeltaMagic, sizeof kDeltaMagic) != 0) return 0;
  header.method = ReadLE32(bytes + 4);
  header.baseSize = ReadLE32(bytes + 8);
  header.resultSize = ReadLE32(bytes + 12);
  header.bodySize = ReadLE32(bytes + 16);
  std::memcpy(header.baseHash, bytes + 24, kSha256Size);
  std::memcpy(header.resultHash, bytes + 56, kSha256Size);
  return header.method == kDeltaAddCopy && ReadLE32(bytes + 20) == 0 &&
         header.bodySize == streamLength - kDeltaHeaderSize;
}

void WriteDeltaHeader(const DeltaHeader& header, unsigned char* bytes) {
  std::memcpy(bytes, kDeltaMagic, sizeof kDeltaMagic);
  WriteLE32(bytes + 4, header.method);
  WriteLE32(bytes + 8, header.baseSize);
  WriteLE32(bytes + 12, header.resultSize);
  WriteLE32(bytes + 16, header.bodySize);
  WriteLE32(bytes + 20, 0);
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

// ApplyDelta, or with base and sink null the check of CheckDeltaStream.
int Run(const DeltaStream& delta, const ByteSource* base, const ByteSink* sink, uint32_t chunk,
        unsigned char* work) {
  DeltaHeader h;
  if (chunk < kDeltaMinChunk || chunk > (UINT32_MAX - kDeltaInflateArena) / 3) return 0;
  if (!ReadDeltaHeader(delta, h)) return 0;
  if (base && (!base->read || base->length != h.baseSize)) return 0;
  unsigned char* allocated = nullptr;
  if (!work) {
    work = allocated = static_cast<unsigned char*>(std::malloc(DeltaWorkSize(chunk)));
    if (!work) return 0;
  }

  BodyReader r;
  std::memset(&r, 0, sizeof r);
  r.delta = &delta;
  r.nextOffset = delta.offset + kDeltaHeaderSize;
  r.inputLeft = h.bodySize;
  r.input = work;
  r.output = work + chunk;
  r.chunk = chunk;
  // The arena starts at the first 16-byte boundary past the three chunks, wherever the work
  // area lies, as zlib's state is a structure of pointers and integers.
  const auto after = reinterpret_cast<uintptr_t>(work + 3 * static_cast<size_t>(chunk));
  const auto skip = static_cast<uint32_t>((16 - (after & 15)) & 15);
  Arena arena = {work + 3 * static_cast<size_t>(chunk) + skip, kDeltaInflateArena - skip};
  r.stream.zalloc = ArenaAlloc;
  r.stream.zfree = ArenaFree;
  r.stream.opaque = &arena;
  int ok = 0;
  if (inflateInit(&r.stream) == Z_OK) {
    Output out = {sink, {}};
    Sha256Init(out.hash);
    if (RunCommands(r, h, base, out, work + 2 * chunk) && BodyEndsHere(r)) {
      unsigned char digest[kSha256Size];
      Sha256Final(out.hash, digest);
      ok = !sink || std::memcmp(digest, h.resultHash, kSha256Size) == 0;
    }
    inflateEnd(&r.stream);
  }
  std::free(allocated);
  return ok;
}

}  // namespace

int ApplyDelta(const DeltaStream& delta, const ByteSource& base, const ByteSink& sink,
               uint32_t chunk, unsigned char* work) {
  return Run(delta, &base, &sink, chunk, work);
}

int CheckDeltaStream(const DeltaStream& delta, uint32_t chunk, unsigned char* work) {
  return Run(delta, nullptr, nullptr, chunk, work);
}
