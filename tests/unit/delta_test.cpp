// The delta format's SHA-256, applier and writer: FIPS 180 vectors, round trips of synthetic
// file pairs at several chunk sizes, and damaged or hostile deltas, which must fail without
// reading outside the base or writing more than the result's size.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "copied_lz.h"
#include "delta/delta.h"
#include "delta/delta_package.h"
#include "delta/image_tables.h"
#include "delta/relocated_places.h"
#include "delta/sha256.h"
#include "delta_writer.h"
#include "inspect.h"
#include "package_test_util.h"
#include "package_writer.h"

// Name comparisons made from any object but names.cpp's own, counted through the linker's
// --wrap of both functions (tests/unit/CMakeLists.txt): C++ names, so spelt mangled.
uint64_t g_nameComparisons = 0;
extern "C" int __real__Z10NamesEqualPKcS0_(const char* a, const char* b);
extern "C" int __real__Z12CompareNamesPKcS0_(const char* a, const char* b);
extern "C" int __wrap__Z10NamesEqualPKcS0_(const char* a, const char* b) {
  ++g_nameComparisons;
  return __real__Z10NamesEqualPKcS0_(a, b);
}
extern "C" int __wrap__Z12CompareNamesPKcS0_(const char* a, const char* b) {
  ++g_nameComparisons;
  return __real__Z12CompareNamesPKcS0_(a, b);
}

namespace {

// Both compress paths: the portable code, then the x86 SHA extensions where the CPU has them
// (elsewhere the second run is the portable code again, and the comparisons still hold).
constexpr int kShaPaths[] = {0, 1};

// Leaves the hardware path allowed, as the program has it, whatever the test chose.
struct HardwareAllowedAfter {
  ~HardwareAllowedAfter() { Sha256UseHardware(1); }
};

std::string DigestOf(const std::vector<uint8_t>& data) {
  unsigned char digest[kSha256Size];
  Sha256Of(data.data(), static_cast<uint32_t>(data.size()), digest);
  return HexDigest(digest);
}

TEST(Sha256, Fips180Vectors) {
  HardwareAllowedAfter restore;
  const struct {
    std::string message;
    size_t repeat;
    const char* digest;
  } cases[] = {
      {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
       "lmnopqrsmnopqrstnopqrstu",
       1, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (int allowed : kShaPaths) {
    const int hardware = Sha256UseHardware(allowed);
    std::printf("SHA-256 through the %s path\n", hardware ? "SHA extensions" : "portable");
    if (!allowed) {
      EXPECT_EQ(hardware, 0);
    }
    for (const auto& c : cases) {
      std::string message;
      for (size_t i = 0; i < c.repeat; ++i) message += c.message;
      EXPECT_EQ(DigestOf(Bytes(message)), c.digest)
          << c.message.substr(0, 10) << " x" << c.repeat << ", hardware " << hardware;
    }
  }
}

// The SHA extensions' digests equal the portable code's: every length from 0 to 300 bytes of
// random data, and a buffer of many blocks fed in odd pieces, so that blocks are compressed
// both straight from the caller's data, in runs, and from the context's own block.
TEST(Sha256, HardwareEqualsPortable) {
  HardwareAllowedAfter restore;
  std::mt19937 random(2024);
  std::vector<uint8_t> data(300);
  for (auto& byte : data) byte = static_cast<uint8_t>(random());
  for (size_t length = 0; length <= data.size(); ++length) {
    const std::vector<uint8_t> message(data.begin(), data.begin() + length);
    std::string digests[2];
    for (int allowed : kShaPaths) {
      Sha256UseHardware(allowed);
      digests[allowed] = DigestOf(message);
    }
    EXPECT_EQ(digests[1], digests[0]) << length;
  }

  std::vector<uint8_t> big(64 * 1000 + 37);
  for (auto& byte : big) byte = static_cast<uint8_t>(random());
  for (uint32_t piece : {1u, 3u, 63u, 65u, 127u, 1000u, 4097u}) {
    std::string digests[2];
    for (int allowed : kShaPaths) {
      Sha256UseHardware(allowed);
      Sha256 context;
      Sha256Init(context);
      for (size_t offset = 0; offset < big.size(); offset += piece)
        Sha256Update(context, big.data() + offset,
                     static_cast<uint32_t>(std::min<size_t>(piece, big.size() - offset)));
      unsigned char digest[kSha256Size];
      Sha256Final(context, digest);
      digests[allowed] = HexDigest(digest);
    }
    EXPECT_EQ(digests[1], digests[0]) << "pieces of " << piece;
    EXPECT_EQ(digests[0], DigestOf(big)) << "pieces of " << piece;
  }
}

// Every split of messages around the 55/56/64-byte padding limits gives the one-shot digest.
TEST(Sha256, PiecewiseEqualsWhole) {
  for (size_t length : {0u, 1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 200u}) {
    const std::vector<uint8_t> data = SampleData(length, static_cast<uint32_t>(length));
    unsigned char whole[kSha256Size];
    Sha256Of(data.data(), static_cast<uint32_t>(length), whole);
    for (size_t split = 0; split <= length; split += 7) {
      Sha256 context;
      Sha256Init(context);
      Sha256Update(context, data.data(), static_cast<uint32_t>(split));
      Sha256Update(context, data.data() + split, static_cast<uint32_t>(length - split));
      unsigned char pieces[kSha256Size];
      Sha256Final(context, pieces);
      EXPECT_EQ(HexDigest(pieces), HexDigest(whole)) << length << " split at " << split;
    }
    unsigned char buffer[16];
    unsigned char streamed[kSha256Size];
    ASSERT_EQ(Sha256OfSource(Source(data), buffer, sizeof buffer, streamed), 1);
    EXPECT_EQ(HexDigest(streamed), HexDigest(whole)) << length;
  }
}

// A sink that keeps what it gets and refuses past a limit of bytes.
struct CollectSink {
  std::vector<uint8_t> bytes;
  size_t limit = SIZE_MAX;
  size_t largestWrite = 0;
};

int Collect(void* context, const unsigned char* data, uint32_t count) {
  auto* sink = static_cast<CollectSink*>(context);
  if (count > sink->limit - sink->bytes.size()) return 0;
  sink->bytes.insert(sink->bytes.end(), data, data + count);
  if (count > sink->largestWrite) sink->largestWrite = count;
  return 1;
}

// A base source that records whether anything asked for bytes outside it, and counts the reads.
struct WatchedBase {
  const std::vector<uint8_t>* bytes;
  bool outside = false;
  size_t reads = 0;
};

int ReadWatched(void* context, uint32_t offset, unsigned char* buffer, uint32_t count) {
  auto* base = static_cast<WatchedBase*>(context);
  ++base->reads;
  if (!FitsIn(offset, count, static_cast<uint32_t>(base->bytes->size()))) {
    base->outside = true;
    return 0;
  }
  std::memcpy(buffer, base->bytes->data() + offset, count);
  return 1;
}

struct Applied {
  int ok;
  std::vector<uint8_t> output;
  bool readOutside;
  size_t largestWrite;
};

Applied Apply(const std::vector<uint8_t>& delta, const std::vector<uint8_t>& base,
              uint32_t chunk = kDeltaDefaultChunk) {
  WatchedBase watched = {&base};
  const ByteSource baseSource = {ReadWatched, &watched, static_cast<uint32_t>(base.size())};
  CollectSink sink;
  const DeltaStream stream = {Source(delta), 0, static_cast<uint32_t>(delta.size())};
  const int ok = ApplyDelta(stream, baseSource, ByteSink{Collect, &sink}, chunk);
  return {ok, sink.bytes, watched.outside, sink.largestWrite};
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t from, size_t count) {
  return std::vector<uint8_t>(v.begin() + static_cast<ptrdiff_t>(from),
                              v.begin() + static_cast<ptrdiff_t>(from + count));
}

// n bytes that do not compress, from seed (each byte the top of the next LCG state).
std::vector<uint8_t> Noise(size_t n, uint32_t seed) {
  std::vector<uint8_t> bytes(n);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
  return bytes;
}

// Pairs of versions as releases differ: edits, insertions, deletions, moved blocks, empty files.
struct Pair {
  const char* what;
  std::vector<uint8_t> base;
  std::vector<uint8_t> result;
};

std::vector<Pair> Pairs() {
  const std::vector<uint8_t> a = SampleData(20000, 1);
  const std::vector<uint8_t> b = SampleData(7000, 2);
  std::vector<uint8_t> edited = a;
  for (size_t i = 100; i < edited.size(); i += 997) edited[i] ^= 0x5a;
  // Every 12th word moved by one of 100 amounts, picked at random (in its upper half: each change
  // is a word from the third byte on, whose value is one of those amounts): the words method takes
  // values from its 64 recent ones at every place, and new ones once they have dropped out.
  std::vector<uint8_t> moved = a;
  std::mt19937 random(7);
  for (size_t i = 0; i + 4 <= moved.size(); i += 12)
    WriteLE32(&moved[i], ReadLE32(&moved[i]) + 0x00010000u * (1 + random() % 100));
  // Every 16th word an address into one of 300 pages, every 16th from the 8th a displacement
  // into one; each page moved by its own amount, so that addresses into a page change alike
  // (and displacements too, by the page they reach): predicted changes.
  std::vector<uint8_t> addresses = a, pagesMoved = a;
  const auto pageMove = [](uint32_t target) { return 0x10u * (target >> 12) + 4; };
  for (uint32_t i = 0; i + 12 <= addresses.size(); i += 16) {
    const uint32_t address = 0x400000 + static_cast<uint32_t>(random() % (300 << 12));
    const uint32_t reached = 0x400000 + static_cast<uint32_t>(random() % (300 << 12));
    WriteLE32(&addresses[i], address);
    WriteLE32(&pagesMoved[i], address + pageMove(address));
    WriteLE32(&addresses[i + 8], reached - (i + 12));
    WriteLE32(&pagesMoved[i + 8], reached - (i + 12) + pageMove(reached));
  }
  return {
      {"identical", a, a},
      {"scattered byte edits", a, edited},
      {"insertion", a, Concat({Slice(a, 0, 9000), b, Slice(a, 9000, 11000)})},
      {"deletion", a, Concat({Slice(a, 0, 5000), Slice(a, 12000, 8000)})},
      {"blocks moved", a, Concat({Slice(a, 15000, 5000), Slice(a, 0, 15000)})},
      {"unrelated", a, b},
      {"empty base", {}, b},
      {"empty result", a, {}},
      {"both empty", {}, {}},
      // (Last: tests take the pairs above by their place.)
      {"words moved by many amounts", a, moved},
      {"addresses moved by their pages", addresses, pagesMoved},
  };
}

// The delta methods, each test run with each.
constexpr DeltaMethod kMethods[] = {kDeltaRangeCoded, kDeltaDeflatedWords, kDeltaWordsPredicted,
                                    kDeltaWordsCalls, kDeltaWordsCallsLz};

TEST(Delta, RoundTripsAtEveryChunkSize) {
  for (DeltaMethod method : kMethods) {
    for (const Pair& p : Pairs()) {
      const std::vector<uint8_t> delta = MakeDeltaWith(method, p.base, p.result);
      DeltaHeader header;
      ASSERT_EQ(ParseDeltaHeader(delta.data(), static_cast<uint32_t>(delta.size()), header), 1)
          << p.what;
      EXPECT_EQ(header.method, method) << p.what;
      EXPECT_EQ(header.baseSize, p.base.size()) << p.what;
      EXPECT_EQ(header.resultSize, p.result.size()) << p.what;
      for (uint32_t chunk : {kDeltaMinChunk, 17u, 1000u, 4097u, kDeltaDefaultChunk}) {
        const Applied applied = Apply(delta, p.base, chunk);
        EXPECT_EQ(applied.ok, 1) << p.what << " chunk " << chunk;
        EXPECT_EQ(applied.output, p.result) << p.what << " chunk " << chunk;
        EXPECT_LE(applied.largestWrite, chunk) << p.what;
        EXPECT_FALSE(applied.readOutside) << p.what;
      }
    }
  }
}

// A synthetic program image as compilers lay one out: PE headers, a .text of functions that
// call each other (E8 rel32) and load data (A1 abs32), an .rdata of import names and data, for
// an x64 image a .pdata listing each function (start, end, unwind data in .rdata), and a .reloc
// listing every abs32 by page. Function bodies are random bytes of a fixed seed, so a function is
// the same bytes wherever it lands; only references change when code moves.
struct ProgramRecipe {
  std::vector<int> order;         // function numbers in .text order
  std::vector<uint32_t> lengths;  // body length of each function number
  std::vector<std::string> imports;
  bool x64 = false;
  bool codeSections = false;  // .text and .rdata have section headers too (a real image's layout)
  // A .data after the .pdata (x64), of 64-bit pointers to the functions (by number, three times
  // over): relocated places past the first table, which neither side takes. Longer than the
  // .pdata's coding saves, so that a side that took them would find pointers at their places in
  // the coded base too, and change them by their pages.
  bool dataAfterTables = false;
};

std::vector<uint8_t> ProgramImage(const ProgramRecipe& recipe) {
  constexpr uint32_t kImageBase = 0x400000, kTextAt = 0x1000;
  const size_t count = recipe.lengths.size();
  std::vector<uint32_t> start(count);
  uint32_t at = kTextAt;
  for (int f : recipe.order) {
    start[f] = at;
    at += recipe.lengths[f];
  }
  const uint32_t rdataAt = (at + 0xFFF) & ~0xFFFu;
  std::vector<uint8_t> image = PeImage(recipe.x64, 0x1000);
  image.resize(rdataAt, 0xCC);
  std::vector<uint32_t> absolutes;  // RVAs of abs32 operands (then of .data's pointers)
  for (int f : recipe.order) {
    const std::vector<uint8_t> body = SampleData(recipe.lengths[f], 100 + f);
    uint32_t x = static_cast<uint32_t>(f) * 2654435761u;
    for (uint32_t i = 0; i < body.size();) {
      uint8_t* p = &image[start[f] + i];
      x = x * 1103515245u + 12345u;
      const uint32_t kind = (x >> 16) % 8;
      if (kind == 0 && i + 5 <= body.size()) {  // call another function
        const uint32_t target = start[(x >> 8) % count];
        p[0] = 0xE8;
        WriteLE32(p + 1, target - (start[f] + i + 5));
        i += 5;
      } else if (kind == 1 && i + 5 <= body.size()) {  // load a data word of .rdata
        p[0] = 0xA1;
        WriteLE32(p + 1, kImageBase + rdataAt + 4 * ((x >> 8) % 256));
        absolutes.push_back(start[f] + i + 1);
        i += 5;
      } else {
        const uint32_t n = std::min<uint32_t>(1 + (x >> 24) % 6, body.size() - i);
        std::memcpy(p, &body[i], n);
        i += n;
      }
    }
  }
  std::vector<uint8_t> rdata = SampleData(1024, 55);
  for (const std::string& name : recipe.imports) {
    rdata.insert(rdata.end(), {0, 0});  // hint
    rdata.insert(rdata.end(), name.begin(), name.end());
    rdata.push_back(0);
  }
  image.insert(image.end(), rdata.begin(), rdata.end());
  image.resize((image.size() + 0xFFF) & ~size_t{0xFFF}, 0);
  const auto pdataAt = static_cast<uint32_t>(image.size());
  if (recipe.x64) {
    for (int f : recipe.order) {
      const size_t entry = image.size();
      image.resize(entry + 12);
      WriteLE32(&image[entry], start[f]);
      WriteLE32(&image[entry + 4], start[f] + recipe.lengths[f]);
      WriteLE32(&image[entry + 8], rdataAt + 8 * static_cast<uint32_t>(f));
    }
  }
  const auto dataAt = static_cast<uint32_t>(image.size());
  const size_t codeAbsolutes = absolutes.size();
  if (recipe.dataAfterTables) {
    for (size_t f = 0; f < 3 * count; ++f) {
      absolutes.push_back(static_cast<uint32_t>(image.size()));
      image.resize(image.size() + 8);
      WriteLE32(&image[absolutes.back()], kImageBase + start[f % count]);
    }
  }
  const auto relocAt = static_cast<uint32_t>(image.size());
  // .reloc: per 4 KiB page, its RVA, the block's size and 16-bit entries of type 3 (10 for the
  // 64-bit pointers of .data).
  for (size_t i = 0; i < absolutes.size();) {
    const uint32_t page = absolutes[i] & ~0xFFFu;
    size_t j = i;
    while (j < absolutes.size() && (absolutes[j] & ~0xFFFu) == page) ++j;
    const size_t blockAt = image.size();
    image.resize(blockAt + 8 + 2 * (j - i));
    WriteLE32(&image[blockAt], page);
    WriteLE32(&image[blockAt + 4], static_cast<uint32_t>(8 + 2 * (j - i)));
    for (size_t k = i; k < j; ++k) {
      const uint32_t entry = (k < codeAbsolutes ? 0x3000 : 0xA000) | (absolutes[k] & 0xFFF);
      image[blockAt + 8 + 2 * (k - i)] = static_cast<uint8_t>(entry);
      image[blockAt + 9 + 2 * (k - i)] = static_cast<uint8_t>(entry >> 8);
    }
    i = j;
  }
  // Their sections (file offsets are RVAs here) and the directories naming them: exceptions
  // (3) and base relocations (5).
  const uint32_t optional = recipe.x64 ? 240 : 224;
  const uint32_t directories = kPeOffset + 24 + (recipe.x64 ? 112 : 96);
  if (recipe.x64) WriteLE32(&image[kPeOffset + 4], 0x8664);
  const struct {
    const char* name;
    uint32_t directory, at, size;
  } tables[] = {{".text", 0, kTextAt, rdataAt - kTextAt},
                {".rdata", 0, rdataAt, pdataAt - rdataAt},
                {".pdata", 3, pdataAt, dataAt - pdataAt},
                {".data", 0, dataAt, relocAt - dataAt},
                {".reloc", 5, relocAt, static_cast<uint32_t>(image.size()) - relocAt}};
  uint32_t sections = 0;
  for (const auto& t : tables) {
    if (t.size == 0 || (t.directory == 0 && !recipe.codeSections)) continue;
    const uint32_t section = kPeOffset + 24 + optional + 40 * sections++;
    std::memcpy(&image[section], t.name, 6);
    WriteLE32(&image[section + 8], t.size);
    WriteLE32(&image[section + 12], t.at);
    WriteLE32(&image[section + 16], t.size);
    WriteLE32(&image[section + 20], t.at);
    if (t.directory == 0) continue;
    WriteLE32(&image[directories + 8 * t.directory], t.at);
    WriteLE32(&image[directories + 8 * t.directory + 4], t.size);
  }
  image[kPeOffset + 6] = static_cast<uint8_t>(sections);
  return image;
}

// A relocation table: per block its page and its 16-bit entries.
using RelocBlocks = std::vector<std::pair<uint32_t, std::vector<uint16_t>>>;
std::vector<uint8_t> RelocTable(const RelocBlocks& blocks) {
  std::vector<uint8_t> out;
  for (const auto& [page, entries] : blocks) {
    const size_t at = out.size();
    out.resize(at + 8 + 2 * entries.size());
    WriteLE32(&out[at], page);
    WriteLE32(&out[at + 4], static_cast<uint32_t>(8 + 2 * entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
      out[at + 8 + 2 * i] = static_cast<uint8_t>(entries[i]);
      out[at + 9 + 2 * i] = static_cast<uint8_t>(entries[i] >> 8);
    }
  }
  return out;
}

// Codes (or decodes) input as a table of kind and tableSize bytes, piece bytes at a time,
// through a 16-byte output that flushes into the answer. ok, and whether the table ended.
struct TableCoded {
  int ok;
  int ended;
  std::vector<uint8_t> bytes;
};
TableCoded RunTableCoder(bool decode, uint32_t kind, const std::vector<uint8_t>& input,
                         uint32_t tableSize, size_t piece) {
  TableCoded answer = {1, 0, {}};
  TableCoder coder;
  answer.ok = StartTableCoder(coder, kind, tableSize);
  unsigned char buffer[16];
  auto flush = [](void* context, const unsigned char* bytes, uint32_t count) {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    out->insert(out->end(), bytes, bytes + count);
    return 1;
  };
  TableOutput out = {buffer, sizeof buffer, 0, flush, &answer.bytes};
  for (size_t at = 0; at < input.size() && answer.ok; at += piece) {
    const auto n = static_cast<uint32_t>(std::min(piece, input.size() - at));
    answer.ok =
        decode ? DecodeTable(coder, &input[at], n, out) : CodeTable(coder, &input[at], n, out);
  }
  answer.bytes.insert(answer.bytes.end(), buffer, buffer + out.size);
  answer.ended = TableEnded(coder);
  return answer;
}

// LEB128 numbers, as the words bodies and coded tables carry them.
std::vector<uint8_t> Numbers(std::initializer_list<uint64_t> values) {
  std::vector<uint8_t> out;
  for (uint64_t value : values) PutNumber(out, value);
  return out;
}

// An exception table: per entry its start, end and unwind RVAs.
std::vector<uint8_t> ExceptionTable(const std::vector<std::array<uint32_t, 3>>& entries) {
  std::vector<uint8_t> out(12 * entries.size());
  for (size_t i = 0; i < entries.size(); ++i)
    for (int k = 0; k < 3; ++k) WriteLE32(&out[12 * i + 4 * k], entries[i][k]);
  return out;
}

// Every table of whole blocks or entries codes and decodes back to its bytes, in pieces of any
// size; what is not such a table, or not its coded form, is refused.
TEST(ImageTables, CodeEveryTableExactlyAndRefuseTheRest) {
  const struct {
    const char* what;
    uint32_t kind;
    std::vector<uint8_t> table;
  } tables[] = {
      {"no relocations", kTableRelocations, {}},
      {"pages in order, a padding entry", kTableRelocations,
       RelocTable({{0x1000, {0x3010, 0x3024, 0x3FFC, 0x0000}}, {0x2000, {0x3008, 0x3100}}})},
      {"64-bit entries, places out of order", kTableRelocations,
       RelocTable({{0x5000, {0xA800, 0xA010, 0xAFF8}}})},
      {"a page before the last, an empty block", kTableRelocations,
       RelocTable({{0x9000, {0x3000}}, {0x3000, {}}})},
      {"the top of the address space", kTableRelocations,
       RelocTable({{0xFFFFF000, {0x3FFF}}, {0, {0x3000}}})},
      {"no exceptions", kTableExceptions, {}},
      {"functions in order", kTableExceptions,
       ExceptionTable({{0x1000, 0x1040, 0x9000}, {0x1040, 0x1100, 0x9008}})},
      {"an end before its start, extremes", kTableExceptions,
       ExceptionTable({{0xFFFFFFFF, 0, 0xFFFFFFFF}, {0, 0xFFFFFFFF, 0}})},
  };
  for (const auto& t : tables) {
    const auto size = static_cast<uint32_t>(t.table.size());
    const TableCoded whole = RunTableCoder(false, t.kind, t.table, size, t.table.size() + 1);
    ASSERT_TRUE(whole.ok && whole.ended) << t.what;
    for (size_t piece : {size_t{1}, size_t{3}, t.table.size() + 1}) {
      EXPECT_EQ(RunTableCoder(false, t.kind, t.table, size, piece).bytes, whole.bytes) << t.what;
      const TableCoded decoded = RunTableCoder(true, t.kind, whole.bytes, size, piece);
      EXPECT_TRUE(decoded.ok && decoded.ended) << t.what;
      EXPECT_EQ(decoded.bytes, t.table) << t.what;
    }
  }

  const std::vector<uint8_t> table = RelocTable({{0x1000, {0x3010, 0x3020}}});  // 12 bytes
  std::vector<uint8_t> odd = table, small = table, beyond = table;
  WriteLE32(&odd[4], 11);
  WriteLE32(&small[4], 6);
  WriteLE32(&beyond[4], 14);
  const std::vector<uint8_t> entry = ExceptionTable({{0x1000, 0x1040, 0x9000}});
  constexpr uint32_t kR = kTableRelocations, kE = kTableExceptions;
  const struct {
    const char* what;
    bool decode;
    uint32_t kind;
    std::vector<uint8_t> input;
    uint32_t tableSize;
    int ok, ended;  // ended: for input taken so far (ok), whether the table is whole
  } refused[] = {
      {"an unknown kind", false, 3, table, 12, 0, 0},
      {"block size odd", false, kR, odd, 12, 0, 0},
      {"block size under 8", false, kR, small, 12, 0, 0},
      {"block past the table", false, kR, beyond, 12, 0, 0},
      {"more bytes than the table", false, kR, table, 10, 0, 0},
      {"cut inside a block", false, kR, Slice(table, 0, 10), 12, 1, 0},
      {"exceptions not in entries of 12", false, kE, Slice(entry, 0, 10), 10, 0, 0},
      {"cut inside an entry", false, kE, Slice(entry, 0, 10), 12, 1, 0},
      {"a page below 0", true, kR, Numbers({1, 0}), 8, 0, 0},
      {"a page past 4 GiB", true, kR, Numbers({uint64_t{1} << 33, 0}), 8, 0, 0},
      {"an entry before its page", true, kR, Numbers({0x2000, 1, 1 << 4 | 3}), 10, 0, 0},
      {"an entry past its page", true, kR, Numbers({0x2000, 1, 0x4000 << 4 | 3}), 10, 0, 0},
      {"a number of 7 bytes", true, kR, Numbers({0x2000, 1, uint64_t{1} << 42}), 10, 0, 0},
      {"more entries than the table holds", true, kR, Numbers({0x2000, 2}), 10, 0, 0},
      {"a block after the table's end", true, kR, Numbers({0x2000, 0, 0}), 8, 0, 0},
      {"cut inside a number", true, kR, {0x80}, 8, 1, 0},
      {"the table's bytes not all given", true, kR, Numbers({0x2000, 0}), 16, 1, 0},
      {"a start below 0", true, kE, Numbers({1, 0, 0}), 12, 0, 0},
      {"an end past 4 GiB", true, kE, Numbers({0, uint64_t{1} << 33, 0}), 12, 0, 0},
      {"a number of 6 bytes", true, kE, Numbers({uint64_t{1} << 35, 0, 0}), 12, 0, 0},
      {"an entry after the table's end", true, kE, Numbers({0, 0, 0, 0}), 12, 0, 0},
  };
  for (const auto& r : refused) {
    const TableCoded coded = RunTableCoder(r.decode, r.kind, r.input, r.tableSize, 1);
    EXPECT_EQ(coded.ok, r.ok) << r.what;
    if (r.ok) {
      EXPECT_EQ(coded.ended, r.ended) << r.what;
    }
  }
}

// The bytes DiffBytes' commands carry (add differences and copied bytes, without their lengths)
// deflated: what a general-purpose coder makes of the same diff.
size_t DeflatedDiffSize(const std::vector<uint8_t>& base, const std::vector<uint8_t>& result) {
  std::vector<uint8_t> bytes;
  size_t at = 0;
  int64_t position = 0;
  for (const DeltaCommand& c : DiffBytes(base, result)) {
    for (uint32_t i = 0; i < c.add; ++i)
      bytes.push_back(static_cast<uint8_t>(result[at + i] - base[position + i]));
    bytes.insert(bytes.end(), result.begin() + static_cast<ptrdiff_t>(at + c.add),
                 result.begin() + static_cast<ptrdiff_t>(at + c.add + c.copy));
    at += c.add + c.copy;
    position += c.add + c.seek;
  }
  return DeflateBytes(bytes, 9).size();
}

// Releases of one program: functions moved, a function grown (every later section shifts),
// an import changed. Each is rebuilt at small and default chunks by each method. Where many
// references change, both beat deflating the same commands' bytes: the range coder's model is
// made for such differences, and the words method finds the few values by which they change;
// every delta is a small part of the deflated file.
ProgramRecipe FirstRelease(int functions = 120) {
  ProgramRecipe v1;
  for (int f = 0; f < functions; ++f) {
    v1.order.push_back(f);
    v1.lengths.push_back(200 + (f * 37) % 700);
  }
  v1.imports = {"CreateFileW", "ReadFile", "GetTickCount", "MessageBoxW"};
  return v1;
}

TEST(Delta, ProgramImagesRoundTrip) {
  for (const bool x64 : {false, true}) {
    SCOPED_TRACE(x64 ? "x64" : "x86");
    ProgramRecipe v1 = FirstRelease();
    v1.x64 = x64;
    ProgramRecipe moved = v1;
    std::rotate(moved.order.begin() + 10, moved.order.begin() + 50, moved.order.begin() + 90);
    ProgramRecipe grown = v1;
    grown.lengths[7] += 1500;
    ProgramRecipe import = v1;
    import.imports[2] = "GetTickCount64";
    const std::vector<uint8_t> base = ProgramImage(v1);
    const struct {
      const char* what;
      std::vector<uint8_t> result;
      bool manyReferencesChange;
      bool predicted;  // create predicts changes: addresses into a page moved alike, or nearly
      bool calls;      // and codes calls by their targets: new code with calls is copied
    } releases[] = {
        {"moved functions", ProgramImage(moved), true, true, false},
        {"grown section", ProgramImage(grown), true, false, true},
        {"changed import", ProgramImage(import), false, true, false},
    };
    for (DeltaMethod method :
         {kDeltaRangeCoded, kDeltaDeflatedWords, kDeltaWordsTables, kDeltaWordsPredicted,
          kDeltaWordsTablesPredicted, kDeltaWordsCalls, kDeltaWordsTablesCalls, kDeltaWordsCallsLz,
          kDeltaWordsTablesCallsLz}) {
      for (const auto& r : releases) {
        ASSERT_NE(r.result, base) << r.what;
        const std::vector<uint8_t> delta = MakeDeltaWith(method, base, r.result);
        // Coding the tables (relocations; for x64 exceptions too) pays wherever code moved, and
        // predicting the changes of addresses from the base's words more: create picks the
        // tables, predicted where any change was.
        if (TablesWordsMethod(method)) {
          EXPECT_EQ(ReadLE32(&delta[kDeltaHeaderSize]), x64 ? 2u : 1u) << r.what;
          if (r.manyReferencesChange) {
            EXPECT_LT(delta.size(),
                      MakeDeltaWith(kDeltaDeflatedWords, base, r.result).size() * 3 / 4)
                << r.what;
          }
        }
        if (method == kDeltaWordsTablesPredicted) {
          const std::vector<uint8_t> plain = MakeDeltaWith(kDeltaWordsTables, base, r.result);
          const std::vector<uint8_t> picked = MakeDelta(base, r.result);
          const std::vector<uint8_t>& withoutCalls = r.predicted ? delta : plain;
          if (r.calls) {
            EXPECT_EQ(picked, MakeDeltaWith(kDeltaWordsTablesCalls, base, r.result)) << r.what;
            EXPECT_LT(picked.size(), withoutCalls.size()) << r.what;
          } else {
            EXPECT_EQ(picked, withoutCalls) << r.what;
          }
          if (r.predicted) {
            EXPECT_LT(delta.size(), plain.size() * (r.manyReferencesChange ? 19 : 20) / 20)
                << r.what;
          } else {
            EXPECT_EQ(delta.size(), plain.size()) << r.what;
          }
        }
        for (uint32_t chunk : {kDeltaMinChunk, kDeltaDefaultChunk}) {
          const Applied applied = Apply(delta, base, chunk);
          EXPECT_EQ(applied.ok, 1) << r.what;
          EXPECT_EQ(applied.output, r.result) << r.what;
          EXPECT_LE(applied.largestWrite, chunk) << r.what;
        }
        if (r.manyReferencesChange) {
          EXPECT_LT(delta.size(), DeflatedDiffSize(base, r.result)) << r.what;
        }
        EXPECT_LT(delta.size(), DeflateBytes(r.result, 9).size() / 5) << r.what;
      }
    }
  }
}

// An image of 900 KB whose functions moved, through the tables methods at chunks of every kind
// of size: its relocation table decodes through more than the buffer the result's tables go out
// through, beside the blocks of the base kept after it.
TEST(Delta, LargeProgramImagesRoundTripAtEveryChunk) {
  for (const bool x64 : {false, true}) {
    SCOPED_TRACE(x64 ? "x64" : "x86");
    ProgramRecipe v1 = FirstRelease(1500);
    v1.x64 = x64;
    ProgramRecipe moved = v1;
    std::rotate(moved.order.begin() + 10, moved.order.begin() + 700, moved.order.begin() + 1400);
    std::reverse(moved.order.begin() + 100, moved.order.begin() + 300);
    const std::vector<uint8_t> base = ProgramImage(v1), result = ProgramImage(moved);
    for (DeltaMethod method : {kDeltaWordsTables, kDeltaWordsTablesPredicted,
                               kDeltaWordsTablesCalls, kDeltaWordsTablesCallsLz}) {
      const std::vector<uint8_t> delta = MakeDeltaWith(method, base, result);
      for (uint32_t chunk : {kDeltaMinChunk, 17u, 4097u, 40000u, kDeltaDefaultChunk, 1u << 20}) {
        const Applied applied = Apply(delta, base, chunk);
        EXPECT_EQ(applied.ok, 1) << method << " chunk " << chunk;
        EXPECT_TRUE(applied.output == result) << method << " chunk " << chunk;
        EXPECT_LE(applied.largestWrite, chunk) << method << " chunk " << chunk;
        EXPECT_FALSE(applied.readOutside) << method << " chunk " << chunk;
      }
    }
  }
}

// Functions moved (predicted changes) and a section grown (new code with calls, coded by their
// targets): the stream's method says both, over coded tables or, in an image whose tables
// cannot be found, without them.
TEST(Delta, PredictionsAndCallsTogetherGetTheirMethod) {
  for (const bool x64 : {false, true}) {
    for (const bool tables : {true, false}) {
      SCOPED_TRACE(testing::Message() << (x64 ? "x64" : "x86") << (tables ? ", tables" : ""));
      ProgramRecipe v1 = FirstRelease();
      v1.x64 = x64;
      ProgramRecipe both = v1;
      std::rotate(both.order.begin() + 10, both.order.begin() + 50, both.order.begin() + 90);
      both.lengths[7] += 1500;
      std::vector<uint8_t> base = ProgramImage(v1), result = ProgramImage(both);
      // The PE header's place beyond the file: no tables.
      if (!tables)
        for (std::vector<uint8_t>* image : {&base, &result}) WriteLE32(&(*image)[0x3C], 0x7FFFFFF0);
      const std::vector<uint8_t> picked = MakeDelta(base, result);
      EXPECT_EQ(ReadLE32(&picked[4]), uint32_t{tables ? kDeltaWordsTablesCalls : kDeltaWordsCalls});
      EXPECT_TRUE(DeltaGives(picked, base, result));
    }
  }
}

// Where the result is made of the base's bytes, the delta is a small part of the whole file.
TEST(Delta, SimilarVersionsGiveSmallDeltas) {
  for (const Pair& p : Pairs()) {
    const std::string what = p.what;
    if (what != "scattered byte edits" && what != "deletion" && what != "blocks moved") continue;
    const std::vector<uint8_t> delta = MakeDelta(p.base, p.result);
    EXPECT_LT(delta.size(), DeflateBytes(p.result, 9).size() / 4) << p.what;
  }
}

// A piece of the result found elsewhere in the base is taken only where it is long enough to pay
// for the move there and back: the longer the move, the longer the piece must be (2 log2 of
// the move less 8 bytes), else its bytes are coded as new.
TEST(Delta, AMoveIsTakenWhereItsPiecePaysForIt) {
  const std::vector<uint8_t> base = Noise(2 << 20, 11);
  constexpr int64_t kAt = 1 << 20;
  const struct {
    int64_t move, length;
    bool taken;
  } cases[] = {
      {1 << 19, 24, false},    {1 << 19, 29, false},   {1 << 19, 30, true}, {1 << 19, 40, true},
      {-(1 << 19), 24, false}, {-(1 << 19), 40, true}, {1 << 10, 12, true}, {1 << 10, 11, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "move " << c.move << ", " << c.length << " bytes");
    std::vector<uint8_t> result(base.begin(), base.begin() + kAt);
    result.insert(result.end(), base.begin() + kAt + c.move,
                  base.begin() + kAt + c.move + c.length);
    result.insert(result.end(), base.begin() + kAt + c.length, base.end());
    bool moved = false;
    for (const DeltaCommand& command : DiffBytes(base, result))
      moved |= command.seek >= c.move - 8 && command.seek <= c.move + 8;
    EXPECT_EQ(moved, c.taken);
  }
}

// Range coding goes where it saves the most bytes for its decoding time, within the budget.
TEST(Delta, RangeCodedWhereTheBudgetGoesFurthest) {
  const struct {
    const char* what;
    std::vector<RangedOption> options;
    uint64_t budget;
    std::vector<bool> taken;
  } cases[] = {
      {"best ratio first, then while it fits", {{100, 50}, {90, 10}, {10, 40}}, 60, {1, 1, 0}},
      {"one too costly is passed over", {{30, 10}, {100, 50}, {15, 10}}, 55, {1, 0, 1}},
      {"nothing saved, nothing taken", {{0, 0}, {0, 5}}, 100, {0, 0}},
      {"no budget: only what costs nothing", {{5, 0}, {50, 1}}, 0, {1, 0}},
      {"not one range-coded stream", {}, 10, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(ChooseRangeCoded(c.options, c.budget), c.taken) << c.what;
}

TEST(Delta, OtherBaseIsRefused) {
  const std::vector<Pair> pairs = Pairs();
  const Pair& p = pairs[1];
  const std::vector<uint8_t> delta = MakeDelta(p.base, p.result);
  std::vector<uint8_t> sameSizeOtherBytes = p.base;
  sameSizeOtherBytes[5000] ^= 1;
  EXPECT_EQ(Apply(delta, sameSizeOtherBytes).ok, 0);  // the result's hash differs
  EXPECT_EQ(Apply(delta, Slice(p.base, 0, p.base.size() - 1)).ok, 0);
}

// The applier decodes a 0 with a cell at kSureOfZero without adapting it: that is right only if
// the cell stays as it is, and it pays only if a flag seeing nothing but zeros gets there.
TEST(Delta, ASureCellStaysSureOfZero) {
  EXPECT_EQ(Adapted(kSureOfZero, 0), kSureOfZero);
  EXPECT_NE(Adapted(kSureOfZero, 1), kSureOfZero);
  ProbCell cell = 0;
  int zeros = 0;
  for (; cell != kSureOfZero && zeros < 1000; ++zeros) cell = Adapted(cell, 0);
  EXPECT_EQ(cell, kSureOfZero);
  EXPECT_LT(zeros, 100);
}

// Bits the model has all but ruled out, many in a row: adds of 2047 bytes teach every bit
// below a length's leading one to be 1, then an add of 1024 codes ten 0s against those odds.
// The coder's interval shrinks to a sliver each time and must be renormalised until it is
// whole again (a single renormalising step left it empty, and the decoder parted ways with
// the encoder).
TEST(Delta, RangeCoderTakesLongShotsInARow) {
  const std::vector<uint8_t> base = SampleData(210000, 9);
  RangeBodyWriter writer;
  size_t at = 0;
  auto add = [&](uint32_t count) {
    writer.Command(count, 0, 0);
    for (uint32_t i = 0; i < count; ++i, ++at)
      writer.Add(at > 0 ? base[at - 1] : 0, base[at], base[at]);
  };
  for (int i = 0; i < 100; ++i) add(2047);
  add(1024);
  const std::vector<uint8_t> result = Slice(base, 0, at);
  const std::vector<uint8_t> delta =
      DeltaStreamWith(kDeltaRangeCoded, base, result, writer.Finish());
  const Applied applied = Apply(delta, base);
  EXPECT_EQ(applied.ok, 1);
  EXPECT_EQ(applied.output, result);
}

// pinepack reads a vendor's files as they come: a program image cut anywhere in its headers, or
// with any header byte changed, gives tables inside the image or none, never a read outside it.
TEST(ImageTables, FoundOnlyInsideTheImage) {
  ProgramRecipe recipe = FirstRelease();
  recipe.x64 = true;
  const std::vector<uint8_t> image = ProgramImage(recipe);
  ASSERT_EQ(FindImageTables(image).size(), 2u);
  constexpr size_t kHeaders = 0x200;
  for (size_t cut = 0; cut < kHeaders; ++cut)
    EXPECT_TRUE(FindImageTables(Slice(image, 0, cut)).empty()) << "cut at " << cut;
  for (size_t at = 0; at < kHeaders; ++at) {
    for (uint8_t flip : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
      std::vector<uint8_t> changed = image;
      changed[at] ^= flip;
      for (const ImageTablePlace& t : FindImageTables(changed))
        EXPECT_LE(uint64_t{t.offset} + t.size, changed.size()) << "byte " << at;
    }
  }
}

// Damage to the header or the stream around the body. Method 1, the retired deflated form,
// is refused as any unknown method.
TEST(Delta, DamagedStreamsFail) {
  const std::vector<Pair> pairs = Pairs();
  const Pair& p = pairs[2];
  for (DeltaMethod method : kMethods) {
    const std::vector<uint8_t> good = MakeDeltaWith(method, p.base, p.result);
    const int words = method != kDeltaRangeCoded;
    auto patched = [&](size_t offset, uint32_t value) {
      std::vector<uint8_t> out = good;
      PatchLE32(out, offset, value);
      return out;
    };
    std::vector<uint8_t> trailing = good;
    trailing.push_back(0);
    PatchLE32(trailing, 16, ReadLE32(trailing.data() + 16) + 1);  // bodySize covers the extra byte
    std::vector<uint8_t> firstBodyByte = good;
    firstBodyByte[kDeltaHeaderSize] ^= 1;  // the range coder's leading 0, or the zlib header
    std::vector<uint8_t> middleBodyByte = good;
    middleBodyByte[(kDeltaHeaderSize + good.size()) / 2] ^= 0x55;
    // A method 1 stream as it was made: commands as varints and their bytes, deflated (here one
    // command copying the whole result).
    std::vector<uint8_t> commands;
    for (uint64_t value : {uint64_t{0}, uint64_t{p.result.size()}, uint64_t{0}})
      PutNumber(commands, value);
    commands.insert(commands.end(), p.result.begin(), p.result.end());
    const std::vector<uint8_t> methodOne =
        DeltaStreamWith(static_cast<DeltaMethod>(1), p.base, p.result, DeflateBytes(commands, 9));
    // header: ParseDeltaHeader's answer. check: CheckDeltaStream's; a wrong hash and a base one
    // byte longer than the commands use need the base to be seen, and so does a wrong result
    // size for range-coded commands, decoded only with it (their Adler-32 shows damage to the
    // coded bytes); the words method's commands are run without it.
    const struct {
      const char* what;
      std::vector<uint8_t> delta;
      int header, check;
    } cases[] = {
        {"magic", patched(0, 0x544c4451), 0, 0},
        {"unknown method", patched(4, 17), 0, 0},
        {"method 0", patched(4, 0), 0, 0},
        {"method 1, retired", patched(4, 1), 0, 0},
        {"a method 1 stream", methodOne, 0, 0},
        {"base size", patched(8, static_cast<uint32_t>(p.base.size() + 1)), 1, 1},
        {"result size smaller", patched(12, static_cast<uint32_t>(p.result.size() - 1)), 1, !words},
        {"result size larger", patched(12, static_cast<uint32_t>(p.result.size() + 1)), 1, !words},
        {"body size", patched(16, ReadLE32(good.data() + 16) - 1), 0, 0},
        {"result hash", patched(56, ReadLE32(good.data() + 56) ^ 1), 1, 1},
        {"stream cut short", Slice(good, 0, good.size() - 1), 0, 0},
        {"header only", Slice(good, 0, kDeltaHeaderSize), 0, 0},
        {"shorter than a header", Slice(good, 0, kDeltaHeaderSize - 1), 0, 0},
        {"a byte after the body's stream", trailing, 1, 0},
        {"first body byte", firstBodyByte, 1, 0},
        {"a byte in the middle of the body", middleBodyByte, 1, 0},
    };
    for (const auto& c : cases) {
      const Applied applied = Apply(c.delta, p.base, kDeltaMinChunk);
      EXPECT_EQ(applied.ok, 0) << c.what;
      DeltaHeader header;
      EXPECT_EQ(ParseDeltaHeader(c.delta.data(), static_cast<uint32_t>(c.delta.size()), header),
                c.header)
          << c.what;
      EXPECT_EQ(CheckDeltaStream({Source(c.delta), 0, static_cast<uint32_t>(c.delta.size())}),
                c.check)
          << c.what;
      EXPECT_LE(applied.output.size(), p.result.size()) << c.what;
      EXPECT_FALSE(applied.readOutside) << c.what;
    }
  }
}

// Each method's shortest body: the header takes it and refuses a byte less.
TEST(Delta, ShortestBodyPerMethod) {
  const uint32_t words = kDeflatedWordsBodyMin, tables = 4 + kTableRecordSize + words;
  const struct {
    DeltaMethod method;
    uint32_t shortest;
  } cases[] = {
      {kDeltaRangeCoded, kRangeCodedBodyMin},
      {kDeltaDeflatedWords, words},
      {kDeltaWordsPredicted, words},
      {kDeltaWordsCalls, words},
      {kDeltaWordsCallsLz, words},
      {kDeltaWordsTables, tables},
      {kDeltaWordsTablesPredicted, tables},
      {kDeltaWordsTablesCalls, tables},
      {kDeltaWordsTablesCallsLz, tables},
  };
  const std::vector<uint8_t> base = Bytes("base"), result = Bytes("result");
  for (const auto& c : cases) {
    for (const uint32_t length : {c.shortest - 1, c.shortest}) {
      const std::vector<uint8_t> delta =
          DeltaStreamWith(c.method, base, result, std::vector<uint8_t>(length));
      DeltaHeader header;
      EXPECT_EQ(ParseDeltaHeader(delta.data(), static_cast<uint32_t>(delta.size()), header),
                length == c.shortest)
          << c.method << ", " << length;
    }
  }
}

// The coded bytes of a range-coded body (without its Adler-32), and coded bytes made a body.
std::vector<uint8_t> CodedBytes(const std::vector<uint8_t>& body) {
  return Slice(body, 0, body.size() - 4);
}

std::vector<uint8_t> WithAdler(std::vector<uint8_t> coded) {
  const uLong adler = adler32(adler32(0, Z_NULL, 0), coded.data(), static_cast<uInt>(coded.size()));
  for (int i = 0; i < 4; ++i) coded.push_back(static_cast<uint8_t>(adler >> (8 * i)));
  return coded;
}

// A hand-made delta against base: ApplyDelta's answer ok (and then exactly result, else no more
// than its size), CheckDeltaStream's answer check (-1: not asserted), and no read outside the
// base either way.
void ExpectHandMade(const std::vector<uint8_t>& delta, const std::vector<uint8_t>& base,
                    const std::vector<uint8_t>& result, int ok, int check, const char* what) {
  // The smallest pieces, and pieces larger than every body here (where the words applier makes
  // a gap and its change in one piece).
  for (uint32_t chunk : {kDeltaMinChunk, kDeltaDefaultChunk}) {
    const Applied applied = Apply(delta, base, chunk);
    EXPECT_EQ(applied.ok, ok) << what << " chunk " << chunk;
    if (check >= 0) {
      EXPECT_EQ(CheckDeltaStream({Source(delta), 0, static_cast<uint32_t>(delta.size())}, chunk),
                check)
          << what << " chunk " << chunk;
    }
    EXPECT_LE(applied.output.size(), result.size()) << what;
    EXPECT_FALSE(applied.readOutside) << what;
    if (ok) {
      EXPECT_EQ(applied.output, result) << what << " chunk " << chunk;
    }
  }
}

// good with each stride-th byte changed by flip, applied chunk bytes at a time: it fails or
// gives result, never more bytes than that, never a read outside the base.
void ExpectEachDamagedByteFailsOrGives(const std::vector<uint8_t>& good,
                                       const std::vector<uint8_t>& base,
                                       const std::vector<uint8_t>& result, size_t stride,
                                       uint8_t flip, uint32_t chunk) {
  for (size_t i = 0; i < good.size(); i += stride) {
    std::vector<uint8_t> damaged = good;
    damaged[i] ^= flip;
    const Applied applied = Apply(damaged, base, chunk);
    EXPECT_LE(applied.output.size(), result.size()) << "byte " << i;
    EXPECT_FALSE(applied.readOutside) << "byte " << i;
    if (applied.ok) {
      EXPECT_EQ(applied.output, result) << "byte " << i;
    }
  }
}

// A hand-made words body for ExpectHandMade: what it does, the result it should give and whether
// it does.
struct HandMadeBody {
  const char* what;
  std::vector<uint8_t> body;
  const std::vector<uint8_t>& result;
  int ok;
};

// Hand-made command streams against a 100-byte base and an expected 10-byte result. Without
// the base only the header, the leading byte and the Adler-32 are checked.
TEST(Delta, HostileCommandsFail) {
  const std::vector<uint8_t> base = SampleData(100, 3);
  const std::vector<uint8_t> result = Slice(base, 40, 10);
  struct Command {
    uint64_t add, copy, seekCode;
  };
  // Each command's add bytes leave the base unchanged; its copied bytes are copied's, then 'x'.
  // Positions outside the base, which the applier must refuse, take base bytes modulo its size.
  auto body = [&](std::initializer_list<Command> commands,
                  const std::vector<uint8_t>& copied = {}) {
    RangeBodyWriter writer;
    uint64_t position = 0;
    for (const Command& c : commands) {
      writer.Command(c.add, c.copy, c.seekCode);
      for (uint64_t i = 0; i < c.add && i < 200; ++i, ++position)
        writer.Add(position > 0 ? base[(position - 1) % 100] : 0, base[position % 100],
                   base[position % 100]);
      for (uint64_t i = 0; i < c.copy && i < 200; ++i)
        writer.Copy(i < copied.size() ? copied[i] : 'x');
      position += (c.seekCode & 1) ? 0 - (c.seekCode >> 1) - 1 : c.seekCode >> 1;
    }
    return writer.Finish();
  };
  // seek +40 is coded 80; seek -1 is 1.
  const std::vector<uint8_t> copyResult = CodedBytes(body({{0, 10, 0}}, result));
  const std::vector<uint8_t> seekThenAdd = CodedBytes(body({{0, 0, 80}, {10, 0, 0}}));
  const struct {
    const char* what;
    std::vector<uint8_t> body;
    int ok;
    int check;  // CheckDeltaStream's answer
  } cases[] = {
      {"copy of the result's bytes", body({{0, 10, 0}}, result), 1, 1},
      {"seek then add", body({{0, 0, 80}, {10, 0, 0}}), 1, 1},
      {"an empty command after the first", body({{0, 0, 76}, {0, 0, 4}, {10, 0, 0}}), 0, 1},
      {"add past the base's end", body({{0, 0, 190}, {10, 0, 0}}), 0, 1},
      {"seek before the base's start", body({{0, 0, 1}}), 0, 1},
      {"seek past the base's end", body({{0, 0, 202}}), 0, 1},
      {"seek of 34 bits", body({{0, 0, (1ull << 34) - 1}}), 0, 1},
      {"seek of 35 bits, longer than a number may be", body({{0, 0, 1ull << 34}}), 0, 1},
      {"huge seek", body({{0, 0, 1ull << 62}}), 0, 1},
      {"add longer than the result", body({{11, 0, 0}}), 0, 1},
      {"copy longer than the result", body({{0, 11, 0}}), 0, 1},
      {"add and copy together too long", body({{5, 6, 0}}), 0, 1},
      {"length beyond 32 bits", body({{1ull << 32, 0, 0}}), 0, 1},
      {"body ends inside the copied bytes", WithAdler(Slice(copyResult, 0, copyResult.size() / 2)),
       0, 1},
      {"body ends inside the first command", WithAdler(Slice(seekThenAdd, 0, 5)), 0, 1},
      {"a coded byte after the last command", WithAdler(Concat({seekThenAdd, {0}})), 0, 1},
      {"a byte after the Adler-32", Concat({body({{0, 0, 80}, {10, 0, 0}}), {0}}), 0, 0},
      {"empty body", {}, 0, 0},
      {"only the leading byte", {0}, 0, 0},
      {"right length, wrong bytes", body({{0, 10, 0}}), 0, 1},
  };
  for (const auto& c : cases)
    ExpectHandMade(DeltaStreamWith(kDeltaRangeCoded, base, result, c.body), base, result, c.ok,
                   c.check, c.what);
}

// LEB128 numbers, as the words method's sections hold them.
// Hand-made words bodies against the same 100-byte base: blocks of sections (commands, gaps,
// ops, values, copied) or raw inflated bytes. The commands run without the base too, so
// CheckDeltaStream refuses what ApplyDelta refuses, but for the result's hash.
TEST(Delta, HostileWordBlocksFail) {
  const std::vector<uint8_t> base = SampleData(100, 3);
  const std::vector<uint8_t> result = Slice(base, 40, 10);
  // result with the word at 2 plus 0x01020304 and byte 8 plus 5; and with the words at 0 and 4
  // each plus 0x00FF0001 (the second from the recent values).
  std::vector<uint8_t> changed = result;
  WriteLE32(&changed[2], ReadLE32(&changed[2]) + 0x01020304);
  changed[8] = static_cast<uint8_t>(changed[8] + 5);
  std::vector<uint8_t> twice = result;
  WriteLE32(&twice[0], ReadLE32(&twice[0]) + 0x00FF0001);
  WriteLE32(&twice[4], ReadLE32(&twice[4]) + 0x00FF0001);
  const std::vector<uint8_t> big(kWordBlockMax + 1, 'x');
  const std::vector<uint8_t> seekThenAdd = Numbers({0, 0, 80, 10, 0, 0});
  auto blocks = [](std::initializer_list<WordBlock> list) { return DeflatedBlocks(list, false); };
  const HandMadeBody cases[] = {
      {"copy of the result's bytes", blocks({{Numbers({0, 10, 0}), {}, {}, {}, result}}), result,
       1},
      {"seek then add", blocks({{seekThenAdd, Numbers({10}), {}, {}, {}}}), result, 1},
      {"a new word and a byte",
       blocks({{seekThenAdd, Numbers({2, 2, 1}), {kWordOpNew, kWordOpByte}, {4, 3, 2, 1, 5}, {}}}),
       changed, 1},
      {"a new word, then the same from the recent ones",
       blocks({{seekThenAdd, Numbers({0, 0, 2}), {kWordOpNew, 0}, {1, 0, 0xFF, 0}, {}}}), twice, 1},
      {"a command over two blocks",
       blocks({{seekThenAdd, {}, {}, {}, {}}, {{}, Numbers({10}), {}, {}, {}}}), result, 1},
      {"copied bytes over two blocks",
       blocks({{Numbers({0, 10, 0}), {}, {}, {}, Slice(result, 0, 4)},
               {{}, {}, {}, {}, Slice(result, 4, 6)}}),
       result, 1},
      {"copied bytes over two blocks of at most the limit",
       blocks({{Numbers({0, big.size(), 0}), {}, {}, {}, Slice(big, 0, 1000)},
               {{}, {}, {}, {}, Slice(big, 1000, big.size() - 1000)}}),
       big, 1},
      {"a block over the limit", blocks({{Numbers({0, big.size(), 0}), {}, {}, {}, big}}), big, 0},
      {"op 66", blocks({{seekThenAdd, Numbers({2, 8}), {66}, {}, {}}}), result, 0},
      {"a word with 3 add bytes left", blocks({{seekThenAdd, Numbers({7}), {0}, {}, {}}}), result,
       0},
      {"a new word without its 4 bytes",
       blocks({{seekThenAdd, Numbers({2}), {kWordOpNew}, {1, 2, 3}, {}}}), result, 0},
      {"a gap longer than the add run", blocks({{seekThenAdd, Numbers({11}), {}, {}, {}}}), result,
       0},
      {"a gap without its change", blocks({{seekThenAdd, Numbers({2}), {}, {}, {}}}), result, 0},
      {"a change parted from its gap by the block's end",
       blocks({{seekThenAdd, Numbers({2}), {}, {}, {}}, {{}, Numbers({4}), {0}, {}, {}}}), result,
       0},
      {"the next block needed with bytes left in this one",
       blocks({{seekThenAdd, {}, {}, {}, {'x'}}, {{}, Numbers({10}), {}, {}, {}}}), result, 0},
      {"an empty block",
       blocks(
           {{Numbers({0, 10, 0}), {}, {}, {}, {}}, {{}, {}, {}, {}, {}}, {{}, {}, {}, {}, result}}),
       result, 0},
      {"a copy of 2^32 + 10 bytes (its fifth byte above 0x0F)",
       blocks({{{0, 0x8A, 0x80, 0x80, 0x80, 0x10, 0}, {}, {}, {}, result}}), result, 0},
      {"a number of 6 bytes",
       blocks({{{0x80, 0x80, 0x80, 0x80, 0x80, 0, 10, 0}, {}, {}, {}, result}}), result, 0},
      {"a byte left in a section after the result",
       blocks({{Numbers({0, 10, 0}), {}, {}, {}, Concat({result, {'z'}})}}), result, 0},
      {"a block after the result",
       blocks({{Numbers({0, 10, 0}), {}, {}, {}, result}, {Numbers({0, 1, 0}), {}, {}, {}, {'y'}}}),
       result, 0},
      {"an empty command after the first",
       blocks({{Numbers({0, 0, 76, 0, 0, 4, 10, 0, 0}), Numbers({10}), {}, {}, {}}}), result, 0},
      {"add past the base's end",
       blocks({{Numbers({0, 0, 190, 10, 0, 0}), Numbers({10}), {}, {}, {}}}), result, 0},
      {"seek before the base's start", blocks({{Numbers({0, 10, 1}), {}, {}, {}, result}}), result,
       0},
      {"seek past the base's end", blocks({{Numbers({0, 10, 202}), {}, {}, {}, result}}), result,
       0},
      {"the stream ends inside a block",
       DeflateBytes(Concat({Numbers({3, 0, 0, 0, 10}), Numbers({0, 10, 0}), Slice(result, 0, 5)}),
                    9),
       result, 0},
      {"a byte after the zlib stream",
       Concat({blocks({{Numbers({0, 10, 0}), {}, {}, {}, result}}), {0}}), result, 0},
      {"no blocks for a result", blocks({}), result, 0},
  };
  for (const auto& c : cases)
    ExpectHandMade(DeltaStreamWith(kDeltaDeflatedWords, base, c.result, c.body), base, c.result,
                   c.ok, c.ok, c.what);
}

// Predicted word changes, by hand: the value kept for the word's page (op 66), or the one for
// the page its displacement reaches plus the command's shift (op 67), each row filled by every
// word change; with a residual (ops 68 and 69). The base's words at 40 and 60 are in different
// pages (5 and 4) and reach the same one (5: 0x5030 and 0x5004), the second just past its start,
// where a place reckoned from the gap's start (0x4FF4) would lie in the page before; over the
// same base word twice, the second command's shift is 10 less (base 40 to result 0, then to
// result 10).
TEST(Delta, PredictedWordsTakeTheirRowsValue) {
  std::vector<uint8_t> base = SampleData(100, 5);
  WriteLE32(&base[40], 0x5004);
  WriteLE32(&base[60], 0x4FC4);
  const uint32_t v = 0x01020304;
  const auto plus = [&](std::vector<uint8_t> bytes, size_t at, uint32_t value) {
    WriteLE32(&bytes[at], ReadLE32(&bytes[at]) + value);
    return bytes;
  };
  const std::vector<uint8_t> run = Slice(base, 40, 30);
  const std::vector<uint8_t> twice =
      Concat({plus(Slice(base, 40, 10), 0, v), plus(Slice(base, 40, 10), 0, v)});
  const std::vector<uint8_t> twiceByTarget =
      Concat({plus(Slice(base, 40, 10), 0, v), plus(Slice(base, 40, 10), 0, v - 10)});
  const std::vector<uint8_t> values = {4, 3, 2, 1};
  const std::vector<uint8_t> over = Numbers({0, 0, 80, 30, 0, 0});
  const std::vector<uint8_t> overTwice = Numbers({0, 0, 80, 10, 0, 19, 10, 0, 0});
  auto blocks = [](std::initializer_list<WordBlock> list) { return DeflatedBlocks(list, false); };
  const struct {
    const char* what;
    std::vector<uint8_t> body;
    std::vector<uint8_t> result;
  } cases[] = {
      {"the same base word again, by its page",
       blocks({{overTwice, Numbers({0, 6, 0, 6}), {kWordOpNew, kWordOpPredicted}, values, {}}}),
       twice},
      {"the same base word again, by its target",
       blocks(
           {{overTwice, Numbers({0, 6, 0, 6}), {kWordOpNew, kWordOpPredictedTarget}, values, {}}}),
       twiceByTarget},
      {"another word reaching the same target",
       blocks({{over, Numbers({0, 16, 6}), {kWordOpNew, kWordOpPredictedTarget}, values, {}}}),
       plus(plus(run, 0, v), 20, v)},
      {"another page: nothing kept, nothing added",
       blocks({{over, Numbers({0, 16, 6}), {kWordOpNew, kWordOpPredicted}, values, {}}}),
       plus(run, 0, v)},
      {"another page, and 5 more",
       blocks({{over,
                Numbers({0, 16, 6}),
                {kWordOpNew, kWordOpPredictedNear},
                Concat({values, {10}}),
                {}}}),
       plus(plus(run, 0, v), 20, 5)},
      {"the same target, 3 less, then that value again from the recent ones",
       blocks({{over,
                Numbers({0, 16, 2}),
                {kWordOpNew, kWordOpPredictedTargetNear, 0},
                Concat({values, {5}}),
                {}}}),
       plus(plus(plus(run, 0, v), 20, v - 3), 26, v - 3)},
  };
  for (const auto& c : cases) {
    ExpectHandMade(DeltaStreamWith(kDeltaWordsPredicted, base, c.result, c.body), base, c.result, 1,
                   1, c.what);
    // Methods without predictions refuse the ops.
    ExpectHandMade(DeltaStreamWith(kDeltaDeflatedWords, base, c.result, c.body), base, c.result, 0,
                   0, c.what);
  }
  const std::vector<uint8_t> noResidual =
      blocks({{over, Numbers({0, 16, 6}), {kWordOpNew, kWordOpPredictedNear}, values, {}}});
  ExpectHandMade(DeltaStreamWith(kDeltaWordsPredicted, base, run, noResidual), base, run, 0, 0,
                 "a residual cut off by the values' end");
  for (uint8_t op : {kWordOpPredicted, kWordOpPredictedTarget}) {
    const std::vector<uint8_t> late =
        blocks({{Numbers({0, 0, 80, 10, 0, 0}), Numbers({7}), {op}, {}, {}}});
    ExpectHandMade(DeltaStreamWith(kDeltaWordsPredicted, base, Slice(base, 40, 10), late), base,
                   Slice(base, 40, 10), 0, 0, "a predicted word with 3 add bytes left");
  }
}

// A kDeltaWordsTables stream whose record says otherwise than the images, or with any byte
// changed, fails its file: nothing read outside the base, nothing written past the result's size.
// check: CheckDeltaStream's answer where the record alone decides it (-1: left to the commands).
TEST(Delta, DamagedTableRecordsFail) {
  ProgramRecipe v1 = FirstRelease();
  v1.x64 = true;
  ProgramRecipe grown = v1;
  grown.lengths[7] += 1500;
  const std::vector<uint8_t> base = ProgramImage(v1), result = ProgramImage(grown);
  const std::vector<uint8_t> good = MakeDeltaWith(kDeltaWordsTables, base, result);
  ASSERT_EQ(Apply(good, base).output, result);
  // The record's numbers: the count, then per table kind, base offset, size and coded size,
  // result offset, size and coded size.
  auto number = [&](int i) { return ReadLE32(&good[kDeltaHeaderSize + 4 * i]); };
  ASSERT_EQ(number(0), 2u);
  const auto resultSize = static_cast<uint32_t>(result.size());
  const struct {
    const char* what;
    int number;
    uint32_t value;
    int check;
  } cases[] = {
      {"no tables", 0, 0, 0},
      {"more tables than there may be", 0, kImageTablesMax + 1, 0},
      {"one table of two", 0, 1, 0},
      {"an unknown kind", 1, 3, 0},
      {"kinds swapped", 1, number(8), -1},
      {"a table 12 bytes early", 2, number(2) - 12, 1},
      {"a table past the base", 9, static_cast<uint32_t>(base.size()), 0},
      {"tables overlapping", 9, number(2), 0},
      {"a table 12 bytes shorter", 3, number(3) - 12, -1},
      {"coded a byte shorter", 4, number(4) - 1, -1},
      {"coded beyond the arena", 4, kCodedTablesMax + 1, 0},
      {"a result table past the result", 12, resultSize, 0},
      {"a result table 2 bytes longer", 13, number(13) + 2, 0},
      {"a result table coded a byte longer", 14, number(14) + 1, 0},
      {"a result coded beyond 4 GiB", 14, UINT32_MAX, 0},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> delta = good;
    PatchLE32(delta, kDeltaHeaderSize + 4 * c.number, c.value);
    ExpectHandMade(delta, base, result, 0, c.check, c.what);
  }
  ExpectEachDamagedByteFailsOrGives(good, base, result, 3, 0x21, 4096);
}

// Every single flipped byte: the applier fails or, where the damage changes nothing that
// matters, still gives exactly the result; it never gives other bytes as success.
TEST(Delta, EveryFlippedByteFailsOrGivesTheResult) {
  const std::vector<uint8_t> base = SampleData(3000, 4);
  std::vector<uint8_t> result = base;
  result.insert(result.begin() + 1000, base.begin(), base.begin() + 300);
  result[2500] ^= 0x33;
  for (DeltaMethod method : kMethods)
    ExpectEachDamagedByteFailsOrGives(MakeDeltaWith(method, base, result), base, result, 1, 0xff,
                                      kDeltaMinChunk);
  // A body of predicted changes, which pays there at least a fifth.
  const Pair p = Pairs().back();
  const std::vector<uint8_t> predicted = MakeDeltaWith(kDeltaWordsPredicted, p.base, p.result);
  EXPECT_LT(predicted.size(), MakeDeltaWith(kDeltaDeflatedWords, p.base, p.result).size() * 4 / 5);
  ExpectEachDamagedByteFailsOrGives(predicted, p.base, p.result, 1, 0xff, kDeltaMinChunk);
}

// The places RelocatedPlaces takes from the table of size bytes at offset of bytes, read in
// pieces of chunk bytes; 1 or 0 as it answers.
int PlacesOf(const std::vector<uint8_t>& bytes, uint32_t offset, uint32_t size,
             const std::vector<ImageSection>& sections, uint32_t limit, uint32_t chunk,
             std::vector<uint32_t>& places) {
  places.assign(kRelocatedPlacesMax, 0);
  std::vector<unsigned char> buffer(chunk);
  uint32_t count = 0;
  const int ok =
      RelocatedPlaces(MemorySource(bytes.data(), static_cast<uint32_t>(bytes.size())), offset, size,
                      sections.data(), static_cast<uint32_t>(sections.size()), limit, buffer.data(),
                      chunk, places.data(), count);
  places.resize(count);
  return ok;
}

// The places a relocation table gives, by the rule both sides follow: 32- and 64-bit entries
// only, mapped through the first section that holds their 4 bytes, each after the last one taken
// and before the limit; read in pieces of any size. A block of an odd size is refused.
TEST(Delta, RelocatedPlacesFollowTheirRule) {
  const std::vector<ImageSection> sections = {
      {0x1000, 0x200, 0x400}, {0x1100, 0x1000, 0x9000}, {0x3000, 0x100, 0x600}};
  const struct {
    const char* what;
    RelocBlocks blocks;
    uint32_t limit;
    std::vector<uint32_t> places;
  } cases[] = {
      {"32 and 64 bits; padding and 16-bit entries skipped",
       {{0x1000, {0x3010, 0xA020, 0x0000, 0x2030, 0x3040}}},
       UINT32_MAX,
       {0x410, 0x420, 0x440}},
      {"the first section that holds all 4 bytes",
       {{0x1000, {0x31FC, 0x31FD}}},
       UINT32_MAX,
       {0x5FC, 0x90FD}},
      {"in no section, or past the limit",
       {{0x2100, {0x3000}}, {0x3000, {0x3000, 0x3010}}},
       0x613,
       {0x600}},
      {"not after the last one taken, or inside its 4 bytes",
       {{0x3000, {0x3010, 0x3008, 0x3010, 0x3012, 0x3014, 0x3020}}},
       UINT32_MAX,
       {0x610, 0x614, 0x620}},
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> table = RelocTable(c.blocks);
    for (uint32_t chunk : {1u, 3u, 1024u}) {
      std::vector<uint32_t> places;
      ASSERT_EQ(
          PlacesOf(table, 0, static_cast<uint32_t>(table.size()), sections, c.limit, chunk, places),
          1)
          << c.what;
      EXPECT_EQ(places, c.places) << c.what << ", pieces of " << chunk;
    }
  }
  std::vector<uint8_t> odd = RelocTable({{0x1000, {0x3010}}});
  odd[4] = 11;
  odd.push_back(0);
  std::vector<uint32_t> places;
  EXPECT_EQ(PlacesOf(odd, 0, static_cast<uint32_t>(odd.size()), sections, UINT32_MAX, 64, places),
            0);
}

// The places CallPlaces gives bytes whose relocated places are relocated, read in pieces of
// chunk bytes: each a call's (+) or a relocated one (-), by position.
std::vector<int64_t> CallPlacesOf(const std::vector<uint8_t>& bytes, const ImageSection& code,
                                  uint32_t limit, uint32_t chunk,
                                  const std::vector<uint32_t>& relocated) {
  std::vector<uint32_t> places(kPlacesWithCallsRoom / 4, ~0u);
  std::copy(relocated.begin(), relocated.end(), places.begin());
  // Bytes that no read put there would make calls of E8s cut off by a piece's end.
  std::vector<unsigned char> buffer(chunk, 0xFF);
  auto count = static_cast<uint32_t>(relocated.size());
  EXPECT_EQ(CallPlaces(MemorySource(bytes.data(), static_cast<uint32_t>(bytes.size())), code, limit,
                       buffer.data(), chunk, places.data(), count),
            1);
  const uint32_t* calls = places.data() + count;
  std::vector<int64_t> taken;
  for (uint32_t i = 0; i < count; ++i)
    taken.push_back(calls[i / 32] >> (i % 32) & 1 ? int64_t{places[i]} : -int64_t{places[i]});
  return taken;
}

// The call places of a code section, by the rule both sides follow: after each E8 whose target
// lies in the section, all 4 bytes before its end and the limit, overlapping neither a relocated
// place nor the call before; merged among the relocated places in order, at most
// kPlacesWithCallsMax in all; read in pieces of any size.
TEST(Delta, CallPlacesFollowTheirRule) {
  const ImageSection code = {0x1000, 0x40, 0x100};  // file bytes 0x100 to 0x140
  // An E8 at `at` whose target is `to` (file offsets).
  const auto call = [](std::vector<uint8_t>& b, uint32_t at, uint32_t to) {
    b[at] = 0xE8;
    WriteLE32(&b[at + 1], to - (at + 5));
  };
  const struct {
    const char* what;
    std::vector<std::pair<uint32_t, uint32_t>> calls;
    std::vector<uint32_t> relocated;
    uint32_t limit;
    std::vector<int64_t> places;
  } cases[] = {
      {"targets in the section, back and forward, its last byte too",
       {{0x100, 0x13F}, {0x110, 0x100}, {0x120, 0x125}},
       {},
       UINT32_MAX,
       {0x101, 0x111, 0x121}},
      {"targets before the section, at its end or far",
       {{0x100, 0xFF}, {0x110, 0x140}, {0x120, 0x80000000u}},
       {},
       UINT32_MAX,
       {}},
      // The second call writes E8 FF FF FF FF at 0x121: the first's displacement stays -24, and
      // the E8 inside it has a target in the section.
      {"an E8 inside a call's 4 bytes is not one",
       {{0x120, 0x10D}, {0x121, 0x125}, {0x126, 0x100}},
       {},
       UINT32_MAX,
       {0x121, 0x127}},
      {"merged among relocated places, none overlapping one",
       {{0x100, 0x120}, {0x108, 0x120}, {0x113, 0x120}, {0x120, 0x100}},
       {0x0F0, 0x10B, 0x114, 0x200},
       UINT32_MAX,
       {-0x0F0, 0x101, -0x10B, -0x114, 0x121, -0x200}},
      {"all 4 bytes before the limit", {{0x10F, 0x100}, {0x130, 0x100}}, {}, 0x114, {0x110}},
      {"not all 4 before the limit", {{0x110, 0x100}}, {}, 0x114, {}},
      {"a target past the limit, in the section", {{0x100, 0x130}}, {}, 0x120, {0x101}},
      {"next to relocated places, each side",
       {{0x100, 0x120}, {0x110, 0x120}},
       {0x0FD, 0x114},
       UINT32_MAX,
       {-0x0FD, 0x101, -0x114}},
      {"calls back to back", {{0x100, 0x120}, {0x105, 0x120}}, {}, UINT32_MAX, {0x101, 0x106}},
      {"all 4 bytes before the section's end", {{0x13B, 0x100}}, {}, UINT32_MAX, {0x13C}},
      {"not all 4 before the section's end", {{0x13C, 0x100}}, {}, UINT32_MAX, {}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes(0x300, 0x90);
    for (const auto& [at, to] : c.calls) call(bytes, at, to);
    for (uint32_t chunk : {8u, 9u, 13u, 1024u})
      EXPECT_EQ(CallPlacesOf(bytes, code, c.limit, chunk, c.relocated), c.places)
          << c.what << ", pieces of " << chunk;
  }
  // The most places in all: relocated ones first, then calls from the section's start.
  std::vector<uint8_t> calls(5 * (kPlacesWithCallsMax + 2));
  for (uint32_t at = 0; at < calls.size(); at += 5) call(calls, at, at);
  const std::vector<uint32_t> relocated = {static_cast<uint32_t>(calls.size() - 4)};
  const std::vector<int64_t> taken = CallPlacesOf(
      calls, {0, static_cast<uint32_t>(calls.size()), 0}, UINT32_MAX, 65536, relocated);
  ASSERT_EQ(taken.size(), kPlacesWithCallsMax);
  EXPECT_EQ(taken[kPlacesWithCallsMax - 2], 5 * (kPlacesWithCallsMax - 2) + 1);
  EXPECT_EQ(taken.back(), -static_cast<int64_t>(relocated[0]));
}

// Functions moved in an image whose sections map its relocated words: each of them changes by
// its page's prediction with no gap or op, at every chunk size and whatever byte is damaged;
// create picks the relocated methods. A record whose sections are none, too many or elsewhere
// is refused, or builds no result that passes its hash.
TEST(Delta, RelocatedWordsChangeByTheirPredictions) {
  for (const bool x64 : {false, true}) {
    SCOPED_TRACE(x64 ? "x64" : "x86");
    ProgramRecipe v1 = FirstRelease(400);
    v1.x64 = x64;
    v1.codeSections = true;
    v1.dataAfterTables = true;
    ProgramRecipe moved = v1;
    std::rotate(moved.order.begin() + 10, moved.order.begin() + 150, moved.order.begin() + 300);
    moved.lengths[5] += 5000;  // .rdata a page on: every absolute address into it changes
    const std::vector<uint8_t> base = ProgramImage(v1), result = ProgramImage(moved);
    const struct {
      DeltaMethod relocated, plain;
    } pairs[] = {{kDeltaWordsTablesRelocated, kDeltaWordsTablesPredicted},
                 {kDeltaWordsTablesCallsRelocated, kDeltaWordsTablesCalls},
                 {kDeltaWordsTablesCallsLzRelocated, kDeltaWordsTablesCallsLz}};
    // Calls into the moved functions change by their targets' pages too.
    const struct {
      DeltaMethod calls, relocated;
    } callPairs[] = {{kDeltaWordsTablesCallPlaces, kDeltaWordsTablesRelocated},
                     {kDeltaWordsTablesCallsCallPlaces, kDeltaWordsTablesCallsRelocated},
                     {kDeltaWordsTablesCallsLzCallPlaces, kDeltaWordsTablesCallsLzRelocated}};
    for (const auto& p : pairs) {
      const std::vector<uint8_t> delta = MakeDeltaWith(p.relocated, base, result);
      EXPECT_LT(delta.size(), MakeDeltaWith(p.plain, base, result).size() * 3 / 4) << p.relocated;
      for (uint32_t chunk : {kDeltaMinChunk, 4097u, kDeltaDefaultChunk})
        EXPECT_TRUE(DeltaGives(delta, base, result, chunk)) << p.relocated;
    }
    for (const auto& p : callPairs) {
      const std::vector<uint8_t> delta = MakeDeltaWith(p.calls, base, result);
      EXPECT_LT(delta.size(), MakeDeltaWith(p.relocated, base, result).size() * 9 / 10) << p.calls;
      for (uint32_t chunk : {kDeltaMinChunk, 4097u, kDeltaDefaultChunk})
        EXPECT_TRUE(DeltaGives(delta, base, result, chunk)) << p.calls;
    }
    const std::vector<uint8_t> picked = MakeDelta(base, result);
    EXPECT_TRUE(CallPlacesMethod(ReadLE32(&picked[4])));
    // Where no call moved (the last function grown, .rdata a page on), call places would buy
    // nothing for the applier's scan of the code: create leaves them out.
    ProgramRecipe grown = v1;
    grown.lengths[static_cast<size_t>(v1.order.back())] += 5000;
    const std::vector<uint8_t> grownImage = ProgramImage(grown),
                               unmoved = MakeDelta(base, grownImage);
    EXPECT_TRUE(RelocatedMethod(ReadLE32(&unmoved[4])));
    EXPECT_FALSE(CallPlacesMethod(ReadLE32(&unmoved[4])));
    EXPECT_TRUE(DeltaGives(unmoved, base, grownImage));
    EXPECT_TRUE(DeltaGives(picked, base, result));
    ExpectEachDamagedByteFailsOrGives(picked, base, result, 37, 0x40, kDeltaDefaultChunk);
    // The sections follow the record's tables: their count, then rva, size and file offset each.
    const size_t sections = kDeltaHeaderSize + 4 + kTableRecordSize * ReadLE32(&picked[88]);
    ASSERT_GE(ReadLE32(&picked[sections]), 1u);
    const auto patched = [&](size_t at, uint32_t value) {
      std::vector<uint8_t> d = picked;
      WriteLE32(&d[at], value);
      return d;
    };
    // A map that is wrong moves the places: each then changes by its row, and the result's hash
    // tells (where the rows there are 0 the result is still right).
    const struct {
      const char* what;
      std::vector<uint8_t> delta;
      int sound;  // CheckDeltaStream's answer (the map is read without the base), and ApplyDelta's
    } hostile[] = {
        {"no sections", patched(sections, 0), 0},
        {"more sections than a record holds", patched(sections, kImageSectionsMax + 1), 0},
        {"a section's file offset elsewhere", patched(sections + 12, 0x1400), -1},
        {"a section past the file", patched(sections + 12, 0xFFFFFFF0u), -1},
        {"a section of 4 GB", patched(sections + 8, 0xFFFFFFFFu), -1},
    };
    for (const auto& h : hostile) {
      EXPECT_EQ(CheckDeltaStream({Source(h.delta), 0, static_cast<uint32_t>(h.delta.size())}),
                h.sound ? 1 : 0)
          << h.what;
      const Applied applied = Apply(h.delta, base);
      if (h.sound == 0) {
        EXPECT_EQ(applied.ok, 0) << h.what;
      }
      if (applied.ok) {
        EXPECT_EQ(applied.output, result) << h.what;
      }
      EXPECT_FALSE(applied.readOutside) << h.what;
    }
  }
}

// A section map that would put two places 2 bytes apart (each section 4 bytes): the second is not
// taken, by pinepack or by the applier, which once copied 4 GB for it.
TEST(Delta, RelocatedPlacesNeverOverlap) {
  ProgramRecipe v1 = FirstRelease(100);
  v1.codeSections = true;
  const std::vector<uint8_t> base = ProgramImage(v1);
  const std::vector<ImageTablePlace> tables = FindImageTables(base);
  ASSERT_EQ(tables.size(), 1u);
  // File offsets are rvas in these images: one section from 0 gives every entry's rva.
  std::vector<uint32_t> rvas;
  ASSERT_EQ(PlacesOf(base, tables[0].offset, tables[0].size, {{0, 0xFFFFFF00u, 0}}, UINT32_MAX,
                     4096, rvas),
            1);
  ASSERT_GE(rvas.size(), 2u);
  const std::vector<ImageSection> sections = {{rvas[0], 4, 0x200}, {rvas[1], 4, 0x202}};
  std::vector<uint8_t> result = base;
  WriteLE32(&result[0x200], ReadLE32(&result[0x200]) + 7);
  uint64_t predicted = 0;
  const std::vector<uint8_t> body = TablesWordsBody(base, tables, result, FindImageTables(result),
                                                    &predicted, CallsCoding::kNever, &sections);
  ASSERT_FALSE(body.empty());
  const std::vector<uint8_t> delta =
      DeltaStreamWith(kDeltaWordsTablesRelocated, base, result, body);
  for (uint32_t chunk : {kDeltaMinChunk, kDeltaDefaultChunk}) {
    const Applied applied = Apply(delta, base, chunk);
    EXPECT_EQ(applied.ok, 1);
    EXPECT_EQ(applied.output, result);
  }
}

// Images of random sizes, functions moved or grown, and random edits at and around relocated
// words and calls (their values, a byte before or inside, all at once): every relocated method
// round trips.
TEST(Delta, RelocatedRandomEditsRoundTrip) {
  for (uint32_t seed = 0; seed < 4; ++seed) {
    std::mt19937 random(1000 + seed);
    for (const bool x64 : {false, true}) {
      ProgramRecipe v1 = FirstRelease(60 + static_cast<int>(random() % 200));
      v1.x64 = x64;
      v1.codeSections = true;
      ProgramRecipe v2 = v1;
      const size_t n = v2.order.size();
      const size_t a = random() % (n / 2), b = a + 1 + random() % (n / 4);
      std::rotate(v2.order.begin() + a, v2.order.begin() + b,
                  v2.order.begin() + std::min(n, b + 1 + random() % (n / 4)));
      v2.lengths[random() % n] += random() % 6000;
      const std::vector<uint8_t> base = ProgramImage(v1);
      std::vector<uint8_t> result = ProgramImage(v2);
      uint32_t textEnd = 0x1000;
      for (uint32_t l : v2.lengths) textEnd += l;
      // The result's absolute operands and calls: an A1 or E8 byte before each, as the recipe
      // writes them.
      std::vector<uint32_t> operands;
      for (uint32_t i = 0x1001; i + 4 <= textEnd; ++i)
        if (result[i - 1] == 0xA1 || result[i - 1] == 0xE8) operands.push_back(i);
      for (int e = 0; e < 40 && !operands.empty(); ++e) {
        const uint32_t p = operands[random() % operands.size()];
        switch (random() % 4) {
          case 0:
            WriteLE32(&result[p], ReadLE32(&result[p]) + 0x1000);
            break;
          case 1:
            result[p - 1 + random() % 6] ^= static_cast<uint8_t>(1 + random() % 255);
            break;
          case 2:
            WriteLE32(&result[p], static_cast<uint32_t>(random()));
            break;
          default:
            result[p + random() % 4] += 1;
        }
      }
      for (DeltaMethod m : {kDeltaWordsTablesRelocated, kDeltaWordsTablesCallsRelocated,
                            kDeltaWordsTablesCallsLzRelocated, kDeltaWordsTablesCallPlaces,
                            kDeltaWordsTablesCallsCallPlaces, kDeltaWordsTablesCallsLzCallPlaces}) {
        const std::vector<uint8_t> delta = MakeDeltaWith(m, base, result);
        EXPECT_EQ(CheckDeltaStream({Source(delta), 0, static_cast<uint32_t>(delta.size())}), 1);
        for (uint32_t chunk : {kDeltaMinChunk, 4097u, 1u << 20})
          EXPECT_TRUE(DeltaGives(delta, base, result, chunk))
              << "seed " << seed << (x64 ? " x64" : "") << " method " << m << " chunk " << chunk;
      }
    }
  }
}

// A result of pieces of some 64 to 164 bytes from all over base, each with its last byte
// changed: commands that jump about the base in short runs (a program whose code was rearranged).
std::vector<uint8_t> ShortRunsAbout(const std::vector<uint8_t>& base, int pieces, uint32_t x) {
  std::vector<uint8_t> shuffled;
  for (int i = 0; i < pieces; ++i) {
    x = x * 1103515245u + 12345u;
    const size_t at = (x >> 8) % (base.size() - 200), length = 64 + (x >> 4) % 100;
    shuffled.insert(shuffled.end(), base.begin() + at, base.begin() + at + length);
    shuffled.back() ^= 1;
  }
  return shuffled;
}

// Where the commands jump about the base in short runs, each block of the base is read about
// once, not once a command; a long run is read as before, a chunk at a time. A base of more
// blocks than the work area keeps (1 MB of them) takes most again, each into its own slot, and
// the rest of the work area stays untouched: its fresh pages would each cost a page fault.
TEST(Delta, ShortRunsAboutTheBaseReadEachBlockOnce) {
  const std::vector<uint8_t> base = Noise(1 << 20, 7), large = Noise(7 << 20, 9);
  const struct {
    const char* what;
    const std::vector<uint8_t>* base;
    std::vector<uint8_t> result;
    size_t mostReads;
  } cases[] = {
      // A read per block of 16 KB, each once (blocks of 4 KB took four times the reads).
      {"short runs about the base", &base, ShortRunsAbout(base, 6000, 7), base.size() / 16384 + 8},
      {"one long run", &base, base, base.size() / kDeltaDefaultChunk + 2},
      // Some 17,100: six pieces in seven, whose blocks are not among the 1 MB kept (without kept
      // blocks, one or two reads a piece).
      {"short runs about a base larger than the blocks kept", &large,
       ShortRunsAbout(large, 20000, 9), 20000 * 7 / 8},
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> delta = MakeDeltaWith(kDeltaDeflatedWords, *c.base, c.result);
    for (uint32_t chunk : {kDeltaMinChunk, kDeltaDefaultChunk}) {
      WatchedBase watched = {c.base};
      CollectSink sink;
      std::vector<unsigned char> work(DeltaWorkSize(chunk), 0xA5);
      EXPECT_EQ(ApplyDelta({Source(delta), 0, static_cast<uint32_t>(delta.size())},
                           {ReadWatched, &watched, static_cast<uint32_t>(c.base->size())},
                           ByteSink{Collect, &sink}, chunk, work.data()),
                1)
          << c.what;
      EXPECT_EQ(sink.bytes, c.result) << c.what;
      EXPECT_FALSE(watched.outside) << c.what;
      if (chunk == kDeltaDefaultChunk) {
        EXPECT_LE(watched.reads, c.mostReads) << c.what;
      }
      // The chunks, the words method's work and 1 MB of blocks: some 1.6 MB of the 6.
      const size_t untouched = static_cast<size_t>(std::count(work.begin(), work.end(), 0xA5));
      EXPECT_GE(untouched, work.size() - (2u << 20)) << c.what;
    }
  }
}

// New content longer than a block of the words methods: the blocks after the first carry only
// the rest of its copy, nothing in the sections before it, where the writer once lost the bytes
// that deflate gave out on a change of strategy (and wrote them past its stack frame).
// With calls coded by their targets, new code that calls on every fifth byte: a block ends inside
// a call, whose piece before and after it each side leaves as it is.
TEST(Delta, NewContentLongerThanABlockRoundTrips) {
  // Random bytes, calls every fifth byte, and one byte over and over (measured again from each
  // place, a run would take its length squared to parse).
  std::vector<uint8_t> fresh = Noise(kWordBlockMax * 5 / 2, 5);
  std::vector<uint8_t> calls(fresh.size()), zeros(fresh.size());
  for (size_t i = 0; i < fresh.size(); ++i)
    calls[i] = i % 5 == 0 ? 0xE8 : i % 5 == 4 ? (i % 2 ? 0xFF : 0) : fresh[i];
  const std::vector<uint8_t> base = SampleData(20000, 3);
  for (DeltaMethod method : {kDeltaDeflatedWords, kDeltaWordsCalls, kDeltaWordsCallsLz}) {
    for (const std::vector<uint8_t>* content : {&fresh, &calls, &zeros}) {
      const std::vector<uint8_t> result =
          Concat({Slice(base, 0, 9000), *content, Slice(base, 9000, 11000)});
      const std::vector<uint8_t> delta = MakeDeltaWith(method, base, result);
      for (uint32_t chunk : {kDeltaMinChunk, kDeltaDefaultChunk})
        EXPECT_TRUE(DeltaGives(delta, base, result, chunk)) << method;
      EXPECT_LT(delta.size(), fresh.size() + 1000) << method;
    }
  }
}

// New code that repeats farther back than deflate sees (a function copied 400 KB on), and past
// the window that matches reach: create takes matches for the copied bytes of a program image,
// and the applier builds them across blocks while it drops what is past the window.
TEST(Delta, NewContentRepeatingFarBackGoesAsMatches) {
  const std::vector<uint8_t> base = Concat({Bytes("MZ"), SampleData(20000, 3)});
  const std::vector<uint8_t> x = Noise(100000, 7), y = Noise(300000, 8), z = Noise(600000, 9);
  const std::vector<uint8_t> content = Concat({x, y, x, z, x});
  const std::vector<uint8_t> result =
      Concat({Slice(base, 0, 9000), content, Slice(base, 9000, 11002)});
  const std::vector<uint8_t> picked = MakeDelta(base, result);
  EXPECT_EQ(ReadLE32(&picked[4]), uint32_t{kDeltaWordsCallsLz});
  // The second x as matches, the third (700 KB past the second) not.
  EXPECT_LT(picked.size(), content.size() - x.size() * 9 / 10);
  EXPECT_GT(picked.size(), content.size() - 2 * x.size());
  for (uint32_t chunk : {kDeltaMinChunk, kDeltaDefaultChunk})
    EXPECT_TRUE(DeltaGives(picked, base, result, chunk)) << chunk;
}

// New content made of pieces of itself at every kind of distance (a few bytes, one of the last
// three used, anywhere before, about the window's reach, runs) among fresh bytes, over blocks:
// what the applier keeps and the recent offsets must follow the encoder's across blocks.
TEST(Delta, CopiedRepeatsAtEveryDistanceRoundTrip) {
  std::vector<uint8_t> content;
  uint32_t x = 11, used[3] = {1, 2, 3};
  const auto next = [&] { return (x = x * 1103515245u + 12345u) >> 8; };
  while (content.size() < 3 * kWordBlockMax) {
    const uint32_t kind = next() % 8, length = 3 + next() % 300;
    const size_t size = content.size();
    uint32_t distance = 0;
    if (kind == 0 && size > 64) distance = 1 + next() % 64;
    if (kind == 1 || kind == 2) distance = used[next() % 3];
    if (kind == 3 && size > 0) distance = 1 + static_cast<uint32_t>(next() % size);
    if (kind == 4) distance = kLzWindow - 40 + next() % 80;
    if (kind == 5) {  // a run, at offset 1 after its first byte
      content.insert(content.end(), 4 + length % 20, static_cast<uint8_t>(length));
      continue;
    }
    if (distance == 0 || distance > size) {
      for (uint32_t i = 0; i < length % 40; ++i) content.push_back(static_cast<uint8_t>(next()));
      continue;
    }
    used[next() % 3] = distance;
    for (uint32_t i = 0; i < length; ++i) content.push_back(content[size - distance + i]);
  }
  const std::vector<uint8_t> base = SampleData(20000, 3);
  const std::vector<uint8_t> result =
      Concat({Slice(base, 0, 9000), content, Slice(base, 9000, 11000)});
  const std::vector<uint8_t> delta = MakeDeltaWith(kDeltaWordsCallsLz, base, result);
  for (uint32_t chunk : {kDeltaMinChunk, 4097u, kDeltaDefaultChunk})
    EXPECT_TRUE(DeltaGives(delta, base, result, chunk)) << chunk;
  EXPECT_LT(delta.size(), MakeDeltaWith(kDeltaWordsCalls, base, result).size());
}

// The encoder's parse of blocks' copied bytes, applied: the first ends with a repeat 1,000 bytes
// back, the second starts with a run (offset 1, a recent offset only where the parse of the
// second forgot the first's); the third goes as literals alone where its budget is short, and
// then the fourth finds the recent offsets as the second left them.
TEST(Delta, MatchesCarryTheirRecentOffsetsFromBlockToBlock) {
  const std::vector<uint8_t> base = SampleData(100, 3);
  std::vector<uint8_t> first = Noise(2000, 3);
  for (uint8_t& byte : first) byte |= 1;  // no zeros: the runs below start afresh
  first = Concat({first, Slice(first, 1000, 300)});
  const std::vector<uint8_t> second =
      Concat({std::vector<uint8_t>(50, 0), Slice(first, 1350, 200)});
  const std::vector<uint8_t> third = Concat({Slice(first, 100, 100), std::vector<uint8_t>(9, 0)});
  // 1,000 bytes back: the most recent offset after the second, the third of them after the
  // third's parse.
  const std::vector<uint8_t> fourth =
      Slice(first, first.size() + second.size() + third.size() - 1000, 60);
  const std::vector<const std::vector<uint8_t>*> pieces = {&first, &second, &third, &fourth};
  const std::vector<uint8_t> result = Concat({first, second, third, fourth});
  for (const size_t thirdBudget : {size_t{kWordBlockMax}, size_t{0}}) {
    const std::vector<LzSections> lz =
        LzCopiedSections(pieces, {kWordBlockMax, kWordBlockMax, thirdBudget, kWordBlockMax});
    std::vector<WordBlock> blocks;
    for (size_t i = 0; i < lz.size(); ++i) {
      WordBlock block = {i == 0 ? Numbers({0, result.size(), 0}) : std::vector<uint8_t>(),
                         {},
                         {},
                         {},
                         std::vector<uint8_t>(pieces[i]->size())};
      block.insert(block.end(), lz[i].begin(), lz[i].end());
      blocks.push_back(block);
    }
    size_t thirdSize = 0;
    for (const auto& section : lz[2]) thirdSize += section.size();
    EXPECT_EQ(lz[2][0] == third, thirdBudget == 0);
    EXPECT_LE(thirdSize, thirdBudget == 0 ? third.size() + kLzLiteralsOver : 20);
    EXPECT_LT(lz[0][0].size(), first.size() - 250);  // the repeat as a match
    ExpectHandMade(DeltaStreamWith(kDeltaWordsCallsLz, base, result,
                                   DeflatedBlocks(blocks, false, false, true)),
                   base, result, 1, 1, thirdBudget == kWordBlockMax ? "matches" : "literals alone");
  }
}

// Hand-made copied bytes of kDeltaWordsCallsLz: blocks of ten sections, the fifth given by its
// length alone.
TEST(Delta, HostileMatchesFail) {
  const std::vector<uint8_t> base = SampleData(100, 3);
  // A block that builds count copied bytes from its sections, after commands.
  const auto block = [](std::vector<uint8_t> commands, size_t count, std::vector<uint8_t> literals,
                        std::vector<uint8_t> tokens, std::vector<uint8_t> lengths,
                        std::vector<uint8_t> offsets, std::vector<uint8_t> bits) {
    return WordBlock{commands, {},     {},      {},      std::vector<uint8_t>(count),
                     literals, tokens, lengths, offsets, bits};
  };
  // The body of one block that copies all of result.
  const auto one = [&](const std::vector<uint8_t>& result, std::vector<uint8_t> literals,
                       std::vector<uint8_t> tokens, std::vector<uint8_t> lengths,
                       std::vector<uint8_t> offsets, std::vector<uint8_t> bits) {
    return DeflatedBlocks({block(Numbers({0, result.size(), 0}), result.size(), literals, tokens,
                                 lengths, offsets, bits)},
                          false, false, true);
  };
  const std::vector<uint8_t> repeated = Bytes("abcabcabcX"), again = Bytes("abcabcXbcX"),
                             run(40, 'a'), far = Bytes("abcdeabcde"),
                             longer = Bytes("abcdeabcdeabcdeab"),
                             rotated = Bytes("abcdefghefghXfghYYYYZYYYZ");
  const std::vector<uint8_t> limit(kWordBlockMax, 'a'), overLimit(kWordBlockMax + 1, 'a');
  // Three blocks of literals, then one of 1,003 literals and a match of 1,000 bytes at an offset
  // of kLzWindow (code 40, then 18 bits), or 1,000 bytes more, still within what was built.
  const std::vector<uint8_t> fill = SampleData(kWordBlockMax - 16, 5);
  std::vector<uint8_t> windowFar = Concat({fill, fill, fill, Slice(fill, 0, 1003)});
  for (size_t i = 0, from = windowFar.size() - kLzWindow; i < 1000; ++i)
    windowFar.push_back(windowFar[from + i]);
  // The same three blocks, then one whose first sequence is that match, right after the slide.
  std::vector<uint8_t> windowFirst = Concat({fill, fill, fill});
  for (size_t i = 0, from = windowFirst.size() - kLzWindow; i < 1000; ++i)
    windowFirst.push_back(windowFirst[from + i]);
  const auto windowBody = [&](uint32_t offsetBits, bool first = false) {
    const std::vector<uint8_t> literalRun = Numbers({fill.size() - 15});
    return DeflatedBlocks(
        {block(Numbers({0, (first ? windowFirst : windowFar).size(), 0}), fill.size(), fill, {0xF0},
               literalRun, {}, {}),
         block({}, fill.size(), fill, {0xF0}, literalRun, {}, {}),
         block({}, fill.size(), fill, {0xF0}, literalRun, {}, {}),
         first ? block({}, 1000, {}, {0x0F}, Numbers({1000 - 3 - 15}), {40}, {0, 0, 0})
               : block({}, 2003, Slice(fill, 0, 1003), {0xFF}, Numbers({1003 - 15, 1000 - 3 - 15}),
                       {40},
                       {static_cast<uint8_t>(offsetBits), static_cast<uint8_t>(offsetBits >> 8),
                        static_cast<uint8_t>(offsetBits >> 16)})},
        false, false, true);
  };
  const HandMadeBody cases[] = {
      {"literals, a match at offset 3, a literal",
       one(repeated, Bytes("abcX"), {0x33, 0x10}, {}, {5}, {}), repeated, 1},
      {"the recent offset again", one(again, Bytes("abcX"), {0x30, 0x10}, {}, {5, 0}, {}), again,
       1},
      {"a match repeating its one byte, its length in lengths",
       one(run, Bytes("a"), {0x1F}, Numbers({21}), {3}, {}), run, 1},
      {"an offset with a bit", one(far, Bytes("abcde"), {0x52}, {}, {6}, {1}), far, 1},
      {"a match into the block before, at the recent offset",
       DeflatedBlocks({block(Numbers({0, 10, 0}), 6, Bytes("abc"), {0x30}, {}, {5}, {}),
                       block({}, 4, Bytes("X"), {0x00, 0x10}, {}, {0}, {})},
                      false, false, true),
       repeated, 1},
      {"copied bytes at the limit",
       one(limit, Bytes("a"), {0x1F}, Numbers({limit.size() - 19}), {3}, {}), limit, 1},
      {"a match at the window's end", windowBody(0), windowFar, 1},
      {"a block's first sequence a match at the window's end", windowBody(0, true), windowFirst, 1},
      {"a match at offset 5 longer than it", one(longer, Bytes("abcde"), {0x59}, {}, {6}, {1}),
       longer, 1},
      {"codes 1 and 2, each moving its offset to the front",
       one(rotated, Bytes("abcdefghXYZ"), {0x81, 0x10, 0x10, 0x11}, {}, {1, 2, 2, 2}, {}), rotated,
       1},
      {"the offset's byte of bits with a spare bit set",
       one(far, Bytes("abcde"), {0x52}, {}, {6}, {3}), far, 0},
      {"the offset's bit missing", one(far, Bytes("abcde"), {0x52}, {}, {6}, {}), far, 0},
      {"a byte of offset bits left over", one(far, Bytes("abcde"), {0x52}, {}, {6}, {1, 0}), far,
       0},
      {"an offset code of 255",
       one(far, Bytes("abcde"), {0x52}, {}, {255}, std::vector<uint8_t>(20)), far, 0},
      {"an offset past the bytes built", one(repeated, Bytes("abcX"), {0x33, 0x10}, {}, {6}, {0}),
       repeated, 0},
      {"a match past the block's copied bytes", one(repeated, Bytes("abc"), {0x35}, {}, {5}, {}),
       repeated, 0},
      {"literals past the block's copied bytes",
       one(repeated, Bytes("abcabcabcXY"), {0xB0}, {}, {}, {}), repeated, 0},
      {"a match length after the last literals",
       one(repeated, Bytes("abcX"), {0x33, 0x11}, {}, {5}, {}), repeated, 0},
      {"a literal left over", one(repeated, Bytes("abcXY"), {0x33, 0x10}, {}, {5}, {}), repeated,
       0},
      {"a token left over", one(repeated, Bytes("abcX"), {0x33, 0x10, 0x00}, {}, {5}, {}), repeated,
       0},
      {"an offset left over", one(repeated, Bytes("abcX"), {0x33, 0x10}, {}, {5, 5}, {}), repeated,
       0},
      {"tokens run out", one(repeated, Bytes("abcX"), {0x33}, {}, {5}, {}), repeated, 0},
      {"an offset of 2^25 or more", one(far, Bytes("abcde"), {0x52}, {}, {52}, {1, 0, 0, 0}), far,
       0},
      {"copied bytes over the limit",
       one(overLimit, Bytes("a"), {0x1F}, Numbers({overLimit.size() - 19}), {3}, {}), overLimit, 0},
      {"a match one past the window", windowBody(1), windowFar, 0},
      {"a match past the window, though its bytes are kept", windowBody(1000), windowFar, 0},
  };
  for (const auto& c : cases)
    ExpectHandMade(DeltaStreamWith(kDeltaWordsCallsLz, base, c.result, c.body), base, c.result,
                   c.ok, c.ok, c.what);
}

// Calls and jumps in copied bytes coded by their targets (E8 or E9, then a displacement whose
// last byte is 0x00 or 0xFF), and back.
TEST(Delta, CallTargetsCodedAndBack) {
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    uint32_t position;
    std::vector<uint8_t> coded;
  } cases[] = {
      {"a call forward", {0xE8, 0x10, 0, 0, 0}, 0x100, {0xE8, 0x15, 1, 0, 0}},
      {"a jump back", {0x90, 0xE9, 0xF0, 0xFF, 0xFF, 0xFF}, 0x100, {0x90, 0xE9, 0xF6, 0, 0, 0}},
      {"not a displacement", {0xE8, 1, 2, 3, 4}, 0x100, {0xE8, 1, 2, 3, 4}},
      {"cut off", {0, 0xE8, 1, 0, 0}, 0x100, {0, 0xE8, 1, 0, 0}},
      {"within a call's displacement", {0xE8, 0xE8, 0, 0, 0, 0}, 0, {0xE8, 0xED, 0, 0, 0, 0}},
      {"a target past 16 MB wraps", {0xE8, 0xFF, 0xFF, 0xFF, 0}, 0x10, {0xE8, 0x14, 0, 0, 0xFF}},
      {"places past 4 GB wrap", {0xE8, 0, 0, 0, 0}, 0xFFFFFFFC, {0xE8, 1, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes = c.bytes;
    CodeCallTargets(bytes.data(), static_cast<uint32_t>(bytes.size()), c.position, 0);
    EXPECT_EQ(bytes, c.coded) << c.what;
    CodeCallTargets(bytes.data(), static_cast<uint32_t>(bytes.size()), c.position, 1);
    EXPECT_EQ(bytes, c.bytes) << c.what;
  }
  // Whatever the bytes (here most of them the bytes that start a call or end a displacement),
  // decoding gives back what was coded.
  uint32_t x = 3;
  std::vector<uint8_t> bytes(4096);
  const uint8_t common[] = {0xE8, 0xE9, 0x00, 0xFF};
  for (uint8_t& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = x >> 30 ? common[(x >> 16) & 3] : static_cast<uint8_t>(x >> 8);
  }
  for (const uint32_t position : {0u, 77u, 0xFFFFF000u}) {
    std::vector<uint8_t> coded = bytes;
    CodeCallTargets(coded.data(), static_cast<uint32_t>(coded.size()), position, 0);
    EXPECT_NE(coded, bytes);
    CodeCallTargets(coded.data(), static_cast<uint32_t>(coded.size()), position, 1);
    EXPECT_EQ(coded, bytes) << position;
  }
}

TEST(Delta, FailingSinkFailsTheApply) {
  const std::vector<Pair> pairs = Pairs();
  const Pair& p = pairs[2];
  const std::vector<uint8_t> delta = MakeDelta(p.base, p.result);
  CollectSink sink;
  sink.limit = p.result.size() / 2;
  const DeltaStream stream = {Source(delta), 0, static_cast<uint32_t>(delta.size())};
  EXPECT_EQ(ApplyDelta(stream, Source(p.base), ByteSink{Collect, &sink}, 1000), 0);
  EXPECT_EQ(ApplyDelta(stream, Source(p.base), ByteSink{Collect, &sink}, kDeltaMinChunk - 1), 0);
}

// The caller's work area serves every buffer and the model: the same result, no allocation
// per file; a chunk too large for 32-bit sizes is refused.
TEST(Delta, CallersWorkArea) {
  const std::vector<Pair> pairs = Pairs();
  // (The second pass finds the first one's predictions in the area: they must start afresh.)
  for (const Pair& p : {pairs[4], pairs.back()})
    for (DeltaMethod method : kMethods) {
      const std::vector<uint8_t> delta = MakeDeltaWith(method, p.base, p.result);
      const DeltaStream stream = {Source(delta), 0, static_cast<uint32_t>(delta.size())};
      // Work areas at any alignment serve (the model's tables are placed on a 16-byte boundary in
      // them); a second run starts from the first's leftovers.
      for (uint32_t chunk : {kDeltaMinChunk, 4097u}) {
        for (size_t misalign = 0; misalign < 16; misalign += 5) {
          std::vector<unsigned char> work(DeltaWorkSize(chunk) + misalign + 1, 0xcc);
          for (int pass = 0; pass < 2; ++pass) {
            CollectSink sink;
            EXPECT_EQ(ApplyDelta(stream, Source(p.base), ByteSink{Collect, &sink}, chunk,
                                 work.data() + misalign),
                      1);
            EXPECT_EQ(sink.bytes, p.result) << chunk << " " << misalign;
          }
          EXPECT_EQ(work.back(), 0xcc) << "written past the work area";
        }
      }
      CollectSink sink;
      EXPECT_EQ(ApplyDelta(stream, Source(p.base), ByteSink{Collect, &sink}, UINT32_MAX / 2), 0);
    }
}

// A base of nearly 4 GiB, made up on the fly: positions past 2 GiB are reached and read right,
// with a few chunks of memory whatever the base's size.
int ReadMadeUp(void*, uint32_t offset, unsigned char* buffer, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i)
    buffer[i] = static_cast<unsigned char>((offset + i) * 131 >> 7);
  return 1;
}

TEST(Delta, BasesBeyondTwoGibibytes) {
  const uint32_t baseSize = 0xFFFFFF00u;
  const ByteSource base = {ReadMadeUp, nullptr, baseSize};
  auto at = [](uint32_t offset, uint32_t count) {
    std::vector<uint8_t> out(count);
    ReadMadeUp(nullptr, offset, out.data(), count);
    return out;
  };
  // 3000 bytes from 0xF0000000, 10 new bytes, 700 bytes from 0x90000000, then the base's last
  // 256 bytes.
  RangeBodyWriter writer;
  auto add = [&](uint32_t from, uint32_t count) {
    const std::vector<uint8_t> bytes = at(from - 1, count + 1);
    for (uint32_t i = 0; i < count; ++i) writer.Add(bytes[i], bytes[i + 1], bytes[i + 1]);
  };
  writer.Command(0, 0, SeekCode(0xF0000000ll));
  writer.Command(3000, 10, SeekCode(0x90000000ll - 0xF0000000ll - 3000));
  add(0xF0000000u, 3000);
  for (int i = 0; i < 10; ++i) writer.Copy('n');
  writer.Command(700, 0, SeekCode(static_cast<int64_t>(baseSize) - 256 - 0x90000000ll - 700));
  add(0x90000000u, 700);
  writer.Command(256, 0, 0);
  add(baseSize - 256, 256);
  const std::vector<uint8_t> result = Concat({at(0xF0000000u, 3000), std::vector<uint8_t>(10, 'n'),
                                              at(0x90000000u, 700), at(baseSize - 256, 256)});

  const std::vector<uint8_t> body = writer.Finish();
  DeltaHeader header = {};
  header.method = kDeltaRangeCoded;
  header.baseSize = baseSize;
  header.resultSize = static_cast<uint32_t>(result.size());
  header.bodySize = static_cast<uint32_t>(body.size());
  Sha256Of(result.data(), header.resultSize, header.resultHash);
  std::vector<uint8_t> delta(kDeltaHeaderSize);
  WriteDeltaHeader(header, delta.data());
  delta.insert(delta.end(), body.begin(), body.end());

  CollectSink sink;
  const DeltaStream stream = {Source(delta), 0, static_cast<uint32_t>(delta.size())};
  EXPECT_EQ(ApplyDelta(stream, base, ByteSink{Collect, &sink}, 1024), 1);
  EXPECT_EQ(sink.bytes, result);
  EXPECT_EQ(CheckDeltaStream(stream), 1);
  // One byte more at the end of the base is past it.
  header.baseSize = baseSize - 1;
  WriteDeltaHeader(header, delta.data());
  const ByteSource shorter = {ReadMadeUp, nullptr, baseSize - 1};
  EXPECT_EQ(ApplyDelta(stream, shorter, ByteSink{Collect, &sink}, 1024), 0);
}

// A delta inside a larger source (a package) is read only within its own bytes.
TEST(Delta, StreamInsideALargerSource) {
  const std::vector<Pair> pairs = Pairs();
  const Pair& p = pairs[3];
  const std::vector<uint8_t> delta = MakeDelta(p.base, p.result);
  const std::vector<uint8_t> around = Concat({std::vector<uint8_t>(77, 0xee), delta, {1, 2, 3}});
  CollectSink sink;
  DeltaStream stream = {Source(around), 77, static_cast<uint32_t>(delta.size())};
  EXPECT_EQ(ApplyDelta(stream, Source(p.base), ByteSink{Collect, &sink}), 1);
  EXPECT_EQ(sink.bytes, p.result);
  stream.offset = static_cast<uint32_t>(around.size() - delta.size() + 1);  // would end outside
  EXPECT_EQ(ApplyDelta(stream, Source(p.base), ByteSink{Collect, &sink}), 0);
}

// Delta packages: the directory's rules, checked at load, and the choice made for each file.
const std::vector<uint8_t> kV1 = SampleData(3000, 21);
const std::vector<uint8_t> kV2 = SampleData(3100, 22);
const std::vector<uint8_t> kV3 =
    Concat({Slice(kV1, 0, 1000), Bytes("new"), Slice(kV1, 1000, 2000)});

// kV3 with one byte changed: the same size, another hash.
const std::vector<uint8_t> kV3Other = Concat({Slice(kV3, 0, 1500), {'x'}, Slice(kV3, 1501, 1502)});

WriterEntry DeltaEntry(const std::string& name, const std::vector<uint8_t>& base,
                       const std::vector<uint8_t>& result = kV3) {
  WriterEntry entry{name, MakeDelta(base, result), false};
  entry.extraFlags |= ENTRY_DELTA;
  return entry;
}

// entry with its header naming as its base the new version of the file at directory entry
// group.
WriterEntry FromNewVersionOf(WriterEntry entry, uint32_t group) {
  WriteLE32(entry.data.data() + kDeltaBaseEntryOffset, group + 1);
  return entry;
}

WriterEntry WholeEntry(const std::string& name, const std::vector<uint8_t>& contents = kV3) {
  return WriterEntry{name, contents, true};
}

std::vector<uint8_t> DeltaPackage(std::vector<WriterEntry> files) {
  PackageSpec spec;
  spec.entries.push_back(
      {":RegistryKeys", RegistryKeysPayload("SOFTWARE\\M\\P", "F", "N", "L", 2), true});
  for (WriterEntry& e : files) spec.entries.push_back(std::move(e));
  return WritePackage(spec);
}

struct DeltaView {
  PackageView view;
  int ok;
  DeltaView(const std::vector<uint8_t>& bytes, int acceptDeltas) {
    InitPackageView(view);
    view.acceptDeltas = acceptDeltas;
    SetMemorySource(view, bytes.data(), static_cast<uint32_t>(bytes.size()));
    ok = LoadPackage(view, 0);
  }
  ~DeltaView() { UnloadPackage(view); }
};

TEST(DeltaPackage, DirectoryRulesAreCheckedAtLoad) {
  WriterEntry deflatedDelta = DeltaEntry("a.exe", kV1);
  deflatedDelta.deflate = true;
  WriterEntry notADelta{"a.exe", Bytes("PDLT but not a delta stream at all, too short"), false};
  notADelta.extraFlags |= ENTRY_DELTA;
  const struct {
    const char* what;
    std::vector<WriterEntry> files;  // after :RegistryKeys, entry 0
    PackageRefusal refusal;
    int entry;  // at fault
  } cases[] = {
      {"deltas, then the whole entry, then another file",
       {DeltaEntry("a.exe", kV1), DeltaEntry("a.exe", kV2), WholeEntry("a.exe"),
        WholeEntry("b.exe")},
       kRefusedNone,
       -1},
      {"names equal but for letter case",
       {DeltaEntry("App.exe", kV1), WholeEntry("app.EXE")},
       kRefusedNone,
       -1},
      {"a delta without a whole entry", {DeltaEntry("a.exe", kV1)}, kRefusedNone, -1},
      {"the whole entry before a delta",
       {WholeEntry("a.exe"), DeltaEntry("a.exe", kV1)},
       kRefusedDeltaOrder,
       2},
      {"two whole entries",
       {DeltaEntry("a.exe", kV1), WholeEntry("a.exe"), WholeEntry("a.exe")},
       kRefusedDeltaOrder,
       3},
      {"a file's entries apart",
       {DeltaEntry("a.exe", kV1), WholeEntry("b.exe"), DeltaEntry("a.exe", kV2)},
       kRefusedDeltaOrder,
       3},
      // The first fault in directory order, where sorting by name meets b.exe's second start
      // after a.exe's.
      {"two files whose entries stand apart",
       {DeltaEntry("c.exe", kV1), WholeEntry("b.exe"), WholeEntry("a.exe"), WholeEntry("b.exe"),
        WholeEntry("a.exe")},
       kRefusedDeltaOrder,
       4},
      // Between the two in byte order, not once letter case is folded.
      {"entries apart whose names differ in letter case",
       {DeltaEntry("App.exe", kV1), WholeEntry("AQ.exe"), WholeEntry("APP.EXE")},
       kRefusedDeltaOrder,
       3},
      {"a delta to a base of another delta: on that base the file counts as new",
       {DeltaEntry("a.exe", kV1, kV2), DeltaEntry("a.exe", kV2), WholeEntry("a.exe")},
       kRefusedDeltaResult,
       2},
      {"deltas to results of one size, other bytes",
       {DeltaEntry("a.exe", kV1), DeltaEntry("a.exe", kV2, kV3Other)},
       kRefusedDeltaResult,
       2},
      {"a whole entry of another size",
       {DeltaEntry("a.exe", kV1), WholeEntry("a.exe", kV2)},
       kRefusedDeltaResult,
       2},
      // Its hash is known only inflated: pinepack verify checks it, loading does not.
      {"a whole entry of the deltas' size, other bytes",
       {DeltaEntry("a.exe", kV1), WholeEntry("a.exe", kV3Other)},
       kRefusedNone,
       -1},
      {"a deflated delta", {std::move(deflatedDelta)}, kRefusedDeltaForm, 1},
      {"a delta for a section", {DeltaEntry(":Other", kV1)}, kRefusedDeltaForm, 1},
      {"a delta entry that is no delta stream", {std::move(notADelta)}, kRefusedDeltaHeader, 1},
      {"a delta from an earlier file's new version",
       {WholeEntry("a.exe", kV1), FromNewVersionOf(DeltaEntry("b.exe", kV1), 1),
        WholeEntry("b.exe")},
       kRefusedNone,
       -1},
      {"a delta from its own file's new version",
       {DeltaEntry("a.exe", kV1), FromNewVersionOf(DeltaEntry("a.exe", kV2), 1)},
       kRefusedDeltaOrder,
       2},
      {"a delta from a later file's",
       {FromNewVersionOf(DeltaEntry("a.exe", kV1), 2), WholeEntry("b.exe", kV1)},
       kRefusedDeltaOrder,
       1},
      {"a delta from a section", {FromNewVersionOf(DeltaEntry("a.exe", kV1), 0)}, kRefusedNone, -1},
      // It names no file: no run builds it, and the delta is never chosen.
      {"a delta from the middle of another file's entries",
       {DeltaEntry("a.exe", kV1), WholeEntry("a.exe"),
        FromNewVersionOf(DeltaEntry("b.exe", kV3), 2)},
       kRefusedNone,
       -1},
      {"a delta from beyond the directory",
       {WholeEntry("a.exe"), FromNewVersionOf(DeltaEntry("b.exe", kV1), 0xFFFFFFFE)},
       kRefusedDeltaOrder,
       2},
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> package = DeltaPackage(c.files);
    EXPECT_EQ(std::memcmp(package.data(), kDeltaPackageSignature, 16), 0) << c.what;
    const DeltaView loaded(package, 1);
    EXPECT_EQ(loaded.ok, c.refusal == kRefusedNone) << c.what;
    EXPECT_EQ(loaded.view.refusal, c.refusal) << c.what;
    EXPECT_EQ(loaded.view.refusedEntry, c.entry) << c.what;
    EXPECT_EQ(DeltaView(package, 0).view.refusal, kRefusedSignature) << c.what << ": plain reader";
  }
  // In a plain package the bit means nothing and two entries of one name are two files.
  std::vector<uint8_t> plain = DeltaPackage({DeltaEntry("a.exe", kV1), WholeEntry("a.exe")});
  std::memcpy(plain.data(), kPackageSignature, 16);
  DeltaView asPlain(plain, 1);
  ASSERT_EQ(asPlain.ok, 1);
  EXPECT_EQ(asPlain.view.hasDeltas, 0);
  EXPECT_FALSE(IsDeltaEntry(asPlain.view, asPlain.view.directory[1]));
  EXPECT_EQ(FileGroupLength(asPlain.view, 1), 1);
}

// verify names every entry that gives another version than its file's first delta, the whole
// entries' hashes included, which loading leaves unchecked.
TEST(DeltaPackage, VerifyNamesEveryEntryOfAnotherVersion) {
  const std::vector<uint8_t> package = DeltaPackage(
      {DeltaEntry("a.exe", kV1), DeltaEntry("a.exe", kV2, kV3Other), WholeEntry("a.exe", kV3Other),
       DeltaEntry("b.exe", kV1), WholeEntry("b.exe", kV2), WholeEntry("c.exe", kV2)});
  const std::vector<std::string> problems = VerifyPackage(Source(package), {});
  const std::string theirs = "; entry 1 builds 3003 bytes, SHA-256 " + DigestOf(kV3);
  const std::string expected[] = {
      "entry 2 (\"a.exe\"): not the version that the file's first delta builds",
      "(it builds 3003 bytes, SHA-256 " + DigestOf(kV3Other) + theirs,
      "entry 3 (\"a.exe\"): not the version",
      "(it inflates to 3003 bytes, SHA-256 " + DigestOf(kV3Other) + "; entry 1 builds SHA-256",
      "entry 5 (\"b.exe\"): not the version",
      "(it is 3100 bytes; entry 4 builds 3003 bytes",
  };
  ASSERT_EQ(problems.size(), 3u) << ::testing::PrintToString(problems);
  for (size_t i = 0; i < 6; ++i)
    EXPECT_NE(problems[i / 2].find(expected[i]), std::string::npos)
        << problems[i / 2] << "\nshould have: " << expected[i];
  const DeltaView loaded(package, 1);
  EXPECT_EQ(loaded.view.refusal, kRefusedDeltaResult);
  EXPECT_EQ(loaded.view.refusedEntry, 2);
}

// Loading a delta package compares names O(n log n) times, whatever their order (it was once
// every name with every earlier one: 40,000 entries took half a minute).
TEST(DeltaPackage, LoadingComparesNamesNLogNTimes) {
  constexpr int kFiles = 30000;
  const struct {
    const char* what;
    int (*order)(int);  // the file of the directory's i-th place
    bool again;         // a last entry that starts the file of place 100 again
  } cases[] = {
      {"names in order", [](int i) { return i; }, false},
      {"names in reverse order", [](int i) { return kFiles - 1 - i; }, false},
      {"names scattered, one file's group started again", [](int i) { return i * 7919 % kFiles; },
       true},
  };
  for (const auto& c : cases) {
    std::vector<WriterEntry> files = {DeltaEntry("a.exe", kV1)};
    char name[32];
    for (int i = 0; i <= kFiles; ++i) {
      if (i == kFiles && !c.again) break;
      std::snprintf(name, sizeof name, "d\\F%05d.dll", c.order(i < kFiles ? i : 100));
      files.push_back({name, {}, false});
    }
    const std::vector<uint8_t> package = DeltaPackage(std::move(files));
    g_nameComparisons = 0;
    const DeltaView loaded(package, 1);
    const uint64_t comparisons = g_nameComparisons;
    EXPECT_EQ(loaded.view.refusal, c.again ? kRefusedDeltaOrder : kRefusedNone) << c.what;
    EXPECT_EQ(loaded.view.refusedEntry, c.again ? kFiles + 2 : -1) << c.what;
    const double n = kFiles + 2, nLogN = n * std::log2(n);
    std::printf("%s: %llu name comparisons, %.2f n log2 n\n", c.what,
                static_cast<unsigned long long>(comparisons), comparisons / nLogN);
    EXPECT_GE(comparisons, n) << c.what;  // each entry with the one before it, at least
    EXPECT_LE(comparisons, 3 * nLogN) << c.what;
  }
}

TEST(DeltaPackage, PlanForEachFileOnDisk) {
  const std::vector<uint8_t> withWhole =
      DeltaPackage({DeltaEntry("a.exe", kV1), DeltaEntry("a.exe", kV2), WholeEntry("a.exe")});
  const std::vector<uint8_t> deltasOnly =
      DeltaPackage({DeltaEntry("a.exe", kV1), DeltaEntry("a.exe", kV2)});
  std::vector<uint8_t> sameSizeAsV1 = kV1;
  sameSizeAsV1[10] ^= 1;
  const std::vector<uint8_t> otherSize = SampleData(50, 1);
  const struct {
    const char* what;
    const std::vector<uint8_t>* onDisk;  // null: no file
    FileAction withWhole, deltasOnly;
    int entry;  // the delta chosen (1 or 2), for kFileApplyDelta
  } cases[] = {
      {"the first base", &kV1, kFileApplyDelta, kFileApplyDelta, 1},
      {"the second base", &kV2, kFileApplyDelta, kFileApplyDelta, 2},
      {"already the new version", &kV3, kFileAlreadyNew, kFileAlreadyNew, -1},
      {"a base's size, other bytes", &sameSizeAsV1, kFileInstallWhole, kFileNoBase, -1},
      {"another size", &otherSize, kFileInstallWhole, kFileNoBase, -1},
      {"no file", nullptr, kFileInstallWhole, kFileNoBase, -1},
  };
  unsigned char buffer[64];
  for (const auto& c : cases) {
    for (const std::vector<uint8_t>* package : {&withWhole, &deltasOnly}) {
      DeltaView loaded(*package, 1);
      ASSERT_EQ(loaded.ok, 1);
      ASSERT_EQ(FileGroupLength(loaded.view, 1), package == &withWhole ? 3 : 2);
      const ByteSource disk = c.onDisk ? Source(*c.onDisk) : ByteSource{};
      FilePlan plan;
      ASSERT_EQ(PlanFile(loaded.view, 1, c.onDisk ? &disk : nullptr, nullptr, buffer, sizeof buffer,
                         plan),
                1);
      const FileAction expected = package == &withWhole ? c.withWhole : c.deltasOnly;
      EXPECT_EQ(plan.action, expected) << c.what;
      if (expected == kFileApplyDelta || expected == kFileInstallWhole) {
        EXPECT_EQ(plan.entry, expected == kFileApplyDelta ? c.entry : 3) << c.what;
      }
    }
  }
}

// A file's own old version first, then the new version of another file where the run builds
// it, then the whole entry.
TEST(DeltaPackage, PlanTakesAnotherFilesNewVersionWhereItIsBuilt) {
  const std::vector<uint8_t> package =
      DeltaPackage({WholeEntry("a.exe", kV1), FromNewVersionOf(DeltaEntry("b.exe", kV1), 1),
                    DeltaEntry("b.exe", kV2), WholeEntry("b.exe")});
  const std::vector<uint8_t> otherSize = SampleData(50, 1);
  const struct {
    const char* what;
    const std::vector<uint8_t>* onDisk;
    int built;  // whether a.exe's new version is there
    FileAction action;
    int entry;
    int baseGroup;
  } cases[] = {
      {"its own base", &kV2, 1, kFileApplyDelta, 3, -1},
      {"no base of its own", &otherSize, 1, kFileApplyDelta, 2, 1},
      {"no file", nullptr, 1, kFileApplyDelta, 2, 1},
      {"no base of its own, a.exe not built", &otherSize, 0, kFileInstallWhole, 4, -1},
      {"the base's bytes: its own file is no base of the other delta", &kV1, 0, kFileInstallWhole,
       4, -1},
      {"already new", &kV3, 1, kFileAlreadyNew, -1, -1},
  };
  unsigned char buffer[64];
  for (const auto& c : cases) {
    DeltaView loaded(package, 1);
    ASSERT_EQ(loaded.ok, 1);
    struct Asked {
      int built;
      std::vector<int> groups;
    } asked{c.built, {}};
    const BuiltFiles built{[](void* context, int group) {
                             auto* a = static_cast<Asked*>(context);
                             a->groups.push_back(group);
                             return a->built;
                           },
                           &asked};
    const ByteSource disk = c.onDisk ? Source(*c.onDisk) : ByteSource{};
    FilePlan plan;
    ASSERT_EQ(
        PlanFile(loaded.view, 2, c.onDisk ? &disk : nullptr, &built, buffer, sizeof buffer, plan),
        1);
    EXPECT_EQ(plan.action, c.action) << c.what;
    EXPECT_EQ(plan.entry, c.entry) << c.what;
    EXPECT_EQ(plan.baseGroup, c.baseGroup) << c.what;
    EXPECT_EQ(asked.groups, std::vector<int>{1}) << c.what;
    EXPECT_EQ(DeltaBaseGroup(loaded.view, 2), 1) << c.what;
    EXPECT_EQ(DeltaBaseGroup(loaded.view, 3), -1) << c.what;
  }
}

// A base the caller has not hashed (another file's new version) is checked first: one of the
// right size but other bytes builds nothing, though the commands alone might run on it.
TEST(Delta, ACheckedBaseMustBeTheVersion) {
  const std::vector<uint8_t> delta = MakeDelta(kV1, kV3);
  std::vector<uint8_t> notV1 = kV1;
  notV1[2500] ^= 1;
  const std::pair<const std::vector<uint8_t>*, int> bases[] = {{&kV1, 1}, {&notV1, 0}};
  for (const auto& c : bases) {
    for (int checkBase : {0, 1}) {
      CollectSink sink;
      const int applied =
          ApplyDelta({Source(delta), 0, static_cast<uint32_t>(delta.size())}, Source(*c.first),
                     ByteSink{Collect, &sink}, kDeltaMinChunk, nullptr, checkBase);
      EXPECT_EQ(applied, c.second) << checkBase;
      // Unchecked, the wrong base is found only by the result's hash, after it was written.
      EXPECT_EQ(sink.bytes.empty(), checkBase && !c.second) << checkBase;
    }
  }
}

}  // namespace
