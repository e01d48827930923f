// Making delta streams (src/delta/delta.h): the bsdiff-style diff of two versions of a file
// and the stream that carries its commands. Tool code only: the updater applies deltas, it never
// makes them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "delta/delta.h"
#include "delta/relocated_places.h"

// One command of the add/copy/seek method: add bytes from the base plus a difference, copy
// bytes taken as they are, then a move of the base position.
struct DeltaCommand {
  uint32_t add = 0;
  uint32_t copy = 0;
  int64_t seek = 0;
};

// Commands that turn base into result: matching by the base's suffix array (SuffixArray,
// suffix_sort.h, the same in every build), approximate matches extended while more bytes agree
// than differ, as in bsdiff. Deterministic. Memory beside the two files: the suffix array (4
// bytes a base byte) and the commands.
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
  // Binary decisions coded so far, and of them the add bytes' zero flags coded by a cell as sure
  // of a 0 as the model gets (the applier's fast path): what applying the body costs.
  uint64_t Decisions() const;
  uint64_t SureDecisions() const { return sure_; }

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
  uint64_t sure_ = 0;
};

// Appends value to out as a LEB128 number (7 bits a byte, low ones first, the top bit set on
// every byte but the last): how the words method's sections carry their numbers.
void PutNumber(std::vector<uint8_t>& out, uint64_t value);

// A signed move of the base position as the streams carry it: 0, -1, 1, -2 ... as 0, 1, 2, 3.
uint64_t SeekCode(int64_t seek);

// The commands with every empty one (nothing added or copied) after the first folded into the
// one before: the appliers take an empty command only first.
std::vector<DeltaCommand> FoldedCommands(const std::vector<DeltaCommand>& commands);

// What applying a range-coded body costs: its decisions (RangeBodyWriter).
struct RangeCodedCost {
  uint64_t decisions = 0;
  uint64_t sure = 0;
};

// The body of a kDeltaRangeCoded stream for commands over base and result (the differences and
// copied bytes taken from them). Throws std::invalid_argument when a command reaches outside
// base or result. cost, when given, receives what applying it costs.
std::vector<uint8_t> RangeCodedBody(const std::vector<DeltaCommand>& commands,
                                    const std::vector<uint8_t>& base,
                                    const std::vector<uint8_t>& result,
                                    RangeCodedCost* cost = nullptr);

// The sections of one kDeltaDeflatedWords block, in their order (commands, gaps, ops, values,
// copied).
using WordBlock = std::vector<std::vector<uint8_t>>;

// Blocks as a kDeltaDeflatedWords body: each block's five lengths and sections, deflated at
// level 9 as one zlib stream, each section ended as a deflate block of its own when
// splitSections (its own codes) or not. The ops go with the filtered strategy, the rest with the
// default; with tryStrategies (and splitSections) the commands, gaps and ops each with the
// smaller of both, tried from a copy of the stream (a second deflater's state: some 0.8 MB more at
// the peak). Checks nothing, so that tests can make hostile bodies.
// With lzCopied, blocks of a kDeltaWordsCallsLz body: ten sections each, the fifth (the copied
// bytes) given by its length alone.
std::vector<uint8_t> DeflatedBlocks(const std::vector<WordBlock>& blocks, bool splitSections,
                                    bool tryStrategies = false, bool lzCopied = false);

// Whether a words body codes the calls in its copied bytes by their targets (CodeCallTargets,
// the methods kDeltaWordsCalls and kDeltaWordsTablesCalls): never; where the result is a
// program image ("MZ") and that makes the body smaller; always; always, and the copied bytes as
// matches and literals too (kDeltaWordsCallsLz, which kTried also tries after calls).
enum class CallsCoding { kNever, kTried, kAlways, kAlwaysLz };

// The body of a kDeltaDeflatedWords stream for commands over base and result: each change as a
// word or a byte, blocks of at most kWordBlockMax, deflated the smaller way. With predicted, a
// kDeltaWordsPredicted body: a word change whose value the base word predicts goes as
// kWordOpPredicted, and *predicted is how many did (with none, the body is the plain one).
// With calls, *callsCoded (where given) says how the body codes them: kNever, kAlways (a
// kDeltaWordsCalls body, whose predictions may be none) or kAlwaysLz (kDeltaWordsCallsLz).
// With places, the body of a relocated method: each word at one that unchanged bytes hold whole
// is changed by its prediction. Throws std::invalid_argument as RangeCodedBody.
struct ChangedPlaces {
  std::vector<uint32_t> at;   // increasing base positions
  std::vector<uint8_t> call;  // per place, 1 for a call's (the second row's prediction); or empty
};
std::vector<uint8_t> DeflatedWordsBody(const std::vector<DeltaCommand>& commands,
                                       const std::vector<uint8_t>& base,
                                       const std::vector<uint8_t>& result,
                                       uint64_t* predicted = nullptr,
                                       CallsCoding calls = CallsCoding::kNever,
                                       CallsCoding* callsCoded = nullptr,
                                       const ChangedPlaces& places = {});

// A whole delta stream: the header (method, the sizes and hashes of base and result) and body.
std::vector<uint8_t> DeltaStreamWith(DeltaMethod method, const std::vector<uint8_t>& base,
                                     const std::vector<uint8_t>& result,
                                     const std::vector<uint8_t>& body);

// What range decoding a body of this cost adds to applying the file, in tenths of a
// nanosecond: an estimate from times per decision measured on the benchmarks.
uint64_t RangeDecodingCost(const RangeCodedCost& cost);

// What the range decoding of one update may cost (tenths of a nanosecond) for applying it to
// stay within one and a half times installing the new version whole: releaseBytes, every file
// of the new version, whole; deltaBytes of files built from deltas, wholeBytes of files the
// update installs whole. 0 when even that is over.
uint64_t RangeDecodingBudget(uint64_t releaseBytes, uint64_t deltaBytes, uint64_t wholeBytes);

// A table of places in a program image (image_tables.h): its kind and where its bytes lie.
struct ImageTablePlace {
  uint32_t kind;
  uint32_t offset;
  uint32_t size;
};

// The tables of a PE image that kDeltaWordsTables codes: the base relocation table, and for an
// x64 image the exception table, each from its data directory mapped through the section whose
// file bytes hold it, in the order they lie in the file. Empty for anything else (not a PE image,
// cut headers, no such table, tables outside every section or the file, or overlapping).
std::vector<ImageTablePlace> FindImageTables(const std::vector<uint8_t>& image);

// The coded form of size bytes of table of kind (ImageTable). False when they are not a whole
// table of that kind.
bool CodeImageTable(uint32_t kind, const uint8_t* table, uint32_t size,
                    std::vector<uint8_t>& coded);

// The body of a kDeltaWordsTables stream between base and result with the tables given (paired
// in order, of the same kinds), coded in copies: for tests and hand-made streams. Empty when one
// does not code or the lists differ in length. calls: kNever, kAlways or kAlwaysLz (with kTried
// the caller could not tell which method the body is). With sections, the body of the relocated
// method of the same calls (empty where the base's relocation table gives no place), with
// callPlaces the one with call places.
std::vector<uint8_t> TablesWordsBody(
    const std::vector<uint8_t>& base, const std::vector<ImageTablePlace>& baseTables,
    const std::vector<uint8_t>& result, const std::vector<ImageTablePlace>& resultTables,
    uint64_t* predicted = nullptr, CallsCoding calls = CallsCoding::kNever,
    const std::vector<ImageSection>* sections = nullptr, bool callPlaces = false);

// The delta streams a file can travel as: deflated words always; range coded too where its
// least cost is at most rangedCostLimit (a large file's model touches megabytes, for a body
// that could not be taken), else empty. Both are whole streams (DeltaStreamWith). Where both
// files are program images with the same tables of places, and they code (FindImageTables),
// words is a kDeltaWordsTables stream and there is no range-coded one. Words with changes that
// the base predicts are of the predicted methods (kDeltaWordsPredicted,
// kDeltaWordsTablesPredicted); with calls coded by their targets, where that is smaller, of
// kDeltaWordsCalls and kDeltaWordsTablesCalls, and with their copied bytes as matches too,
// where that is smaller still, of kDeltaWordsCallsLz and kDeltaWordsTablesCallsLz.
struct DeltaCandidates {
  std::vector<uint8_t> words;
  std::vector<uint8_t> ranged;
  uint64_t rangedCost = 0;  // RangeDecodingCost of ranged
};
// base and result are changed during the call (their tables coded in place, so that memory
// stays as a plain diff's) and are as they were when it returns or throws.
DeltaCandidates MakeDeltaCandidates(std::vector<uint8_t>& base, std::vector<uint8_t>& result,
                                    uint64_t rangedCostLimit);

// The delta stream of a file updated on its own: range coded where that is the smaller and its
// decoding fits RangeDecodingBudget for this file alone, else deflated words. The caller checks
// it with DeltaGives.
std::vector<uint8_t> MakeDelta(const std::vector<uint8_t>& base,
                               const std::vector<uint8_t>& result);

// The delta stream of DiffBytes' commands by the given method (kDeltaWordsTables,
// kDeltaWordsTablesPredicted and kDeltaWordsTablesCalls: between the images with their tables
// coded; throws
// std::invalid_argument where they have none).
std::vector<uint8_t> MakeDeltaWith(DeltaMethod method, const std::vector<uint8_t>& base,
                                   const std::vector<uint8_t>& result);

// A range-coded stream that could replace a file's deflated-words one: the bytes it saves and
// its RangeDecodingCost.
struct RangedOption {
  uint64_t saving = 0;
  uint64_t cost = 0;
};

// Which options to take so that their costs together stay within budget: the most bytes saved
// per cost first (greedy; one per entry of options, in order).
std::vector<bool> ChooseRangeCoded(const std::vector<RangedOption>& options, uint64_t budget);

// Applies delta to base in memory with ApplyDelta (chunk bytes at a time); true when it
// succeeds and gives exactly expected.
bool DeltaGives(const std::vector<uint8_t>& delta, const std::vector<uint8_t>& base,
                const std::vector<uint8_t>& expected, uint32_t chunk = kDeltaDefaultChunk);
