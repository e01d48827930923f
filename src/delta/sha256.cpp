#include "delta/sha256.h"

#include <cstring>

#if (defined(__i386__) || defined(__x86_64__)) && (defined(__GNUC__) || defined(__clang__))
#define PINECONE_SHA_NI 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

// Aligned for the SHA extensions' loads of four constants at a time.
alignas(16) constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// Kept out of line: inlined into its one caller, Sha256Update, it makes the updater larger.
__attribute__((noinline)) void Compress(uint32_t state[8], const unsigned char* block) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = static_cast<uint32_t>(block[4 * i]) << 24 |
           static_cast<uint32_t>(block[4 * i + 1]) << 16 |
           static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; ++i) {
    // The choice and majority functions in their shorter, equivalent forms.
    const uint32_t t1 =
        h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + (g ^ (e & (f ^ g))) + kRound[i] + w[i];
    const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) | (c & (a | b)));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

#ifdef PINECONE_SHA_NI

// Compress with the x86 SHA extensions: each group of four rounds takes the next four message
// words, loaded byte-swapped for the first four groups and scheduled from the previous sixteen
// words after that. The rounds instruction wants the state as ABEF and CDGH (lanes high to low);
// state[] holds A..H, so it is shuffled into that form and back once for all the blocks.
// Written as a loop over the sixteen groups: unrolled, it is three times the size. 32-bit Windows
// promises threads and callbacks only 4-byte stack alignment, and the vectors spilled to the
// stack here are read as 16-byte aligned operands, hence the realigned frame.
__attribute__((target("sha,ssse3,sse4.1"), force_align_arg_pointer)) void CompressHardware(
    uint32_t state[8], const unsigned char* data, uint32_t blocks) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
  __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<__m128i*>(state)), 0xb1);
  __m128i hgfe = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<__m128i*>(state + 4)), 0x1b);
  __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);
  __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xf0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abefBefore = abef, cdghBefore = cdgh;
    // The last four groups' message words, group g's at g % 4. In memory: 32-bit code has
    // eight vector registers, and the compiler would otherwise spill cdgh, whose store and
    // reload in every group then lengthen the rounds' chain (half the speed).
    __m128i w[4];
    for (int group = 0; group < 16; ++group) {
      __m128i next;
      if (group < 4)
        next = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)), byteSwap);
      else
        next = _mm_sha256msg2_epu32(
            _mm_add_epi32(_mm_sha256msg1_epu32(w[group & 3], w[(group + 1) & 3]),
                          _mm_alignr_epi8(w[(group + 3) & 3], w[(group + 2) & 3], 4)),
            w[(group + 3) & 3]);
      w[group & 3] = next;
      const __m128i wk =
          _mm_add_epi32(next, _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0e));
    }
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xf0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// Whether CompressHardware runs: 0 not yet asked (the CPU is probed on first use), 1 no, 2 yes
// (zero-initialised data takes no room in the file). A plain int rather than a function-local
// static, which would need the C++ runtime's guard; two threads probing at once both store the
// same answer.
int hardwareState = 0;

// 1 when the CPU has the SHA extensions and the SSSE3 and SSE4.1 shuffles they are used with.
// Every CPU the program runs on (i686 and later) has CPUID, so its presence is not tested.
int HasShaExtensions() {
  unsigned a, b, c, d;
  __cpuid(0, a, b, c, d);
  if (a < 7) return 0;
  __cpuid(1, a, b, c, d);
  const unsigned leaf1 = c;
  __cpuid_count(7, 0, a, b, c, d);
  return leaf1 >> 9 & leaf1 >> 19 & b >> 29 & 1;
}

#endif

// Compresses blocks consecutive 64-byte blocks of data into state.
void CompressBlocks(uint32_t state[8], const unsigned char* data, uint32_t blocks) {
#ifdef PINECONE_SHA_NI
  if (hardwareState == 0) hardwareState = 1 + HasShaExtensions();
  if (hardwareState == 2) return CompressHardware(state, data, blocks);
#endif
  for (; blocks > 0; --blocks, data += 64) Compress(state, data);
}

}  // namespace

int Sha256UseHardware(int allowed) {
#ifdef PINECONE_SHA_NI
  return hardwareState = allowed ? HasShaExtensions() : 0;
#else
  (void)allowed;
  return 0;
#endif
}

void Sha256Init(Sha256& context) {
  static constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::memcpy(context.state, kInitial, sizeof kInitial);
  context.length = 0;
  context.filled = 0;
}

void Sha256Update(Sha256& context, const unsigned char* data, uint32_t count) {
  context.length += count;
  while (count > 0) {
    const unsigned char* blocks = data;
    uint32_t blockCount = count / 64;
    if (context.filled == 0 && blockCount > 0) {
      data += 64 * blockCount;
      count -= 64 * blockCount;
    } else {
      uint32_t take = 64 - context.filled;
      if (take > count) take = count;
      std::memcpy(context.block + context.filled, data, take);
      context.filled += take;
      data += take;
      count -= take;
      if (context.filled < 64) break;
      context.filled = 0;
      blocks = context.block;
      blockCount = 1;
    }
    CompressBlocks(context.state, blocks, blockCount);
  }
}

void Sha256Final(Sha256& context, unsigned char digest[kSha256Size]) {
  const uint64_t bits = context.length * 8;
  unsigned char pad[72] = {0x80};
  // Pad to 56 bytes past a block boundary, then the length in bits, big-endian.
  const uint32_t padCount = (context.filled < 56 ? 56 : 120) - context.filled;
  for (int i = 0; i < 8; ++i) pad[padCount + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  Sha256Update(context, pad, padCount + 8);
  for (uint32_t i = 0; i < kSha256Size; ++i)
    digest[i] = static_cast<unsigned char>(context.state[i / 4] >> (24 - 8 * (i % 4)));
}

void Sha256Of(const unsigned char* data, uint32_t count, unsigned char digest[kSha256Size]) {
  Sha256 context;
  Sha256Init(context);
  Sha256Update(context, data, count);
  Sha256Final(context, digest);
}

int Sha256OfSource(const ByteSource& source, unsigned char* buffer, uint32_t chunk,
                   unsigned char digest[kSha256Size]) {
  Sha256 context;
  Sha256Init(context);
  for (uint32_t offset = 0; offset < source.length;) {
    const uint32_t left = source.length - offset;
    const uint32_t count = left < chunk ? left : chunk;
    if (!source.read(source.context, offset, buffer, count)) return 0;
    Sha256Update(context, buffer, count);
    offset += count;
  }
  Sha256Final(context, digest);
  return 1;
}
