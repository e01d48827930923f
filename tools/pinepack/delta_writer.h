// Making delta streams (src/delta/delta.h): the bsdiff-style diff of two versions of a file
// and the stream that carries its commands. Tool code only: the updater applies deltas, it never
// makes them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "delta/delta.h"

// One command of the add/copy/seek method: add bytes from the base plus a difference, copy
// bytes taken as they are, then a move of the base position.
struct DeltaCommand {
  uint32_t add = 0;
  uint32_t copy = 0;
  int64_t seek = 0;
};

// Commands that turn base into result: suffix-array matching (approximate matches extended
// while more bytes agree than differ), as in bsdiff. Deterministic.
std::vector<DeltaCommand> DiffBytes(const std::vector<uint8_t>& base,
                                    const std::vector<uint8_t>& result);

struct DeltaModel;
struct RangeEncoder;

// Writes a kDeltaRangeCoded body piece by piece, in the order the decoder reads it: a command's
// numbers, then its add bytes, then its copied bytes. It checks nothing, so that tests can make
// hostile streams; RangeCodedBody is the checked way from commands to a body.
class RangeBodyWriter {
 public:
  RangeBodyWriter();
  ~RangeBodyWriter();
  // seekCode: the seek zigzag-coded (SeekCode). A number of more than kNumberMaxLength bits
  // (below 2^63) is written as its length alone, which the decoder refuses.
  void Command(uint64_t add, uint64_t copy, uint64_t seekCode);
  // One add byte: before is the base byte before baseByte (0 at the base's start).
  void Add(uint8_t before, uint8_t baseByte, uint8_t resultByte);
  void Copy(uint8_t byte);
  // The body; the writer is done.
  std::vector<uint8_t> Finish();

 private:
  std::vector<uint8_t> body_;
  struct FreeModel {
    void operator()(DeltaModel* model) const;
  };
  std::unique_ptr<DeltaModel, FreeModel> model_;
  std::unique_ptr<RangeEncoder> encoder_;
  uint32_t history_ = 0;
  uint32_t lastDifference_ = 0;
  uint32_t firstOfRun_ = 0;
  uint32_t lastByte_ = 0;
  uint32_t byteBefore_ = 0;
};

// A signed move of the base position as the streams carry it: 0, -1, 1, -2 ... as 0, 1, 2, 3.
uint64_t SeekCode(int64_t seek);

// The body of a kDeltaRangeCoded stream for commands over base and result (the differences and
// copied bytes taken from them). Throws std::invalid_argument when a command reaches outside
// base or result.
std::vector<uint8_t> RangeCodedBody(const std::vector<DeltaCommand>& commands,
                                    const std::vector<uint8_t>& base,
                                    const std::vector<uint8_t>& result);

// A whole delta stream: the header (method, the sizes and hashes of base and result) and body.
std::vector<uint8_t> DeltaStreamWith(DeltaMethod method, const std::vector<uint8_t>& base,
                                     const std::vector<uint8_t>& result,
                                     const std::vector<uint8_t>& body);

// The suffix array of data (the start of each suffix, in lexicographic order) by prefix
// doubling: what DiffBytes uses where libdivsufsort is not built in (the Windows builds of
// pinepack); slower, the same result.
std::vector<int32_t> SuffixArrayBySorting(const std::vector<uint8_t>& data);

// The kDeltaRangeCoded stream of DiffBytes' commands.
std::vector<uint8_t> MakeDelta(const std::vector<uint8_t>& base,
                               const std::vector<uint8_t>& result);

// Applies delta to base in memory with ApplyDelta (chunk bytes at a time); true when it
// succeeds and gives exactly expected.
bool DeltaGives(const std::vector<uint8_t>& delta, const std::vector<uint8_t>& base,
                const std::vector<uint8_t>& expected, uint32_t chunk = kDeltaDefaultChunk);
