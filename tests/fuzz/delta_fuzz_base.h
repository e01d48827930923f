// The base buffer of the delta fuzzer and of its seeds: a fixed pattern, with runs and noise,
// so that seeds made against it apply in the fuzzer.
#pragma once

#include <cstdint>

constexpr uint32_t kDeltaFuzzBaseSize = 1024;
// The largest result of a delta the fuzzer runs: a body decodes bit by bit, and any bytes decode
// to something, so larger results would only slow the runs.
constexpr uint32_t kDeltaFuzzMaxResult = kDeltaFuzzBaseSize / 2;

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
    made = true;
  }
  return base;
}
