// The adaptive model of the range-coded delta method (kDeltaRangeCoded), shared by pinepack's
// encoder and the updater's decoder: both sides must predict every bit from the same state, so
// the layout, the contexts and the update rule live here once.
//
// Every bit is coded with a probability (of a 0, in 1/65536ths) kept in a cell with the number
// of bits seen in its context: a new context learns fast (the first bits move it by 1/2, 1/3,
// ...) and one seen kProbSteadyCount times by 1/8, so contexts that occur rarely still pay off.
// The range coder is the usual one for such models: 32-bit range, renormalised a byte at a
// time until it is 2^24 or more again (a bit against the odds can take several bytes),
// carries handled by the encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The probability is kept exclusive-or one half in the low 16 bits, the count above, so that
// a cell of 0 is a context not yet seen and the whole model resets with one memset.
using ProbCell = uint32_t;

constexpr uint32_t kProbOne = 1u << 16;
constexpr uint32_t kProbHalf = kProbOne / 2;
constexpr uint32_t kProbLimit = 32;  // the probability stays in [kProbLimit, kProbOne - kProbLimit]
constexpr uint32_t kProbSteadyCount = 6;
constexpr uint32_t kRangeTop = 1u << 24;

inline uint32_t Probability(ProbCell cell) { return (cell & 0xFFFF) ^ kProbHalf; }

// kProbOne / (count + 2) for each count: 1/2, 1/3, ... 1/8 in 1/65536ths.
inline constexpr uint16_t kProbRates[kProbSteadyCount + 1] = {32768, 21845, 16384, 13107,
                                                              10922, 9362,  8192};

// A cell seen often enough to learn at its slowest rate, whose 0 is as likely as a
// probability gets: coding a 0 with it leaves it as it is.
constexpr ProbCell kSureOfZero = kProbSteadyCount << 16 | ((kProbOne - kProbLimit) ^ kProbHalf);

// The cell after coding bit with it.
inline ProbCell Adapted(ProbCell cell, uint32_t bit) {
  uint32_t p = Probability(cell);
  uint32_t count = cell >> 16;
  const uint32_t rate = kProbRates[count];
  if (bit)
    p -= (p * rate) >> 16;
  else
    p += ((kProbOne - 1 - p) * rate) >> 16;
  if (p < kProbLimit) p = kProbLimit;
  if (p > kProbOne - kProbLimit) p = kProbOne - kProbLimit;
  if (count < kProbSteadyCount) ++count;
  return (count << 16) | (p ^ kProbHalf);
}

// Bits of a number's length: 0 for the value 0, else the position of its highest bit plus one.
// A command's number never needs more than kNumberMaxLength bits (a length fits in 32, a seek
// within a 32-bit base zigzag-coded in 33); the decoder refuses longer ones.
constexpr int kNumberLengthBits = 6;
constexpr uint32_t kNumberMaxLength = 34;

// A number: its length in a bit tree, then each bit below the leading one, each with a
// probability of its own per length and position.
struct NumberModel {
  ProbCell length[1 << kNumberLengthBits];
  ProbCell bits[kNumberMaxLength + 1][kNumberMaxLength];
};

// Bits of Literal2Tree's hash of the two bytes before.
constexpr int kLiteralHashBits = 12;

// Add bytes and copied bytes are coded as bit trees whose every bit has two cells, from two
// contexts, and the average of their probabilities; both cells learn from the bit. One context
// sees what the other misses, and the average costs little more than the better of them.
//
// The flags and trees are rows of 256 cells, reset when first used and laid out in the order
// of first use: a run that uses few contexts, a small file's, touches only the rows it uses,
// one after the other, however the contexts spread over the row numbers.
constexpr uint32_t kNonZeroRows = 0;                          // NonZeroCell
constexpr uint32_t kDifferenceRows = kNonZeroRows + 256;      // DifferenceTree
constexpr uint32_t kDifference2Rows = kDifferenceRows + 512;  // SecondDifferenceTree
constexpr uint32_t kLiteralRows = kDifference2Rows + 768;     // LiteralTree
constexpr uint32_t kLiteral2Rows = kLiteralRows + 256;        // Literal2Tree
constexpr uint32_t kModelRows = kLiteral2Rows + (1u << kLiteralHashBits);
static_assert(kModelRows < 65536, "a row's place fits its slot");

struct DeltaModel {
  NumberModel add, copy, seek;
  uint32_t rowsUsed;
  uint16_t slot[kModelRows];  // per row number: 0 until first used, then 1 + its place in places
  ProbCell places[kModelRows][256];
};

// Sets every probability of model to one half, not yet seen: the numbers' cells now, each row
// when first used.
inline void ResetDeltaModel(DeltaModel& model) {
  std::memset(&model, 0, offsetof(DeltaModel, places));
}

inline ProbCell* Row(DeltaModel& model, uint32_t row) {
  uint32_t slot = model.slot[row];
  if (!slot) {
    slot = ++model.rowsUsed;
    model.slot[row] = static_cast<uint16_t>(slot);
    std::memset(model.places[slot - 1], 0, sizeof model.places[slot - 1]);
  }
  return model.places[slot - 1];
}

// Whether an add byte (the difference from the base byte) is not zero: by whether each of the
// last eight add bytes was (history, one bit each, the newest lowest) and by the base byte
// before the current one (a call or jump whose target moved shows as differences right after
// its opcode byte).
inline ProbCell& NonZeroCell(DeltaModel& model, uint32_t history, uint32_t before) {
  return Row(model, kNonZeroRows + (history & 0xFF))[before];
}

// The first tree of a nonzero add byte: after a nonzero add byte, the tree of that byte (the
// next byte of a changed displacement follows the one before); else one by the base byte
// before.
inline ProbCell* DifferenceTree(DeltaModel& model, uint32_t history, uint32_t lastDifference,
                                uint32_t before) {
  return Row(model, kDifferenceRows + ((history & 1) ? lastDifference : 256 + before));
}

// The second tree of a nonzero add byte: after a nonzero add byte, that byte and whether the
// one before it was nonzero too (the byte's place in a displacement); else the first byte of
// the last run of nonzero add bytes (code that moved by the same amount changes every
// reference to what did not move by the same bytes).
inline ProbCell* SecondDifferenceTree(DeltaModel& model, uint32_t history, uint32_t lastDifference,
                                      uint32_t firstOfRun) {
  return Row(model,
             kDifference2Rows +
                 ((history & 1) ? 256 + (((history >> 1) & 1) << 8 | lastDifference) : firstOfRun));
}

// The trees of a copied byte: by the result byte before it, and by the two before it, hashed.
inline ProbCell* LiteralTree(DeltaModel& model, uint32_t lastByte) {
  return Row(model, kLiteralRows + lastByte);
}
inline ProbCell* Literal2Tree(DeltaModel& model, uint32_t lastByte, uint32_t byteBefore) {
  return Row(model, kLiteral2Rows + ((((byteBefore << 8) | lastByte) * 2654435761u) >>
                                     (32 - kLiteralHashBits)));
}

// Number of bits in value (0 for 0).
inline uint32_t BitLength(uint64_t value) {
  uint32_t n = 0;
  for (; value; value >>= 1) ++n;
  return n;
}
