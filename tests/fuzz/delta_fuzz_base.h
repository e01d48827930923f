// The base buffer of the delta fuzzer and of its seeds: a fixed pattern, with runs and noise,
// so that seeds made against it apply in the fuzzer, and variants of it that a delta's header
// selects.
#pragma once

#include <cstdint>
#include <cstring>

#include "delta/delta.h"

// The piece size of a run: from the stream's length, so that the boundaries move as inputs grow.
constexpr uint32_t DeltaFuzzChunk(uint32_t streamLength) {
  return kDeltaMinChunk << (streamLength % 8);
}
constexpr uint32_t kDeltaFuzzLargestChunk = DeltaFuzzChunk(7);
// The longest result of a run with pieces of chunk bytes: a boundary crossed, and a part piece
// after it. A body decodes bit by bit, and any bytes decode to something, so a run's time goes
// with its result's length, and the corpus fills with results as long as allowed (their counts
// are new): longer ones, or ones this long for the small pieces, would only slow the runs.
constexpr uint32_t DeltaFuzzMaxResult(uint32_t chunk) { return chunk + 500; }
constexpr uint32_t kDeltaFuzzMaxResult = DeltaFuzzMaxResult(kDeltaFuzzLargestChunk);
// The base: long enough that its reads cross the boundaries of the largest pieces too.
constexpr uint32_t kDeltaFuzzBaseSize = 3 * kDeltaFuzzLargestChunk;

// A relocation table of two blocks and an exception table of two entries inside the base, for
// deltas that code them.
constexpr uint32_t kDeltaFuzzTableAt = 900;
// clang-format off
constexpr unsigned char kDeltaFuzzTable[] = {
    0x00, 0x10, 0, 0, 16, 0, 0, 0, 0x10, 0x30, 0x20, 0x30, 0x30, 0x30, 0xF0, 0x3F,
    0x00, 0x20, 0, 0, 12, 0, 0, 0, 0x04, 0x30, 0x00, 0x00};
constexpr uint32_t kDeltaFuzzExceptionsAt = 960;
constexpr unsigned char kDeltaFuzzExceptions[] = {
    0x00, 0x10, 0, 0, 0x40, 0x10, 0, 0, 0x00, 0x90, 0, 0,
    0x40, 0x10, 0, 0, 0x00, 0x11, 0, 0, 0x08, 0x90, 0, 0};
// clang-format on

constexpr uint32_t kDeltaFuzzCalls[][2] = {{0x140, 0x200}, {0x160, 0x100}, {0x300, 0x180}};
inline const unsigned char* DeltaFuzzBase() {
  static unsigned char base[kDeltaFuzzBaseSize];
  static bool made = false;
  if (!made) {
    uint32_t x = 12345;
    for (uint32_t i = 0; i < kDeltaFuzzBaseSize; ++i) {
      x = x * 1103515245u + 12345u;
      base[i] =
          (i / 128) % 2 ? static_cast<unsigned char>(i / 128) : static_cast<unsigned char>(x >> 16);
    }
    for (uint32_t i = 0; i < sizeof kDeltaFuzzTable; ++i)
      base[kDeltaFuzzTableAt + i] = kDeltaFuzzTable[i];
    for (uint32_t i = 0; i < sizeof kDeltaFuzzExceptions; ++i)
      base[kDeltaFuzzExceptionsAt + i] = kDeltaFuzzExceptions[i];
    // Calls (E8 and a displacement) from 0x140, 0x160 and 0x300 to 0x200, 0x100 and 0x180: call
    // places where a section map puts code over them.
    for (const uint32_t(&call)[2] : kDeltaFuzzCalls) {
      base[call[0]] = 0xE8;
      WriteLE32(base + call[0] + 1, call[1] - (call[0] + 5));
    }
    made = true;
  }
  return base;
}

// The base the fuzzer applies a delta to, chosen by the header's base hash, which the applier
// leaves to its caller: the pattern itself when the hash's first byte v is 0 (as the seeds
// have it, most of them), else the pattern with (v & 7) + 1 bytes set, the k-th to the hash's
// byte 3 + 3k at the place its bytes 1 + 3k and 2 + 3k give, anywhere in the base, or with
// v & 8 in the tables of places. Returns the pattern, or variant (kDeltaFuzzBaseSize bytes of
// the caller's) filled.
inline const unsigned char* DeltaFuzzBaseFor(const unsigned char* baseHash,
                                             unsigned char* variant) {
  const unsigned char* pattern = DeltaFuzzBase();
  const unsigned v = baseHash[0];
  if (v == 0) return pattern;
  std::memcpy(variant, pattern, kDeltaFuzzBaseSize);
  const uint32_t from = v & 8 ? kDeltaFuzzTableAt : 0;
  const uint32_t span =
      v & 8 ? kDeltaFuzzExceptionsAt + sizeof kDeltaFuzzExceptions - from : kDeltaFuzzBaseSize;
  for (unsigned k = 0; k <= (v & 7); ++k) {
    const uint32_t place = baseHash[1 + 3 * k] | baseHash[2 + 3 * k] << 8;
    variant[from + place % span] = baseHash[3 + 3 * k];
  }
  return variant;
}
