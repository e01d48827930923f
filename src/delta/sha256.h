// SHA-256 of our own, small and table-light (one table of 64 round constants), so that the
// updater needs no crypto library. Used to tell a delta's base file and its result apart from
// every other version of a file.
#pragma once

#include <cstdint>

#include "package/package.h"

constexpr uint32_t kSha256Size = 32;

struct Sha256 {
  uint32_t state[8];
  uint64_t length;          // bytes hashed so far
  unsigned char block[64];  // bytes of the block being filled
  uint32_t filled;          // bytes in block
};

// Whether the x86 SHA extensions compress the blocks, where the CPU has them (with SSSE3 and
// SSE4.1) and the build targets x86: with allowed 1 (the default), they are used if present; with
// 0, the portable code always is. Both give the same digests. Returns 1 when the extensions will
// be used from now on, else 0. Meant for tests and benchmarks; not to be called while another
// thread hashes.
int Sha256UseHardware(int allowed);

void Sha256Init(Sha256& context);
void Sha256Update(Sha256& context, const unsigned char* data, uint32_t count);
// Writes the 32-byte digest; the context must be initialised again before further use.
void Sha256Final(Sha256& context, unsigned char digest[kSha256Size]);

// The digest of count bytes in memory.
void Sha256Of(const unsigned char* data, uint32_t count, unsigned char digest[kSha256Size]);

// The digest of all source.length bytes of source, read in pieces of chunk bytes through buffer
// (room for chunk bytes, owned by the caller). 1 on success, 0 when a read fails.
int Sha256OfSource(const ByteSource& source, unsigned char* buffer, uint32_t chunk,
                   unsigned char digest[kSha256Size]);
