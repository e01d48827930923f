// Adler-32 in a plain loop, for RL_PATCH.EXE in place of zlib's unrolled one
// (runtime/zlib_checksums.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

// The Adler-32 of length bytes at data continuing from adler, the Adler-32 of what came before (1
// at the start), exactly as zlib's adler32 computes it; a null data gives 1, as there.
inline uint32_t Adler32(uint32_t adler, const unsigned char* data, size_t length) {
  constexpr uint32_t kBase = 65521;
  // The most bytes after which the sums, reduced before, still fit in 32 bits.
  constexpr size_t kMaxRun = 5552;
  if (!data) return 1;
  uint32_t a = adler & 0xFFFF;
  uint32_t b = adler >> 16;
  while (length > 0) {
    size_t run = length < kMaxRun ? length : kMaxRun;
    length -= run;
    while (run--) {
      a += *data++;
      b += a;
    }
    a %= kBase;
    b %= kBase;
  }
  return (b << 16) | a;
}
