// The adaptive model of the range-coded delta method (kDeltaRangeCoded), shared by pinepack's
// encoder and the updater's decoder: both sides must predict every bit from the same state, so
// the layout, the contexts and the update rule live here once.
//
// Every bit is coded with a probability (of a 0, in 1/65536ths) that adapts after each bit by
// 1/32 of the distance to the outcome. The carry-less range coder is the usual one for such
// models: 32-bit range, renormalised a byte at a time when it drops below 2^24.
#pragma once

#include <cstdint>

constexpr uint32_t kProbOne = 1u << 16;
constexpr int kProbAdapt = 5;
constexpr uint32_t kRangeTop = 1u << 24;

// Bits of a number's length: 0 for the value 0, else the position of its highest bit plus one.
// A varint of the command stream never needs more than kNumberMaxLength.
constexpr int kNumberLengthBits = 6;
constexpr uint32_t kNumberMaxLength = 34;

// A number: its length in a bit tree, then each bit below the leading one, each with a
// probability of its own per length and position.
struct NumberModel {
  uint16_t length[1 << kNumberLengthBits];
  uint16_t bits[kNumberMaxLength + 1][kNumberMaxLength];
};

struct DeltaModel {
  // Whether an add byte (the difference from the base byte) is not zero, by whether the last
  // three add bytes were not zero and by the base byte before the current one: a call or jump
  // whose target moved shows as differences right after its opcode byte.
  uint16_t nonZero[8 * 256];
  // A nonzero add byte in a bit tree, by the add byte before it: displacements to code that
  // moved by the same amount differ by the same bytes.
  uint16_t difference[256][256];
  // A copied byte in a bit tree, by the result byte before it.
  uint16_t literal[256][256];
  NumberModel add, copy, seek;
};

// Sets every probability of model to one half.
inline void ResetDeltaModel(DeltaModel& model) {
  uint16_t* p = &model.nonZero[0];
  for (uint32_t i = 0; i < sizeof model / sizeof(uint16_t); ++i) p[i] = kProbOne / 2;
}

// The context of the nonzero flag of an add byte: history holds one bit per earlier add byte
// (1 = nonzero), the newest lowest; before is the base byte preceding the current one.
inline uint32_t NonZeroContext(uint32_t history, uint32_t before) {
  return ((history & 7) << 8) | before;
}

// Number of bits in value (0 for 0).
inline uint32_t BitLength(uint64_t value) {
  uint32_t n = 0;
  for (; value; value >>= 1) ++n;
  return n;
}
