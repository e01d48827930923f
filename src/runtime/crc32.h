// CRC-32 without tables (the reflected polynomial 0xEDB88320 of zlib, gzip and PNG), for
// RL_PATCH.EXE in place of zlib's table-driven one (runtime/zlib_checksums.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32 of length bytes at data continuing from crc, the CRC-32 of what came before (0 at
// the start), exactly as zlib's crc32 computes it; a null data gives 0, as there.
inline uint32_t Crc32(uint32_t crc, const unsigned char* data, size_t length) {
  if (!data) return 0;
  crc = ~crc;
  while (length--) {
    crc ^= *data++;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}
