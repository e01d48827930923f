#include "delta_writer.h"

#include <zlib.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "copied_lz.h"
#include "delta/delta_model.h"
#include "delta/image_tables.h"
#include "delta/relocated_places.h"
#include "package/pe_image.h"
#include "package_writer.h"
#include "suffix_sort.h"

namespace {

// How far base from at agrees with what, both from skip on (the first skip bytes agree), within
// limit bytes; order receives the comparison of base from at with what over limit bytes.
size_t CommonPrefix(const uint8_t* base, const uint8_t* what, size_t skip, size_t limit,
                    int& order) {
  size_t i = skip;
  while (i < limit && base[i] == what[i]) ++i;
  order = i == limit ? 0 : (base[i] < what[i] ? -1 : 1);
  return i;
}

// The longest prefix of what (whatLength bytes) found in base, by binary search of its suffix
// array; position receives where it starts. The suffixes between the bounds of the search
// share at least the shorter of the bounds' common prefixes with what, so each step compares
// only from there on: a step costs a few new bytes, not the whole match again.
size_t LongestMatch(const std::vector<int32_t>& sa, const std::vector<uint8_t>& base,
                    const uint8_t* what, size_t whatLength, int64_t& position) {
  position = 0;
  if (sa.empty() || whatLength == 0) return 0;
  const uint8_t* o = base.data();
  auto prefix = [&](size_t index, size_t skip, int& order) {
    const auto at = static_cast<size_t>(sa[index]);
    return CommonPrefix(o + at, what, skip, std::min(base.size() - at, whatLength), order);
  };
  int order;
  size_t low = 0, high = sa.size() - 1;
  size_t lowLength = prefix(low, 0, order);
  size_t highLength = prefix(high, 0, order);
  while (high - low > 1) {
    const size_t middle = low + (high - low) / 2;
    const size_t length = prefix(middle, std::min(lowLength, highLength), order);
    if (order < 0) {
      low = middle;
      lowLength = length;
    } else {
      high = middle;
      highLength = length;
    }
  }
  if (lowLength >= highLength) {
    position = sa[low];
    return lowLength;
  }
  position = sa[high];
  return highLength;
}

// The choice of matches: a stretch of the base is worth taking while more than half of its bytes
// agree, and a new alignment is taken only when it beats the current one by more than kBetterBy
// bytes. (2 in 5 measured better on esbuild 0.28.1 -> 0.28.2 when first tuned, 614,326 bytes
// against 643,350 with half and 8; with the deltas coded as they are now, half is smaller on ten
// of eleven pairs: esbuild 0.27.7 -> 0.28.0 by 1.9%, its x64 build by 1.6%, ast-grep by 1.1%, biome
// 2.2.0 -> 2.2.4, lightningcss, swc, prettier and the esbuild and its x64 0.28.1 -> 0.28.2 by
// 0.3 to 0.6%, rollup's x64 build by 5 bytes, and rollup's ia32 build larger by 28. With
// MoveNeeds, 4 rather than 6 made eight of ten pairs 0.1 to 2.3% smaller, esbuild 0.27.7 ->
// 0.28.0 by 1.1%; ast-grep grew by 0.1%, rollup by 0.7%.)
constexpr int64_t kBetterBy = 4;
bool Pays(int64_t agree, int64_t length, int64_t bestAgree, int64_t bestLength) {
  return agree * 2 - length > bestAgree * 2 - bestLength;
}

// How long an exact match at another alignment must be to be taken: 2 log2(distance) - 8 bytes
// for a move of the base position by distance from the current alignment (16 bytes at 4 KB, 32 at
// a megabyte). A release whose code was rearranged throughout has short matches scattered over
// the whole base; taken, each cost its move (random bits), its add and copy lengths and its
// changes, more than its bytes coded as new. Measured against taking any with no such need: the
// commands of esbuild 0.27.7 -> 0.28.0 a third as many and its delta 7.5% smaller, swc 4%,
// ast-grep 3%, esbuild 0.28.1 -> 0.28.2 3.5%, prettier 0.5%; each pair of the benchmark smaller.
// It counts on the bytes left out compressing: pieces of random bytes moved about in 30-byte runs
// (none of the benchmark's releases) now go as new at their full size, five times the delta.
int64_t MoveNeeds(int64_t distance) {
  if (distance < 0) distance = -distance;
  if (distance < 32) return 0;
  const int log2 = 63 - __builtin_clzll(static_cast<uint64_t>(distance));
  return 2 * log2 - 8;
}

}  // namespace

std::vector<DeltaCommand> DiffBytes(const std::vector<uint8_t>& base,
                                    const std::vector<uint8_t>& result) {
#if defined(__GLIBC__)
  // What the files before this one used is freed but stays resident in glibc's heap, and the
  // suffix array, the largest allocation, would come on top of it: handed back first (on
  // prettier 3.6.1 -> 3.6.2, a peak of 5.8 MB of the tool's own memory down to 4.8).
  malloc_trim(0);
#endif
  const std::vector<int32_t> sa = SuffixArray(base);
  const auto oldSize = static_cast<int64_t>(base.size());
  const auto newSize = static_cast<int64_t>(result.size());
  const uint8_t* o = base.data();
  const uint8_t* n = result.data();
  auto same = [&](int64_t oldAt, int64_t newAt) {
    return oldAt >= 0 && oldAt < oldSize && o[oldAt] == n[newAt];
  };

  std::vector<DeltaCommand> commands;
  int64_t scan = 0, length = 0, position = 0;
  int64_t lastScan = 0, lastPosition = 0, lastOffset = 0;
  while (scan < newSize) {
    // Look for the next exact match that is clearly better than carrying on from the last
    // match's alignment (lastOffset): more than kBetterBy bytes longer than what that alignment
    // gives.
    int64_t oldScore = 0;
    int64_t scored = scan += length;
    for (; scan < newSize; ++scan) {
      length = static_cast<int64_t>(
          LongestMatch(sa, base, n + scan, static_cast<size_t>(newSize - scan), position));
      for (; scored < scan + length; ++scored)
        if (same(scored + lastOffset, scored)) ++oldScore;
      if ((length == oldScore && length != 0) ||
          (length > oldScore + kBetterBy && length >= MoveNeeds(position - (scan + lastOffset))))
        break;
      if (same(scan + lastOffset, scan)) --oldScore;
    }
    if (length == oldScore && scan != newSize) continue;

    // Extend the last match forward and the new one backward as far as the stretch pays (Pays);
    // where the two extensions overlap, split at the best point.
    int64_t forward = 0;
    for (int64_t i = 0, s = 0, best = 0; lastScan + i < scan && lastPosition + i < oldSize;) {
      if (o[lastPosition + i] == n[lastScan + i]) ++s;
      ++i;
      if (Pays(s, i, best, forward)) {
        best = s;
        forward = i;
      }
    }
    int64_t backward = 0;
    if (scan < newSize) {
      for (int64_t i = 1, s = 0, best = 0; scan >= lastScan + i && position >= i; ++i) {
        if (o[position - i] == n[scan - i]) ++s;
        if (Pays(s, i, best, backward)) {
          best = s;
          backward = i;
        }
      }
    }
    if (lastScan + forward > scan - backward) {
      const int64_t overlap = (lastScan + forward) - (scan - backward);
      int64_t s = 0, best = 0, split = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        if (n[lastScan + forward - overlap + i] == o[lastPosition + forward - overlap + i]) ++s;
        if (n[scan - backward + i] == o[position - backward + i]) --s;
        if (s > best) {
          best = s;
          split = i + 1;
        }
      }
      forward += split - overlap;
      backward -= split;
    }

    DeltaCommand command;
    command.add = static_cast<uint32_t>(forward);
    command.copy = static_cast<uint32_t>((scan - backward) - (lastScan + forward));
    command.seek = (position - backward) - (lastPosition + forward);
    commands.push_back(command);
    lastScan = scan - backward;
    lastPosition = position - backward;
    lastOffset = position - scan;
  }
  return commands;
}

// The encoder that matches RangeDecoder in delta_apply.cpp bit for bit: low keeps 33 bits, the
// carry out of them goes into the byte held back in cache (with any 0xFF bytes after it).
struct RangeEncoder {
  std::vector<uint8_t>& out;
  uint64_t low = 0;
  uint32_t range = 0xFFFFFFFF;
  uint8_t cache = 0;
  uint64_t pending = 1;  // cache and the 0xFF bytes after it, not yet written

  void ShiftLow() {
    if (static_cast<uint32_t>(low) < 0xFF000000u || (low >> 32) != 0) {
      const auto carry = static_cast<uint8_t>(low >> 32);
      uint8_t byte = cache;
      for (; pending > 0; --pending) {
        out.push_back(static_cast<uint8_t>(byte + carry));
        byte = 0xFF;
      }
      cache = static_cast<uint8_t>(low >> 24);
    }
    ++pending;
    low = (low & 0x00FFFFFF) << 8;
  }

  uint64_t decisions = 0;

  // One bit whose 0 has the given probability.
  void Encode(uint32_t probability, uint32_t bit) {
    ++decisions;
    const uint32_t bound = (range >> 16) * probability;
    if (bit == 0) {
      range = bound;
    } else {
      low += bound;
      range -= bound;
    }
    while (range < kRangeTop) {
      range <<= 8;
      ShiftLow();
    }
  }

  void Bit(ProbCell& cell, uint32_t bit) {
    Encode(Probability(cell), bit);
    cell = Adapted(cell, bit);
  }

  // A byte in two bit trees at once, as DecodeBytePair reads it.
  void BytePair(ProbCell* first, ProbCell* second, uint32_t byte) {
    uint32_t m = 1;
    for (int i = 8; i-- > 0;) {
      const uint32_t bit = (byte >> i) & 1;
      Encode((Probability(first[m]) + Probability(second[m])) >> 1, bit);
      first[m] = Adapted(first[m], bit);
      second[m] = Adapted(second[m], bit);
      m = (m << 1) | bit;
    }
  }

  void Tree(ProbCell* probabilities, int bits, uint32_t symbol) {
    uint32_t m = 1;
    for (int i = bits; i-- > 0;) {
      const uint32_t bit = (symbol >> i) & 1;
      Bit(probabilities[m], bit);
      m = (m << 1) | bit;
    }
  }

  void Number(NumberModel& model, uint64_t value) {
    const uint32_t length = BitLength(value);
    Tree(model.length, kNumberLengthBits, length);
    if (length > kNumberMaxLength) return;  // only in hostile streams: the length alone
    for (uint32_t i = length; i-- > 1;) Bit(model.bits[length][i - 1], (value >> (i - 1)) & 1);
  }

  void Finish() {
    for (int i = 0; i < 5; ++i) ShiftLow();
  }
};

RangeBodyWriter::RangeBodyWriter()
    // Zeroed memory is a reset model (ResetDeltaModel); calloc's fresh pages stay untouched,
    // and out of the tool's memory, until a context is used.
    : model_(static_cast<DeltaModel*>(std::calloc(1, sizeof(DeltaModel)))),
      encoder_(new RangeEncoder{body_}) {
  if (!model_) throw std::bad_alloc();
}

void RangeBodyWriter::FreeModel::operator()(DeltaModel* model) const { std::free(model); }

RangeBodyWriter::~RangeBodyWriter() = default;

void RangeBodyWriter::Command(uint64_t add, uint64_t copy, uint64_t seekCode) {
  encoder_->Number(model_->add, add);
  encoder_->Number(model_->copy, copy);
  encoder_->Number(model_->seek, seekCode);
}

void RangeBodyWriter::Add(uint8_t before, uint8_t baseByte, uint8_t resultByte) {
  const uint32_t difference = static_cast<uint8_t>(resultByte - baseByte);
  ProbCell& flag = NonZeroCell(*model_, history_, before);
  if (flag == kSureOfZero && difference == 0) ++sure_;
  encoder_->Bit(flag, difference != 0);
  if (difference != 0) {
    encoder_->BytePair(DifferenceTree(*model_, history_, lastDifference_, before),
                       SecondDifferenceTree(*model_, history_, lastDifference_, firstOfRun_),
                       difference);
    if (!(history_ & 1)) firstOfRun_ = difference;
  }
  history_ = (history_ << 1) | (difference != 0);
  lastDifference_ = difference;
  byteBefore_ = lastByte_;
  lastByte_ = resultByte;
}

void RangeBodyWriter::Copy(uint8_t byte) {
  encoder_->BytePair(LiteralTree(*model_, lastByte_), Literal2Tree(*model_, lastByte_, byteBefore_),
                     byte);
  byteBefore_ = lastByte_;
  lastByte_ = byte;
}

uint64_t RangeBodyWriter::Decisions() const { return encoder_->decisions; }

std::vector<uint8_t> RangeBodyWriter::Finish() {
  encoder_->Finish();
  const uLong adler = adler32(adler32(0, Z_NULL, 0), body_.data(), static_cast<uInt>(body_.size()));
  for (int i = 0; i < 4; ++i) body_.push_back(static_cast<uint8_t>(adler >> (8 * i)));
  return std::move(body_);
}

namespace {

// PutNumber's bytes written into bytes; how many it took.
constexpr size_t kNumberBytesMax = 10;
size_t NumberBytes(uint64_t value, uint8_t (&bytes)[kNumberBytesMax]) {
  size_t length = 0;
  for (; value >= 0x80; value >>= 7) bytes[length++] = static_cast<uint8_t>(value | 0x80);
  bytes[length++] = static_cast<uint8_t>(value);
  return length;
}

}  // namespace

void PutNumber(std::vector<uint8_t>& out, uint64_t value) {
  uint8_t bytes[kNumberBytesMax];
  out.insert(out.end(), bytes, bytes + NumberBytes(value, bytes));
}

uint64_t SeekCode(int64_t seek) {
  return seek >= 0 ? static_cast<uint64_t>(seek) << 1
                   : ((static_cast<uint64_t>(-(seek + 1))) << 1) | 1;
}

std::vector<DeltaCommand> FoldedCommands(const std::vector<DeltaCommand>& commands) {
  std::vector<DeltaCommand> folded;
  for (const DeltaCommand& c : commands) {
    if (c.add == 0 && c.copy == 0 && !folded.empty())
      folded.back().seek += c.seek;
    else
      folded.push_back(c);
  }
  return folded;
}

namespace {

// Calls each(command, at, position) for the folded commands that build result from base,
// where at is the command's place in result and position its add bytes' place in base; checks
// that every command stays inside both and that together they build all of result.
template <typename Each>
void ForEachCommand(const std::vector<DeltaCommand>& commands, const std::vector<uint8_t>& base,
                    const std::vector<uint8_t>& result, Each each) {
  uint64_t at = 0;
  int64_t position = 0;
  for (const DeltaCommand& c : FoldedCommands(commands)) {
    if (at == result.size()) break;
    if (position < 0 || position + c.add > static_cast<int64_t>(base.size()) ||
        at + c.add + c.copy > result.size())
      throw std::invalid_argument("delta command outside base or result");
    each(c, at, static_cast<uint64_t>(position));
    at += c.add + c.copy;
    position += c.add + c.seek;
    if (position < 0 || position > static_cast<int64_t>(base.size()))
      throw std::invalid_argument("delta command seeks outside the base");
  }
  if (at != result.size()) throw std::invalid_argument("delta commands do not cover the result");
}

// The blocks of a kDeltaDeflatedWords body as the commands fill them: each part goes into the
// current block when it has room, else into a new one, so that no block is larger than
// kWordBlockMax and no change is parted from its gap.
class WordBlockFiller {
 public:
  enum { kCommands, kGaps, kOps, kValues, kCopied };
  // Where the copied bytes go as matches (WithLzCopied), their literals and offset bits follow
  // as the sixth and the tenth section.
  enum { kLzLiterals = 5, kLzOffsetBits = 9 };

  // limit: the most bytes a block's sections hold (at most kWordBlockMax).
  explicit WordBlockFiller(size_t limit) : limit_(limit) {}

  void Command(const DeltaCommand& c) {
    Room(15);
    PutNumber(block_[kCommands], c.add);
    PutNumber(block_[kCommands], c.copy);
    PutNumber(block_[kCommands], SeekCode(c.seek));
  }
  void Gap(uint64_t gap) {
    Room(5);
    PutNumber(block_[kGaps], gap);
  }
  // A change after gap unchanged bytes: its op, and the value of a new word or a byte.
  void Change(uint64_t gap, uint8_t op, const uint8_t* value, size_t valueLength) {
    Room(10);
    PutNumber(block_[kGaps], gap);
    block_[kOps].push_back(op);
    block_[kValues].insert(block_[kValues].end(), value, value + valueLength);
  }
  // count copied bytes at position of the result; with calls, each block's piece of them with
  // its calls coded (CodeCallTargets), as the applier decodes them.
  void Copy(const uint8_t* bytes, size_t count, uint64_t position, bool calls) {
    while (count > 0) {
      Room(1);
      const size_t step = std::min(count, limit_ - Held());
      std::vector<uint8_t>& copied = block_[kCopied];
      copied.insert(copied.end(), bytes, bytes + step);
      if (calls)
        CodeCallTargets(&copied[copied.size() - step], static_cast<uint32_t>(step),
                        static_cast<uint32_t>(position), 0);
      bytes += step;
      position += step;
      count -= step;
    }
  }
  std::vector<WordBlock> Finish() {
    if (Held() > 0) blocks_.push_back(block_);
    return std::move(blocks_);
  }

 private:
  size_t Held() const {
    size_t held = 0;
    for (const auto& section : block_) held += section.size();
    return held;
  }
  // Starts a new block unless this one has room for count more bytes.
  void Room(size_t count) {
    if (Held() + count > limit_) {
      blocks_.push_back(block_);
      for (auto& section : block_) section.clear();
    }
  }

  size_t limit_;
  WordBlock block_ = WordBlock(5);
  std::vector<WordBlock> blocks_;
};

}  // namespace

std::vector<uint8_t> RangeCodedBody(const std::vector<DeltaCommand>& commands,
                                    const std::vector<uint8_t>& base,
                                    const std::vector<uint8_t>& result, RangeCodedCost* cost) {
  RangeBodyWriter writer;
  ForEachCommand(commands, base, result, [&](const DeltaCommand& c, uint64_t at, uint64_t from) {
    writer.Command(c.add, c.copy, SeekCode(c.seek));
    for (uint32_t i = 0; i < c.add; ++i)
      writer.Add(from + i > 0 ? base[from + i - 1] : 0, base[from + i], result[at + i]);
    for (uint32_t i = 0; i < c.copy; ++i) writer.Copy(result[at + c.add + i]);
  });
  if (cost) *cost = RangeCodedCost{writer.Decisions(), writer.SureDecisions()};
  return writer.Finish();
}

std::vector<uint8_t> DeflatedBlocks(const std::vector<WordBlock>& blocks, bool splitSections,
                                    bool tryStrategies, bool lzCopied) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (deflateInit2(&z, 9, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY) != Z_OK) throw std::bad_alloc();
  std::vector<uint8_t> out;
  uint8_t buffer[64 * 1024];
  const auto put = [&](z_stream& s, std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes,
                       int flush) {
    s.next_in = const_cast<Bytef*>(bytes.data());
    s.avail_in = static_cast<uInt>(bytes.size());
    do {
      s.next_out = buffer;
      s.avail_out = sizeof buffer;
      deflate(&s, flush);
      to.insert(to.end(), buffer, buffer + (sizeof buffer - s.avail_out));
    } while (s.avail_out == 0 || s.avail_in > 0);
  };
  // A change of strategy first compresses the input held so far, its output going where next_out
  // points: into the buffer, and from there on (with more room while zlib asks for it). Input is
  // held where sections before were empty: a block that carries only the rest of a long copy.
  const auto strategy = [&](z_stream& s, std::vector<uint8_t>& to, int chosen) {
    int status;
    do {
      s.next_out = buffer;
      s.avail_out = sizeof buffer;
      status = deflateParams(&s, 9, chosen);
      to.insert(to.end(), buffer, buffer + (sizeof buffer - s.avail_out));
    } while (status == Z_BUF_ERROR);
  };
  for (const WordBlock& block : blocks) {
    std::vector<uint8_t> lengths;
    for (const auto& section : block) PutNumber(lengths, section.size());
    put(z, out, lengths, Z_NO_FLUSH);
    for (size_t i = 0; i < block.size(); ++i) {
      if (lzCopied && i == WordBlockFiller::kCopied) continue;
      if (!splitSections || block[i].empty()) {
        put(z, out, block[i], Z_NO_FLUSH);
        continue;
      }
      // Each section ends a deflate block. The commands, gaps and ops, small numbers in few
      // long repeats, often deflate smaller with the filtered strategy (more literal codes,
      // fewer short matches), the ops most often: tried, both go from a copy of the stream, and
      // the smaller goes on. The copied bytes, the values and their matches' tokens, lengths
      // and offsets take the default; literals and offset bits, which repeat little, Huffman
      // codes alone (on esbuild 0.27.7 -> 0.28.0, 3.6 KB smaller, and faster).
      const bool lzBytes =
          lzCopied && (i == WordBlockFiller::kLzLiterals || i == WordBlockFiller::kLzOffsetBits);
      if (i >= 3 || !tryStrategies) {
        strategy(z, out, i == 2 ? Z_FILTERED : lzBytes ? Z_HUFFMAN_ONLY : Z_DEFAULT_STRATEGY);
        put(z, out, block[i], Z_BLOCK);
        continue;
      }
      z_stream filtered;
      if (deflateCopy(&filtered, &z) != Z_OK) throw std::bad_alloc();
      std::vector<uint8_t> plain, other;
      strategy(z, plain, Z_DEFAULT_STRATEGY);
      put(z, plain, block[i], Z_BLOCK);
      strategy(filtered, other, Z_FILTERED);
      put(filtered, other, block[i], Z_BLOCK);
      if (other.size() < plain.size()) {
        deflateEnd(&z);
        if (deflateCopy(&z, &filtered) != Z_OK) throw std::bad_alloc();
        plain.swap(other);
      }
      deflateEnd(&filtered);
      out.insert(out.end(), plain.begin(), plain.end());
    }
  }
  put(z, out, {}, Z_FINISH);
  deflateEnd(&z);
  return out;
}

namespace {

// The blocks of a words body for commands over base and result. loneBytes: a changed byte whose
// neighbours are not and whose word value is not a recent one goes as a byte (an edited
// character in text) rather than as a new word (which in code often comes back, so that the
// next reference to the same moved place costs one op).
// predicted: null for kDeltaDeflatedWords' ops alone; else a word whose value is the one kept
// in a row for its base word's place goes as that row's op (with targetFirst the second row's
// where both are), and *predicted counts them. calls: the copied bytes' calls coded, and blocks
// with room for those bytes as literals alone (WithLzCopied).
std::vector<WordBlock> WordBlocks(const std::vector<DeltaCommand>& commands,
                                  const std::vector<uint8_t>& base,
                                  const std::vector<uint8_t>& result, bool loneBytes,
                                  uint64_t* predicted, bool targetFirst, bool calls,
                                  const ChangedPlaces& changed) {
  const std::vector<uint32_t>& places = changed.at;
  WordBlockFiller filler(calls ? kWordBlockMax - kLzLiteralsOver : kWordBlockMax);
  uint32_t recent[kWordRecentValues] = {};
  // The rows of predictions, kept where changes are predicted or relocated words changed by them.
  const bool rows = predicted || !places.empty();
  std::vector<uint32_t> byWord(rows ? kWordPredictions : 0), byTarget(byWord.size());
  ForEachCommand(commands, base, result, [&](const DeltaCommand& c, uint64_t at, uint64_t from) {
    filler.Command(c);
    const auto shift = static_cast<uint32_t>(from - at);
    uint64_t gap = 0;
    auto relocated = std::lower_bound(places.begin(), places.end(), from);
    for (uint64_t i = 0; i < c.add;) {
      // A relocated word that unchanged bytes hold whole takes its page's prediction (a call's,
      // its target's), as the applier gives it; where that is not its value, a change goes at
      // it, which the applier then makes instead.
      bool changeHere = false;
      while (relocated != places.end() && *relocated < from + i) ++relocated;
      if (relocated != places.end() && *relocated == from + i && c.add - i >= 4) {
        const uint32_t word = ReadLE32(&base[from + i]);
        uint32_t& wordKept = byWord[WordPredictionPlace(word)];
        uint32_t& targetKept =
            byTarget[WordPredictionPlace(static_cast<uint32_t>(from + i) + 4 + word)];
        const bool call = !changed.call.empty() && changed.call[relocated - places.begin()];
        const uint32_t value = call ? targetKept + shift : wordKept;
        if (ReadLE32(&result[at + i]) - word == value) {
          wordKept = value;
          targetKept = value - shift;
          gap += 4;
          i += 4;
          continue;
        }
        changeHere = true;
      }
      const auto difference = static_cast<uint8_t>(result[at + i] - base[from + i]);
      if (difference == 0 && !changeHere) {
        ++gap;
        ++i;
        continue;
      }
      const uint32_t value =
          c.add - i < 4 ? 0 : ReadLE32(&result[at + i]) - ReadLE32(&base[from + i]);
      // Every word change's value goes in both rows, the second's less the command's shift.
      uint32_t *wordKept = nullptr, *targetKept = nullptr;
      const auto keep = [&] {
        *wordKept = value;
        *targetKept = value - shift;
      };
      if (rows && c.add - i >= 4) {
        const uint32_t word = ReadLE32(&base[from + i]);
        wordKept = &byWord[WordPredictionPlace(word)];
        targetKept = &byTarget[WordPredictionPlace(static_cast<uint32_t>(from + i) + 4 + word)];
        const bool fromWord = *wordKept == value, fromTarget = *targetKept + shift == value;
        if (predicted && (fromWord || fromTarget)) {
          filler.Change(
              gap,
              fromTarget && (targetFirst || !fromWord) ? kWordOpPredictedTarget : kWordOpPredicted,
              nullptr, 0);
          ++*predicted;
          keep();
          gap = 0;
          i += 4;
          continue;
        }
      }
      uint32_t place = 0;
      while (place < kWordRecentValues && recent[place] != value) ++place;
      const bool lone =
          c.add - i < 4 || (loneBytes && place == kWordRecentValues &&
                            value == static_cast<uint32_t>(static_cast<int8_t>(difference)));
      if (lone) {
        filler.Change(gap, kWordOpByte, &difference, 1);
        ++i;
      } else if (place < kWordRecentValues) {
        filler.Change(gap, static_cast<uint8_t>(place), nullptr, 0);
      } else {
        // A new value near a prediction goes as the nearer prediction and the residual, where
        // that takes at most 3 bytes.
        const auto near = [](uint32_t from, uint32_t to) {
          return static_cast<int64_t>(static_cast<int32_t>(to - from));
        };
        const int64_t byWordNear = predicted && wordKept ? near(*wordKept, value) : INT64_MAX;
        const int64_t byTargetNear =
            predicted && wordKept ? near(*targetKept + shift, value) : INT64_MAX;
        const bool targetNearer = std::llabs(byTargetNear) < std::llabs(byWordNear);
        const int64_t residual = targetNearer ? byTargetNear : byWordNear;
        if (std::llabs(residual) < (1 << 20)) {
          uint8_t bytes[kNumberBytesMax];
          filler.Change(gap, targetNearer ? kWordOpPredictedTargetNear : kWordOpPredictedNear,
                        bytes, NumberBytes(SeekCode(residual), bytes));
          ++*predicted;
        } else {
          uint8_t bytes[4];
          WriteLE32(bytes, value);
          filler.Change(gap, kWordOpNew, bytes, 4);
        }
        place = kWordRecentValues - 1;
      }
      if (!lone) {
        std::memmove(recent + 1, recent, place * sizeof recent[0]);
        recent[0] = value;
        if (wordKept) keep();
        i += 4;
      }
      gap = 0;
    }
    if (gap > 0) filler.Gap(gap);
    filler.Copy(&result[at + c.add], c.copy, at + c.add, calls);
  });
  return filler.Finish();
}

}  // namespace

namespace {

// log2 of count (at least 1) closely enough to weigh two ways: the highest bit's place, and the
// rest linearly (within 0.09). (std::log2 would link libm into pinepack: a third of a megabyte
// of its peak.)
double Log2(uint64_t count) {
  int top = 0;
  while (count >> (top + 1)) ++top;
  return top + static_cast<double>(count - (uint64_t{1} << top)) /
                   static_cast<double>(uint64_t{1} << top);
}

// What the ops and values of blocks may deflate to, in bits: the ops by the entropy of their
// counts, the values at the 0.6 of their bytes that deflate leaves of new word values.
double OpsAndValuesBits(const std::vector<WordBlock>& blocks) {
  uint64_t counts[256] = {};
  uint64_t ops = 0, values = 0;
  for (const WordBlock& block : blocks) {
    for (uint8_t op : block[2]) ++counts[op];
    ops += block[2].size();
    values += block[3].size();
  }
  double bits = static_cast<double>(values) * 8 * 0.6;
  for (uint64_t count : counts)
    if (count > 0) bits += static_cast<double>(count) * (Log2(ops) - Log2(count));
  return bits;
}

// blocks with their copied bytes' matches and literals after their sections (LzCopiedSections),
// for DeflatedBlocks' lzCopied; each block within kWordBlockMax, as it was made with room for
// literals alone (WordBlocks).
std::vector<WordBlock> WithLzCopied(std::vector<WordBlock> blocks) {
  std::vector<const std::vector<uint8_t>*> pieces;
  std::vector<size_t> budgets;
  for (const WordBlock& block : blocks) {
    size_t held = 0;
    for (size_t k = 0; k < WordBlockFiller::kCopied; ++k) held += block[k].size();
    pieces.push_back(&block[WordBlockFiller::kCopied]);
    budgets.push_back(kWordBlockMax - held);
  }
  std::vector<LzSections> lz = LzCopiedSections(pieces, budgets);
  for (size_t i = 0; i < blocks.size(); ++i)
    for (auto& section : lz[i]) blocks[i].push_back(std::move(section));
  return blocks;
}

}  // namespace

std::vector<uint8_t> DeflatedWordsBody(const std::vector<DeltaCommand>& commands,
                                       const std::vector<uint8_t>& base,
                                       const std::vector<uint8_t>& result, uint64_t* predicted,
                                       CallsCoding calls, CallsCoding* callsCoded,
                                       const ChangedPlaces& places) {
  // The smallest of both ways with lone bytes (one, for a program image), sections deflated
  // with codes of their own; and for a small body, where those codes' tables weigh, deflated
  // together too. The strategies are tried for a result of kStrategiesTriedFrom bytes or more,
  // where a second deflater weighs little beside the diff's memory (on prettier's files of under
  // 1 MB it raised create's peak by a ninth, and saved 5 bytes).
  constexpr size_t kStrategiesTriedFrom = 4 << 20;
  struct Way {
    bool loneBytes = false, predicting = false, targetFirst = false, calls = false;
  };
  const bool allCalls = calls == CallsCoding::kAlways || calls == CallsCoding::kAlwaysLz;
  const bool image = result.size() >= 2 && result[0] == 'M' && result[1] == 'Z';
  std::vector<uint8_t> smallest;
  uint64_t smallestPredicted = 0;
  Way smallestWay;
  const auto made = [&](const Way& way, uint64_t* count) {
    return WordBlocks(commands, base, result, way.loneBytes, way.predicting ? count : nullptr,
                      way.targetFirst, way.calls, places);
  };
  const auto consider = [&](const std::vector<WordBlock>& blocks, uint64_t count, const Way& way) {
    size_t held = 0;
    for (const WordBlock& block : blocks)
      for (const auto& section : block) held += section.size();
    for (bool split : {true, false}) {
      if (!split && held > 16 * 1024) break;
      std::vector<uint8_t> body =
          DeflatedBlocks(blocks, split, result.size() >= kStrategiesTriedFrom);
      if (smallest.empty() || body.size() < smallest.size()) {
        smallest = std::move(body);
        smallestPredicted = count;
        smallestWay = way;
      }
    }
  };
  double plainBits = 0;
  for (bool loneBytes : {false, true}) {
    // Lone bytes are for text: in a program image a changed byte's word comes back (on every
    // benchmark pair the plain way won), and skipping it saves a deflate of the whole body (on
    // esbuild 0.27.7 -> 0.28.0 a seventh of create's time).
    if (loneBytes && image) continue;
    const Way way = {loneBytes, false, false, allCalls};
    const std::vector<WordBlock> blocks = made(way, nullptr);
    if (!loneBytes) plainBits = OpsAndValuesBits(blocks);
    consider(blocks, 0, way);
  }
  // With predicted, predictions too, with addresses first or displacements first (where both
  // give the value): first in code that calls by displacements (MSVC's), not in Go's. Deflating
  // is most of create's time, so only the one whose ops and values look the smaller is
  // deflated, where they look smaller than the plain ones too, and kept only where it is
  // smaller than the plain body: predictions mostly save a third of the ops, but cost where few
  // addresses moved alike. Each way's blocks are made, weighed and let go, then the chosen one's
  // made again: holding two at once raised create's peak over bsdiff's on prettier.
  if (predicted) {
    uint64_t count = 0;
    const double addressesFirst = OpsAndValuesBits(made({false, true, false, allCalls}, &count));
    const double targetFirst = OpsAndValuesBits(made({false, true, true, allCalls}, &count));
    if (std::min(addressesFirst, targetFirst) < plainBits) {
      count = 0;
      const Way way = {false, true, targetFirst < addressesFirst, allCalls};
      const std::vector<WordBlock> blocks = made(way, &count);
      if (count > 0) consider(blocks, count, way);
    }
  }
  // Copied bytes as matches and literals, for the blocks of a way that codes calls.
  const auto matchesBody = [&](std::vector<WordBlock> blocks) {
    return DeflatedBlocks(WithLzCopied(std::move(blocks)), true,
                          result.size() >= kStrategiesTriedFrom, true);
  };
  bool matches = false;
  // Calls coded by their targets only change the copied bytes: the way chosen, made again with
  // them, for a program image, and its copied bytes as matches; with calls alone too, unless
  // matches are a hundredth or more below the way without calls (each deflated way costs a
  // tenth of create's time; on the benchmark's images matches were then 0.6 to 6% below calls
  // alone, and on rollup's library, 0.1% below the way without calls, 0.2% above calls alone).
  if (calls == CallsCoding::kTried && image) {
    Way way = smallestWay;
    way.calls = true;
    uint64_t count = 0;
    const std::vector<WordBlock> blocks = made(way, &count);
    std::vector<uint8_t> body = matchesBody(blocks);
    if (body.size() * 100 > smallest.size() * 99) consider(blocks, count, way);
    if (body.size() < smallest.size()) {
      smallest = std::move(body);
      smallestPredicted = count;
      smallestWay = way;
      matches = true;
    }
  }
  if (calls == CallsCoding::kAlwaysLz) {
    uint64_t count = 0;
    smallest = matchesBody(made(smallestWay, &count));
    smallestPredicted = count;
    matches = true;
  }
  const CallsCoding coded = matches             ? CallsCoding::kAlwaysLz
                            : smallestWay.calls ? CallsCoding::kAlways
                                                : CallsCoding::kNever;
  if (predicted) *predicted = smallestPredicted;
  if (callsCoded) *callsCoded = coded;
  return smallest;
}

std::vector<uint8_t> DeltaStreamWith(DeltaMethod method, const std::vector<uint8_t>& base,
                                     const std::vector<uint8_t>& result,
                                     const std::vector<uint8_t>& body) {
  DeltaHeader header{};
  header.method = method;
  header.baseSize = static_cast<uint32_t>(base.size());
  header.resultSize = static_cast<uint32_t>(result.size());
  header.bodySize = static_cast<uint32_t>(body.size());
  Sha256Of(base.data(), header.baseSize, header.baseHash);
  Sha256Of(result.data(), header.resultSize, header.resultHash);
  std::vector<uint8_t> stream(kDeltaHeaderSize);
  WriteDeltaHeader(header, stream.data());
  stream.insert(stream.end(), body.begin(), body.end());
  return stream;
}

uint64_t RangeDecodingCost(const RangeCodedCost& cost) {
  // Measured on the esbuild pair (bench/delta_bench.sh): a decision costs the applier some 9 ns,
  // one on the sure path 2 ns.
  const uint64_t sure = cost.sure < cost.decisions ? cost.sure : cost.decisions;
  return 90 * (cost.decisions - sure) + 20 * sure;
}

uint64_t RangeDecodingBudget(uint64_t releaseBytes, uint64_t deltaBytes, uint64_t wholeBytes) {
  // Measured on the benchmarks: inflating and writing a file costs some 4.6 ns a byte; a
  // delta's hashing, base reads and writing some 4 ns a byte. A file the update leaves alone
  // costs it nothing, and the whole install still pays for it.
  const uint64_t allowed = 69 * releaseBytes;
  const uint64_t spent = 40 * deltaBytes + 46 * wholeBytes;
  return allowed > spent ? allowed - spent : 0;
}

namespace {

// The least that range coding the commands can cost: every unchanged add byte's flag on the
// sure path, and for a changed or copied byte only its tree's eight decisions (and a changed
// byte's flag).
RangeCodedCost RangeCodedCostAtLeast(const std::vector<DeltaCommand>& commands,
                                     const std::vector<uint8_t>& base,
                                     const std::vector<uint8_t>& result) {
  RangeCodedCost cost;
  ForEachCommand(commands, base, result, [&](const DeltaCommand& c, uint64_t at, uint64_t from) {
    for (uint32_t i = 0; i < c.add; ++i) {
      const bool same = result[at + i] == base[from + i];
      cost.decisions += same ? 1 : 9;
      cost.sure += same;
    }
    cost.decisions += 8 * uint64_t{c.copy};
  });
  return cost;
}

}  // namespace

std::vector<ImageTablePlace> FindImageTables(const std::vector<uint8_t>& image) {
  std::vector<ImageTablePlace> found;
  if (image.size() > UINT32_MAX) return found;
  const ByteSource source = MemorySource(image.data(), static_cast<uint32_t>(image.size()));
  // The x64 exception table's entries are the three RVAs its coding knows; other machines'
  // differ.
  const struct {
    uint32_t kind, directory;
  } wanted[] = {{kTableRelocations, 5}, {kTableExceptions, 3}};
  for (const auto& w : wanted) {
    DataDirectory entry;
    if (!ReadDataDirectory(source, w.directory, entry) || entry.size == 0 ||
        (w.kind == kTableExceptions && entry.machine != 0x8664) ||
        entry.sectionTable + 40ull * entry.sectionCount > image.size())
      continue;
    // The section whose file bytes hold the table maps its RVA to a file offset.
    for (uint32_t i = 0; i < entry.sectionCount; ++i) {
      const uint8_t* header = &image[entry.sectionTable + 40ull * i];
      const uint32_t address = ReadLE32(header + 12), rawSize = ReadLE32(header + 16),
                     rawAt = ReadLE32(header + 20);
      if (entry.offset < address ||
          uint64_t{entry.offset} + entry.size > uint64_t{address} + rawSize)
        continue;
      const uint64_t at = uint64_t{rawAt} + (entry.offset - address);
      if (at + entry.size <= image.size())
        found.push_back({w.kind, static_cast<uint32_t>(at), entry.size});
      break;
    }
  }
  std::sort(found.begin(), found.end(),
            [](const ImageTablePlace& a, const ImageTablePlace& b) { return a.offset < b.offset; });
  if (found.size() == 2 && uint64_t{found[0].offset} + found[0].size > found[1].offset)
    found.clear();
  return found;
}

bool CodeImageTable(uint32_t kind, const uint8_t* table, uint32_t size,
                    std::vector<uint8_t>& coded) {
  // A coded number takes at most 6 bytes for every 2 bytes of table, and 10 for a block's 8.
  coded.assign(size / 2 * 6 + 16, 0);
  TableCoder coder;
  TableOutput out = {coded.data(), static_cast<uint32_t>(coded.size()), 0, nullptr, nullptr};
  if (!StartTableCoder(coder, kind, size) || !CodeTable(coder, table, size, out) ||
      !TableEnded(coder))
    return false;
  coded.resize(out.size);
  return true;
}

namespace {

struct CodedTable {
  ImageTablePlace place;
  std::vector<uint8_t> coded;
};

// The tables of image at places, coded; empty when one does not code.
std::vector<CodedTable> CodedTables(const std::vector<uint8_t>& image,
                                    const std::vector<ImageTablePlace>& places) {
  std::vector<CodedTable> tables;
  for (const ImageTablePlace& place : places) {
    CodedTable table = {place, {}};
    if (uint64_t{place.offset} + place.size > image.size() ||
        !CodeImageTable(place.kind, image.data() + place.offset, place.size, table.coded))
      return {};
    tables.push_back(std::move(table));
  }
  return tables;
}

// The record of a kDeltaWordsTables body for tables paired in order.
std::vector<uint8_t> TablesRecordBytes(const std::vector<CodedTable>& base,
                                       const std::vector<CodedTable>& result) {
  std::vector<uint8_t> record(4 + kTableRecordSize * base.size());
  WriteLE32(record.data(), static_cast<uint32_t>(base.size()));
  for (size_t i = 0; i < base.size(); ++i) {
    const uint32_t numbers[7] = {base[i].place.kind,
                                 base[i].place.offset,
                                 base[i].place.size,
                                 static_cast<uint32_t>(base[i].coded.size()),
                                 result[i].place.offset,
                                 result[i].place.size,
                                 static_cast<uint32_t>(result[i].coded.size())};
    for (int k = 0; k < 7; ++k) WriteLE32(&record[4 + kTableRecordSize * i + 4 * k], numbers[k]);
  }
  return record;
}

// About what the sections before the copied bytes (commands, gaps, ops and values) of the blocks
// for commands, with changes predicted, deflate to: each section of them all deflated at level 6
// (1.3% over the body's own on esbuild 0.27.7 -> 0.28.0; only the two ways are compared).
size_t WordsSectionsSize(const std::vector<DeltaCommand>& commands,
                         const std::vector<uint8_t>& base, const std::vector<uint8_t>& result,
                         const ChangedPlaces& places) {
  uint64_t count = 0;
  const std::vector<WordBlock> blocks =
      WordBlocks(commands, base, result, false, &count, false, false, places);
  size_t size = 0;
  for (size_t k = 0; k < WordBlockFiller::kCopied; ++k) {
    std::vector<uint8_t> section;
    for (const WordBlock& block : blocks)
      section.insert(section.end(), block[k].begin(), block[k].end());
    size += DeflateBytes(section, 6).size();
  }
  return size;
}

// A kDeltaWordsTables body: the record, then the words body between the coded images. With
// weighCalls, call places among places are kept only where they make the sections they change
// at least a tenth smaller, and *weighCalls says whether they were. The applier scans the base's
// code for them before it starts, 4 to 5 ms of esbuild 0.27.7 -> 0.28.0's 105 under Wine, the
// one benchmark pair near its bar for applying. There, and on its x64 build, releases of much
// new code whose calls mostly moved unlike their pages, they saved 5% and 3% of those sections
// (2% and 1% of the package); on every other benchmark image, 13 to 56%.
std::vector<uint8_t> RecordAndWords(std::vector<uint8_t> body,
                                    const std::vector<uint8_t>& codedBase,
                                    const std::vector<uint8_t>& codedResult, uint64_t* predicted,
                                    CallsCoding calls, CallsCoding* callsCoded,
                                    const ChangedPlaces& places = {}, bool* weighCalls = nullptr) {
  const std::vector<DeltaCommand> commands = DiffBytes(codedBase, codedResult);
  const ChangedPlaces* taken = &places;
  ChangedPlaces relocated;
  if (weighCalls && !places.call.empty()) {
    for (size_t i = 0; i < places.at.size(); ++i)
      if (!places.call[i]) relocated.at.push_back(places.at[i]);
    const size_t with = WordsSectionsSize(commands, codedBase, codedResult, places);
    const size_t without = WordsSectionsSize(commands, codedBase, codedResult, relocated);
    if (without - std::min(with, without) < without / 10) taken = &relocated;
  }
  if (weighCalls) *weighCalls = !taken->call.empty();
  const std::vector<uint8_t> words =
      DeflatedWordsBody(commands, codedBase, codedResult, predicted, calls, callsCoded, *taken);
  body.insert(body.end(), words.begin(), words.end());
  return body;
}

// A PE image's sections as a relocated method's record lists them (the first
// kImageSectionsMax); none for anything else.
std::vector<ImageSection> ImageSectionsOf(const std::vector<uint8_t>& image) {
  const ByteSource source = MemorySource(image.data(), static_cast<uint32_t>(image.size()));
  DataDirectory entry;
  if (!ReadDataDirectory(source, 5, entry) ||
      entry.sectionTable + 40ull * entry.sectionCount > image.size())
    return {};
  std::vector<ImageSection> sections;
  for (uint32_t i = 0; i < entry.sectionCount && sections.size() < kImageSectionsMax; ++i) {
    const uint8_t* header = &image[entry.sectionTable + 40ull * i];
    const uint32_t virtualSize = ReadLE32(header + 8), rawSize = ReadLE32(header + 16);
    // The bytes of the file that the section maps: its raw bytes, up to its size in memory.
    const uint32_t size = virtualSize != 0 && virtualSize < rawSize ? virtualSize : rawSize;
    if (size != 0) sections.push_back({ReadLE32(header + 12), size, ReadLE32(header + 20)});
  }
  return sections;
}

// The relocated places of a base image with tables and sections (delta.h's rule, as the applier
// takes them), with the sections put after the tables in record; none, and record as it was,
// where the image has no relocation table, no place is taken, or the applier would have no room
// for them beside the coded tables. With calls, the call places among them too.
ChangedPlaces RelocatedPlacesOf(const std::vector<uint8_t>& image,
                                const std::vector<CodedTable>& tables,
                                const std::vector<ImageSection>& sections,
                                std::vector<uint8_t>& record, bool calls) {
  const ByteSource source = MemorySource(image.data(), static_cast<uint32_t>(image.size()));
  const auto relocations = std::find_if(tables.begin(), tables.end(), [](const CodedTable& t) {
    return t.place.kind == kTableRelocations;
  });
  size_t coded = 0;
  for (const CodedTable& t : tables) coded += t.coded.size();
  if (sections.empty() || relocations == tables.end() ||
      coded > kCodedTablesMax -
                  PlacesRoom(calls ? kDeltaWordsTablesCallPlaces : kDeltaWordsTablesRelocated))
    return {};
  ChangedPlaces places;
  places.at.resize(calls ? kPlacesWithCallsRoom / 4 : kRelocatedPlacesMax);
  std::vector<unsigned char> buffer(kDeltaDefaultChunk);
  uint32_t count = 0;
  const uint32_t limit = tables.front().place.offset;
  if (!RelocatedPlaces(source, relocations->place.offset, relocations->place.size, sections.data(),
                       static_cast<uint32_t>(sections.size()), limit, buffer.data(),
                       kDeltaDefaultChunk, places.at.data(), count) ||
      (calls && !CallPlaces(source, sections.front(), limit, buffer.data(), kDeltaDefaultChunk,
                            places.at.data(), count)) ||
      count == 0)
    return {};
  if (calls)
    for (uint32_t i = 0; i < count; ++i)
      places.call.push_back(places.at[count + i / 32] >> (i % 32) & 1);
  places.at.resize(count);
  const size_t at = record.size();
  record.resize(at + 4 + 12 * sections.size());
  WriteLE32(&record[at], static_cast<uint32_t>(sections.size()));
  for (size_t i = 0; i < sections.size(); ++i) {
    WriteLE32(&record[at + 4 + 12 * i], sections[i].rva);
    WriteLE32(&record[at + 8 + 12 * i], sections[i].size);
    WriteLE32(&record[at + 12 + 12 * i], sections[i].fileOffset);
  }
  return places;
}

// image with tables (in the order they lie) replaced by their coded forms in place, for as long
// as it lives: their bytes are put back when it goes, also
// when the diff throws. Coding in place keeps memory as a plain diff's, where coded copies of a
// large program would be held beside its suffix array.
class TablesCodedInPlace {
 public:
  TablesCodedInPlace(std::vector<uint8_t>& image, const std::vector<CodedTable>& tables)
      : image_(image), tables_(tables) {
    // From the last table back, so that each one's offset still holds when it is replaced.
    for (size_t i = tables.size(); i-- > 0;) {
      const CodedTable& t = tables[i];
      const auto at = image.begin() + t.place.offset;
      raw_.emplace_back(at, at + t.place.size);
      image.erase(at, at + t.place.size);
      image.insert(image.begin() + t.place.offset, t.coded.begin(), t.coded.end());
    }
  }
  ~TablesCodedInPlace() {
    // From the first table on: the ones before it hold their own bytes again. The image
    // returns to a size it had, within its capacity, so nothing here allocates.
    for (size_t i = 0; i < tables_.size(); ++i) {
      const CodedTable& t = tables_[i];
      const auto at = image_.begin() + t.place.offset;
      image_.erase(at, at + static_cast<ptrdiff_t>(t.coded.size()));
      const std::vector<uint8_t>& raw = raw_[tables_.size() - 1 - i];
      image_.insert(image_.begin() + t.place.offset, raw.begin(), raw.end());
    }
  }
  TablesCodedInPlace(const TablesCodedInPlace&) = delete;
  TablesCodedInPlace& operator=(const TablesCodedInPlace&) = delete;

 private:
  std::vector<uint8_t>& image_;
  const std::vector<CodedTable>& tables_;
  std::vector<std::vector<uint8_t>> raw_;  // each table's bytes, the last table's first
};

// The body of a kDeltaWordsTables stream between base and result: the tables both have and that
// code in both, no longer than they were (and the base's within the applier's arena). Empty
// when there are none. Both images are as they were when it returns. relocate: 1 for a relocated
// method's body, 2 for one with call places, where *relocated (if given) says whether the base
// gave places; with callPlaces given, call places are weighed (RecordAndWords), and left out where
// they do not pay or the arena has no room for them, and *callPlaces says whether they were kept.
std::vector<uint8_t> TablesWordsBodyInPlace(std::vector<uint8_t>& base,
                                            std::vector<uint8_t>& result, uint64_t* predicted,
                                            CallsCoding calls, CallsCoding* callsCoded,
                                            int relocate = 0, bool* relocated = nullptr,
                                            bool* callPlaces = nullptr) {
  std::vector<CodedTable> baseTables = CodedTables(base, FindImageTables(base));
  std::vector<CodedTable> resultTables = CodedTables(result, FindImageTables(result));
  if (baseTables.empty() || baseTables.size() != resultTables.size()) return {};
  size_t codedBase = 0;
  for (size_t i = 0; i < baseTables.size(); ++i) {
    const CodedTable &b = baseTables[i], &r = resultTables[i];
    if (b.place.kind != r.place.kind || b.coded.size() > b.place.size ||
        r.coded.size() > r.place.size)
      return {};
    codedBase += b.coded.size();
  }
  if (codedBase > kCodedTablesMax) return {};
  // Relocated words changed by their predictions (the places lie before the first table, so
  // coding leaves them).
  std::vector<uint8_t> record = TablesRecordBytes(baseTables, resultTables);
  ChangedPlaces places;
  const std::vector<ImageSection> sections =
      relocate ? ImageSectionsOf(base) : std::vector<ImageSection>();
  if (relocate > 1) places = RelocatedPlacesOf(base, baseTables, sections, record, true);
  if (relocate == 1 || (relocate > 1 && places.at.empty() && callPlaces))
    places = RelocatedPlacesOf(base, baseTables, sections, record, false);
  if (relocated) *relocated = !places.at.empty();
  const TablesCodedInPlace codedBaseImage(base, baseTables);
  const TablesCodedInPlace codedResultImage(result, resultTables);
  return RecordAndWords(std::move(record), base, result, predicted, calls, callsCoded, places,
                        callPlaces);
}

}  // namespace

std::vector<uint8_t> TablesWordsBody(const std::vector<uint8_t>& base,
                                     const std::vector<ImageTablePlace>& baseTables,
                                     const std::vector<uint8_t>& result,
                                     const std::vector<ImageTablePlace>& resultTables,
                                     uint64_t* predicted, CallsCoding calls,
                                     const std::vector<ImageSection>* sections, bool callPlaces) {
  const std::vector<CodedTable> b = CodedTables(base, baseTables);
  const std::vector<CodedTable> r = CodedTables(result, resultTables);
  if (b.size() != baseTables.size() || r.size() != resultTables.size() || b.size() != r.size())
    return {};
  std::vector<uint8_t> record = TablesRecordBytes(b, r);
  ChangedPlaces places;
  if (sections) {
    places = RelocatedPlacesOf(base, b, *sections, record, callPlaces);
    if (places.at.empty()) return {};
  }
  std::vector<uint8_t> codedBase = base, codedResult = result;
  const TablesCodedInPlace inBase(codedBase, b);
  const TablesCodedInPlace inResult(codedResult, r);
  return RecordAndWords(std::move(record), codedBase, codedResult, predicted, calls, nullptr,
                        places);
}

namespace {

// The words method of a body over coded tables or not, with changes predicted or calls coded.
DeltaMethod WordsMethod(bool tables, bool predicted, CallsCoding calls, bool relocated = false,
                        bool callPlaces = false) {
  if (relocated && callPlaces) {
    return calls == CallsCoding::kAlwaysLz ? kDeltaWordsTablesCallsLzCallPlaces
           : calls == CallsCoding::kAlways ? kDeltaWordsTablesCallsCallPlaces
                                           : kDeltaWordsTablesCallPlaces;
  }
  if (relocated) {
    return calls == CallsCoding::kAlwaysLz ? kDeltaWordsTablesCallsLzRelocated
           : calls == CallsCoding::kAlways ? kDeltaWordsTablesCallsRelocated
                                           : kDeltaWordsTablesRelocated;
  }
  if (calls == CallsCoding::kAlwaysLz)
    return tables ? kDeltaWordsTablesCallsLz : kDeltaWordsCallsLz;
  if (calls == CallsCoding::kAlways) return tables ? kDeltaWordsTablesCalls : kDeltaWordsCalls;
  if (predicted) return tables ? kDeltaWordsTablesPredicted : kDeltaWordsPredicted;
  return tables ? kDeltaWordsTables : kDeltaDeflatedWords;
}

}  // namespace

DeltaCandidates MakeDeltaCandidates(std::vector<uint8_t>& base, std::vector<uint8_t>& result,
                                    uint64_t rangedCostLimit) {
  DeltaCandidates made;
  // A program image with tables of places goes by words over the coded images alone: the
  // tables' coded forms are what make it small, and a second diff of the plain images would
  // double the time.
  // Changes predicted from the base words where any is, and calls coded by their targets where
  // that is smaller (the methods that take them are refused by updaters before them, so a delta
  // that has neither keeps the older method).
  uint64_t predicted = 0;
  CallsCoding calls = CallsCoding::kNever;
  bool relocated = false, callPlaces = false;
  const std::vector<uint8_t> tables = TablesWordsBodyInPlace(
      base, result, &predicted, CallsCoding::kTried, &calls, 2, &relocated, &callPlaces);
  if (!tables.empty()) {
    made.words = DeltaStreamWith(WordsMethod(true, predicted, calls, relocated, callPlaces), base,
                                 result, tables);
    return made;
  }
  const std::vector<DeltaCommand> commands = DiffBytes(base, result);
  const std::vector<uint8_t> words =
      DeflatedWordsBody(commands, base, result, &predicted, CallsCoding::kTried, &calls);
  made.words = DeltaStreamWith(WordsMethod(false, predicted, calls), base, result, words);
  if (RangeDecodingCost(RangeCodedCostAtLeast(commands, base, result)) <= rangedCostLimit) {
    RangeCodedCost cost;
    made.ranged = DeltaStreamWith(kDeltaRangeCoded, base, result,
                                  RangeCodedBody(commands, base, result, &cost));
    made.rangedCost = RangeDecodingCost(cost);
  }
  return made;
}

std::vector<uint8_t> MakeDelta(const std::vector<uint8_t>& base,
                               const std::vector<uint8_t>& result) {
  const uint64_t budget = RangeDecodingBudget(result.size(), result.size(), 0);
  std::vector<uint8_t> baseBytes = base, resultBytes = result;
  DeltaCandidates made = MakeDeltaCandidates(baseBytes, resultBytes, budget);
  const bool ranged =
      !made.ranged.empty() && made.rangedCost <= budget && made.ranged.size() <= made.words.size();
  return ranged ? std::move(made.ranged) : std::move(made.words);
}

std::vector<bool> ChooseRangeCoded(const std::vector<RangedOption>& options, uint64_t budget) {
  std::vector<size_t> order;
  for (size_t i = 0; i < options.size(); ++i)
    if (options[i].saving > 0) order.push_back(i);
  // saving / cost in descending order, compared as products (a cost may be 0); ties by place.
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return static_cast<long double>(options[a].saving) * options[b].cost >
           static_cast<long double>(options[b].saving) * options[a].cost;
  });
  std::vector<bool> taken(options.size(), false);
  uint64_t spent = 0;
  for (size_t i : order) {
    if (options[i].cost > budget - spent) continue;
    spent += options[i].cost;
    taken[i] = true;
  }
  return taken;
}

std::vector<uint8_t> MakeDeltaWith(DeltaMethod method, const std::vector<uint8_t>& base,
                                   const std::vector<uint8_t>& result) {
  uint64_t predicted = 0;
  uint64_t* predicting = PredictingMethod(method) ? &predicted : nullptr;
  const CallsCoding coding = LzCopiedMethod(method) ? CallsCoding::kAlwaysLz
                             : CallsMethod(method)  ? CallsCoding::kAlways
                                                    : CallsCoding::kNever;
  if (TablesWordsMethod(method)) {
    std::vector<uint8_t> baseBytes = base, resultBytes = result;
    bool relocated = false;
    const std::vector<uint8_t> body =
        TablesWordsBodyInPlace(baseBytes, resultBytes, predicting, coding, nullptr,
                               CallPlacesMethod(method)  ? 2
                               : RelocatedMethod(method) ? 1
                                                         : 0,
                               &relocated);
    if (body.empty()) throw std::invalid_argument("no tables of places to code");
    if (relocated != RelocatedMethod(method))
      throw std::invalid_argument("no relocated places, or no room for them");
    return DeltaStreamWith(method, base, result, body);
  }
  const std::vector<DeltaCommand> commands = DiffBytes(base, result);
  return DeltaStreamWith(method, base, result,
                         method == kDeltaRangeCoded
                             ? RangeCodedBody(commands, base, result)
                             : DeflatedWordsBody(commands, base, result, predicting, coding));
}

namespace {

struct CompareSink {
  const std::vector<uint8_t>* expected;
  size_t at;
};

int Compare(void* context, const unsigned char* data, uint32_t count) {
  auto* sink = static_cast<CompareSink*>(context);
  if (count > sink->expected->size() - sink->at) return 0;
  if (std::memcmp(sink->expected->data() + sink->at, data, count) != 0) return 0;
  sink->at += count;
  return 1;
}

}  // namespace

bool DeltaGives(const std::vector<uint8_t>& delta, const std::vector<uint8_t>& base,
                const std::vector<uint8_t>& expected, uint32_t chunk) {
  if (delta.size() > UINT32_MAX || base.size() > UINT32_MAX) return false;
  const DeltaStream stream = {MemorySource(delta.data(), static_cast<uint32_t>(delta.size())), 0,
                              static_cast<uint32_t>(delta.size())};
  CompareSink compare = {&expected, 0};
  return ApplyDelta(stream, MemorySource(base.data(), static_cast<uint32_t>(base.size())),
                    ByteSink{Compare, &compare}, chunk) == 1 &&
         compare.at == expected.size();
}
