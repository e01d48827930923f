// RL_PATCH.EXE is a 32-bit program, and its SHA-256 takes the x86 SHA extensions where the CPU
// has them. This checks that path as 32-bit code, where the stack is only 4-byte aligned as on
// 32-bit Windows: a freestanding i386 program (no C library, no C++ runtime, as in the product)
// hashes buffers of many lengths with the hardware path and with the portable one. Exit code 0:
// the same digests through both; 3: the CPU has no SHA extensions (only the portable path ran);
// 10 + n: the n-th length gave different digests.
#include <stddef.h>

#include "delta/sha256.h"

extern "C" void* memcpy(void* to, const void* from, size_t n) {
  auto* a = static_cast<unsigned char*>(to);
  auto* b = static_cast<const unsigned char*>(from);
  while (n--) *a++ = *b++;
  return to;
}
extern "C" void* memset(void* to, int c, size_t n) {
  auto* a = static_cast<unsigned char*>(to);
  while (n--) *a++ = static_cast<unsigned char>(c);
  return to;
}
extern "C" int memcmp(const void* x, const void* y, size_t n) {
  auto* a = static_cast<const unsigned char*>(x);
  auto* b = static_cast<const unsigned char*>(y);
  for (; n; --n, ++a, ++b)
    if (*a != *b) return *a - *b;
  return 0;
}

namespace {

[[noreturn]] void Exit(int code) {
  asm volatile("int $0x80" : : "a"(1), "b"(code));  // Linux i386 exit
  for (;;) {
  }
}

unsigned char buffer[100003];

}  // namespace

extern "C" __attribute__((force_align_arg_pointer)) void _start() {
  for (unsigned i = 0; i < sizeof buffer; ++i)
    buffer[i] = static_cast<unsigned char>(i * 131 + (i >> 7));
  const int hardware = Sha256UseHardware(1);
  static const unsigned lengths[] = {0, 1, 3, 55, 56, 63, 64, 65, 127, 128, 1000, 4097, 100003};
  for (unsigned n = 0; n < sizeof lengths / sizeof lengths[0]; ++n) {
    unsigned char viaHardware[kSha256Size], portable[kSha256Size];
    Sha256UseHardware(1);
    Sha256Of(buffer, lengths[n], viaHardware);
    // The same bytes fed in odd pieces, through the hardware path again.
    Sha256 pieces;
    Sha256Init(pieces);
    for (unsigned at = 0; at < lengths[n]; at += 37)
      Sha256Update(pieces, buffer + at, lengths[n] - at < 37 ? lengths[n] - at : 37);
    unsigned char viaPieces[kSha256Size];
    Sha256Final(pieces, viaPieces);
    Sha256UseHardware(0);
    Sha256Of(buffer, lengths[n], portable);
    if (memcmp(viaHardware, portable, kSha256Size) != 0 ||
        memcmp(viaPieces, portable, kSha256Size) != 0)
      Exit(10 + static_cast<int>(n));
  }
  Exit(hardware ? 0 : 3);
}
