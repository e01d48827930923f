// One zlib stream read from a file in chunks and inflated to a callback, with zlib's
// inflateBack: the package's deflated entries and the deflated delta method both go through it.
#pragma once

#include <cstdint>

#include "package/package.h"

// Receives the inflated bytes in order, up to 32 KB at a time; returns 1 to go on, 0 to stop
// the inflation, which then fails.
using InflatedOut = int (*)(void* context, unsigned char* data, uint32_t count);

// Inflates the zlib stream that starts at offset of source and lies within its next length
// bytes: reads at most chunk bytes at a time into input (chunk bytes of the caller's), never
// beyond those length bytes, and passes the output to out. 1 when the stream is sound (its
// header, its deflate data, and the Adler-32 of the output in its trailer) and ends within
// length bytes, with unread (when given) set to the bytes of length after its end; 0 on
// damage, a failed read, a stream that does not end, out returning 0, or no memory for zlib's
// state and window (some 40 KB, freed before returning).
int InflateZlibStream(const ByteSource& source, uint32_t offset, uint32_t length,
                      unsigned char* input, uint32_t chunk, InflatedOut out, void* context,
                      uint32_t* unread = nullptr);
