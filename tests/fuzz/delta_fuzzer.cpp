// libFuzzer target: arbitrary bytes as a delta stream, applied to a base buffer of the size its
// header names (a fixed pattern, so that seeds made against the same pattern apply, or a variant
// of it that the header's base hash selects, delta_fuzz_base.h). Besides the sanitizers it traps
// when the applier breaks its promises: it reads the base and the stream only within their
// bounds, writes in pieces of at most the chunk size and never more than the result's size, and
// succeeds only with exactly resultSize bytes whose SHA-256 is resultHash. The chunk size varies
// with the input's length, from the smallest allowed up, so that little memory is touched per
// run and the piece boundaries move, and results run up to a length that crosses two of them;
// the work area is exactly DeltaWorkSize(chunk) bytes on the heap, so that the sanitizer sees a
// run past its end.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "delta/delta.h"
#include "delta_fuzz_base.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

struct Bounded {
  const unsigned char* bytes;
  uint32_t length;
};

int ReadBounded(void* context, uint32_t offset, unsigned char* buffer, uint32_t count) {
  const auto* b = static_cast<const Bounded*>(context);
  Require(count <= b->length && offset <= b->length - count);
  std::memcpy(buffer, b->bytes + offset, count);
  return 1;
}

// Keeps the output (hashed only when the applier succeeds, which is rare, to keep runs fast).
struct CheckedSink {
  uint32_t limit;
  uint32_t chunk;
  uint32_t written;
  unsigned char bytes[kDeltaFuzzMaxResult];
};

int WriteChecked(void* context, const unsigned char* data, uint32_t count) {
  auto* sink = static_cast<CheckedSink*>(context);
  Require(count > 0 && count <= sink->chunk);
  Require(count <= sink->limit - sink->written);
  std::memcpy(sink->bytes + sink->written, data, count);
  sink->written += count;
  return 1;
}

// The work area for the chunk DeltaFuzzChunk(shift): made once, as the model's megabytes would
// cost more than the run to allocate each time.
unsigned char* WorkArea(uint32_t shift) {
  static unsigned char* areas[8];
  if (!areas[shift]) {
    areas[shift] = static_cast<unsigned char*>(std::malloc(DeltaWorkSize(DeltaFuzzChunk(shift))));
    Require(areas[shift] != nullptr);
  }
  return areas[shift];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return 0;
  const auto length = static_cast<uint32_t>(size);
  DeltaHeader header;
  const int parsed = length >= kDeltaHeaderSize && ParseDeltaHeader(data, length, header);

  const uint32_t chunk = DeltaFuzzChunk(length);
  if (parsed && header.resultSize > DeltaFuzzMaxResult(chunk)) return 0;

  static unsigned char variant[kDeltaFuzzBaseSize];
  const unsigned char* base = parsed ? DeltaFuzzBaseFor(header.baseHash, variant) : DeltaFuzzBase();
  // The base the header names when it fits the pattern, else the whole pattern, shorter than the
  // header says, which the applier must refuse.
  uint32_t baseLength = kDeltaFuzzBaseSize;
  if (parsed && header.baseSize <= kDeltaFuzzBaseSize) baseLength = header.baseSize;
  Bounded baseBytes = {base, baseLength};
  Bounded streamBytes = {data, length};

  static CheckedSink sink;
  sink.limit = parsed ? header.resultSize : 0;
  sink.chunk = chunk;
  sink.written = 0;
  const DeltaStream stream = {ByteSource{ReadBounded, &streamBytes, length}, 0, length};
  const int ok = ApplyDelta(stream, ByteSource{ReadBounded, &baseBytes, baseLength},
                            ByteSink{WriteChecked, &sink}, chunk, WorkArea(length % 8));
  if (ok) {
    Require(parsed && baseLength == header.baseSize && sink.written == header.resultSize);
    unsigned char digest[kSha256Size];
    Sha256Of(sink.bytes, sink.written, digest);
    Require(std::memcmp(digest, header.resultHash, kSha256Size) == 0);
  }
  return 0;
}
