// Writes the delta fuzzer's seed corpus: deltas of each method made by pinepack's writer against
// prefixes of the fuzzer's base pattern, for results that are copies, edits, insertions, moves and
// new bytes, each no longer than the fuzzer runs with the pieces its length gives
// (delta_fuzz_base.h), some past a boundary of the largest pieces; deltas that code tables of
// places (delta/image_tables.h); and deltas made against variants of the pattern. Each seed's base
// hash selects the base it was made against (a first byte 0 for the pattern), so that it applies.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "delta/image_tables.h"
#include "delta_fuzz_base.h"
#include "delta_writer.h"

namespace {

constexpr uint32_t kBaseHashAt = 24;  // in a delta stream's header

// The variants of the pattern that seeds are made against: the bytes of a base hash.
const unsigned char kPattern[kSha256Size] = {0};
// Four bytes set anywhere in the pattern (at 4660, 256, 3021 and 2049).
const unsigned char kFourSet[kSha256Size] = {0x03, 0x34, 0x12, 0xAA, 0x00, 0x01, 0x55,
                                             0xCD, 0x0B, 0x00, 0x01, 0x20, 0xFF};
// One byte of the relocation table: its first entry's place 0x010 becomes 0x014, still in order.
const unsigned char kTableEntryMoved[kSha256Size] = {0x08, 8, 0, 0x14};

std::vector<uint8_t> BaseFor(const unsigned char* selector) {
  static unsigned char variant[kDeltaFuzzBaseSize];
  const unsigned char* base = DeltaFuzzBaseFor(selector, variant);
  return std::vector<uint8_t>(base, base + kDeltaFuzzBaseSize);
}

// Writes delta to path with its base hash replaced by selector; false when it cannot.
bool Save(const std::filesystem::path& path, std::vector<uint8_t> delta,
          const unsigned char* selector) {
  if (delta.size() < kBaseHashAt + kSha256Size) return false;
  std::copy(selector, selector + kSha256Size, delta.begin() + kBaseHashAt);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(delta.data()),
            static_cast<std::streamsize>(delta.size()));
  return static_cast<bool>(out);
}

std::vector<uint8_t> Part(const std::vector<uint8_t>& v, size_t from, size_t count) {
  return std::vector<uint8_t>(v.begin() + static_cast<ptrdiff_t>(from),
                              v.begin() + static_cast<ptrdiff_t>(from + count));
}

// A delta from `from` to `to`, or to `to` with a few bytes changed: the fuzzer runs a long result
// only with the larger pieces, which it takes from the stream's length, so such a delta is made
// again, one more byte of its result changed each time, until its length gives them.
std::vector<uint8_t> FittedDelta(DeltaMethod method, const std::vector<uint8_t>& from,
                                 std::vector<uint8_t> to) {
  for (size_t changed = 0;; ++changed) {
    std::vector<uint8_t> delta = MakeDeltaWith(method, from, to);
    const auto length = static_cast<uint32_t>(delta.size());
    if (to.size() <= DeltaFuzzMaxResult(DeltaFuzzChunk(length)) || changed == 64) return delta;
    to[(changed * 997 + 500) % to.size()] ^= 0x33;
  }
}

int Collect(void* context, const unsigned char* data, uint32_t count) {
  auto& bytes = *static_cast<std::vector<uint8_t>*>(context);
  bytes.insert(bytes.end(), data, data + count);
  return 1;
}

// Predicted changes by hand, every predicted op among new and recent values, over the same base
// bytes twice (the second time with another shift): the writer takes predictions only where
// they are the smaller, which on the patterns above they are not. Empty when it does not apply.
std::vector<uint8_t> PredictedByHand(const std::vector<uint8_t>& base) {
  WordBlock block(5);
  const uint8_t cycle[] = {kWordOpNew,           kWordOpPredicted,           kWordOpPredictedTarget,
                           kWordOpPredictedNear, kWordOpPredictedTargetNear, 0};
  for (int command = 0; command < 2; ++command) {
    for (uint64_t number : {uint64_t{160}, uint64_t{0}, command == 0 ? SeekCode(-100) : 0})
      PutNumber(block[0], number);
    for (int k = 0; k < 16; ++k) {
      PutNumber(block[1], 6);
      const uint8_t op = cycle[k % 6];
      block[2].push_back(op);
      if (op == kWordOpNew) {
        for (int b : {0x40 + k, 0, 0x10, 0}) block[3].push_back(static_cast<uint8_t>(b));
      } else if (op == kWordOpPredictedNear || op == kWordOpPredictedTargetNear) {
        PutNumber(block[3], SeekCode(k - 8));
      }
    }
  }
  const std::vector<uint8_t> body = DeflatedBlocks({block}, true);
  // The result is what the body builds: taken from a first stream, whose result hash is wrong.
  std::vector<uint8_t> result;
  const std::vector<uint8_t> first =
      DeltaStreamWith(kDeltaWordsPredicted, base, std::vector<uint8_t>(320), body);
  const auto length = [](const std::vector<uint8_t>& v) { return static_cast<uint32_t>(v.size()); };
  ApplyDelta({MemorySource(first.data(), length(first)), 0, length(first)},
             MemorySource(base.data(), length(base)), ByteSink{Collect, &result});
  if (result.size() != 320) return {};
  std::vector<uint8_t> delta = DeltaStreamWith(kDeltaWordsPredicted, base, result, body);
  return DeltaGives(delta, base, result) ? delta : std::vector<uint8_t>();
}

std::vector<uint8_t> Edited(std::vector<uint8_t> v, size_t step) {
  for (size_t i = 10; i < v.size(); i += step) v[i] ^= 0x5a;
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);
  const std::vector<uint8_t> base = BaseFor(kPattern);
  const std::vector<uint8_t> small = Part(base, 0, 300);

  const std::vector<uint8_t> edited = Edited(Part(base, 0, 500), 97);
  std::vector<uint8_t> inserted = Part(base, 0, 200);
  inserted.insert(inserted.end(), 60, 'x');
  inserted.insert(inserted.end(), base.begin() + 150, base.begin() + 400);
  // The base's end, then its start: seeks across the whole base.
  std::vector<uint8_t> moved = Part(base, kDeltaFuzzBaseSize - 224, 224);
  moved.insert(moved.end(), base.begin(), base.begin() + 250);
  const std::vector<uint8_t> fresh = {'n', 'e', 'w', ' ', 'b', 'y', 't', 'e', 's'};
  // New code that calls and jumps, forward and back, between parts of the base.
  std::vector<uint8_t> freshCalls = Part(base, 0, 100);
  for (uint32_t i = 0; i < 40; ++i) {
    const uint32_t displacement = i % 3 ? 0x200 - 16 * i : 0xFFFFFF00u + i;
    const uint8_t call[] = {static_cast<uint8_t>(i % 2 ? 0xE8 : 0xE9),
                            static_cast<uint8_t>(displacement),
                            static_cast<uint8_t>(displacement >> 8),
                            static_cast<uint8_t>(displacement >> 16),
                            static_cast<uint8_t>(displacement >> 24),
                            0x90,
                            0x8B};
    freshCalls.insert(freshCalls.end(), call, call + sizeof call);
  }
  freshCalls.insert(freshCalls.end(), base.begin() + 100, base.begin() + 200);
  std::vector<uint8_t> smallEdited = Part(edited, 0, 300);
  std::vector<uint8_t> smallMoved = Part(small, 200, 100);
  smallMoved.insert(smallMoved.end(), small.begin(), small.begin() + 200);
  smallMoved.insert(smallMoved.begin() + 50, 40, 'x');
  // Across the largest pieces: the longest result, edited throughout, and the base's halves
  // swapped.
  const std::vector<uint8_t> longEdited = Edited(Part(base, 0, kDeltaFuzzMaxResult), 211);
  std::vector<uint8_t> longMoved = Part(base, kDeltaFuzzBaseSize / 2, kDeltaFuzzMaxResult / 2);
  longMoved.insert(longMoved.end(), base.begin(), base.begin() + kDeltaFuzzMaxResult / 2);
  const std::vector<uint8_t> fourSet = BaseFor(kFourSet);
  // Words of the runs of one byte (one page each) moved alike: changes the base predicts.
  std::vector<uint8_t> addressesMoved = Part(base, 0, 1000);
  for (size_t i = 128; i + 4 <= addressesMoved.size(); i += 16)
    if ((i / 128) % 2) WriteLE32(&addressesMoved[i], ReadLE32(&addressesMoved[i]) + 0x40);

  const struct {
    const char* name;
    const std::vector<uint8_t>& from;
    const std::vector<uint8_t>& to;
    const unsigned char* selector;
  } pairs[] = {
      {"copy", base, Part(base, 0, 512), kPattern},
      {"tail", base, Part(base, kDeltaFuzzBaseSize - 512, 512), kPattern},
      {"edited", base, edited, kPattern},
      {"inserted", base, inserted, kPattern},
      {"moved", base, moved, kPattern},
      {"fresh", small, fresh, kPattern},
      {"empty-result", small, {}, kPattern},
      {"small-edit", small, std::vector<uint8_t>(small.rbegin(), small.rend()), kPattern},
      {"small-edited", small, smallEdited, kPattern},
      {"small-moved", small, smallMoved, kPattern},
      {"long-edited", base, longEdited, kPattern},
      {"long-moved", base, longMoved, kPattern},
      {"variant-edited", fourSet, Edited(Part(fourSet, 2000, 1100), 97), kFourSet},
      {"addresses-moved", base, addressesMoved, kPattern},
      {"fresh-calls", base, freshCalls, kPattern},
  };
  for (const auto& p : pairs) {
    if (p.to.size() > kDeltaFuzzMaxResult) return 1;
    for (DeltaMethod method : {kDeltaRangeCoded, kDeltaDeflatedWords, kDeltaWordsPredicted,
                               kDeltaWordsCalls, kDeltaWordsCallsLz}) {
      if (!Save(folder / (p.name + std::string("-") + std::to_string(method)),
                FittedDelta(method, p.from, p.to), p.selector))
        return 1;
    }
  }
  // Deltas that code tables of places: the base's relocation table moved and grown in the
  // result, an exception table in both, and images without tables.
  const std::vector<uint8_t> grownTable = {0x00, 0x10, 0,    0,    16,   0,    0,    0,    0x14,
                                           0x30, 0x24, 0x30, 0x34, 0x30, 0xF4, 0x3F, 0x00, 0x30,
                                           0,    0,    10,   0,    0,    0,    0x08, 0x30};
  const auto relocated = [&](const std::vector<uint8_t>& from) {
    std::vector<uint8_t> to = Part(from, 600, 300);
    to.insert(to.end(), grownTable.begin(), grownTable.end());
    to.insert(to.end(), from.begin() + 940, from.begin() + 1000);
    return to;
  };
  // The base's two exception entries with their functions moved by 0x40.
  std::vector<uint8_t> exceptions = Part(base, 800, 160);
  for (uint32_t value : {0x1040u, 0x1080u, 0x9000u, 0x1080u, 0x1140u, 0x9008u})
    for (int k = 0; k < 4; ++k) exceptions.push_back(static_cast<uint8_t>(value >> (8 * k)));
  exceptions.insert(exceptions.end(), base.begin() + 984, base.begin() + 1024);
  const std::vector<uint8_t> tableEntryMoved = BaseFor(kTableEntryMoved);
  const auto tableSize = static_cast<uint32_t>(sizeof kDeltaFuzzTable);
  const struct {
    const char* name;
    const std::vector<uint8_t>& from;
    const std::vector<uint8_t>& to;
    std::vector<ImageTablePlace> fromTables, toTables;
    const unsigned char* selector;
  } tables[] = {
      {"tables-relocations",
       base,
       relocated(base),
       {{kTableRelocations, kDeltaFuzzTableAt, tableSize}},
       {{kTableRelocations, 300, static_cast<uint32_t>(grownTable.size())}},
       kPattern},
      {"tables-exceptions",
       base,
       exceptions,
       {{kTableExceptions, kDeltaFuzzExceptionsAt, 24}},
       {{kTableExceptions, 160, 24}},
       kPattern},
      {"tables-empty",
       base,
       edited,
       {{kTableRelocations, 0, 0}},
       {{kTableRelocations, 0, 0}},
       kPattern},
      {"tables-variant",
       tableEntryMoved,
       relocated(tableEntryMoved),
       {{kTableRelocations, kDeltaFuzzTableAt, tableSize}},
       {{kTableRelocations, 300, static_cast<uint32_t>(grownTable.size())}},
       kTableEntryMoved},
  };
  if (!Save(folder / "predicted-by-hand", PredictedByHand(base), kPattern)) return 1;
  for (const auto& t : tables) {
    uint64_t predicted = 0;
    const std::vector<uint8_t> body = TablesWordsBody(t.from, t.fromTables, t.to, t.toTables);
    const std::vector<uint8_t> predictedBody =
        TablesWordsBody(t.from, t.fromTables, t.to, t.toTables, &predicted);
    const std::vector<uint8_t> callsBody =
        TablesWordsBody(t.from, t.fromTables, t.to, t.toTables, &predicted, CallsCoding::kAlways);
    const std::vector<uint8_t> matchesBody =
        TablesWordsBody(t.from, t.fromTables, t.to, t.toTables, &predicted, CallsCoding::kAlwaysLz);
    if (body.empty() || t.to.size() > kDeltaFuzzMaxResult) return 1;
    if (!Save(folder / t.name, DeltaStreamWith(kDeltaWordsTables, t.from, t.to, body),
              t.selector) ||
        !Save(folder / (t.name + std::string("-predicted")),
              DeltaStreamWith(kDeltaWordsTablesPredicted, t.from, t.to, predictedBody),
              t.selector) ||
        !Save(folder / (t.name + std::string("-calls")),
              DeltaStreamWith(kDeltaWordsTablesCalls, t.from, t.to, callsBody), t.selector) ||
        !Save(folder / (t.name + std::string("-matches")),
              DeltaStreamWith(kDeltaWordsTablesCallsLz, t.from, t.to, matchesBody), t.selector))
      return 1;
    // The relocated methods, where the table's entries fall in a section before it: its first
    // page's places at 0x110 on.
    const std::vector<ImageSection> sections = {{0x1000, 0x300, 0x100}, {0x2000, 0x10, 0x200}};
    const struct {
      DeltaMethod method;
      CallsCoding calls;
      const char* suffix;
    } relocated[] = {
        {kDeltaWordsTablesRelocated, CallsCoding::kNever, "-relocated"},
        {kDeltaWordsTablesCallsRelocated, CallsCoding::kAlways, "-calls-relocated"},
        {kDeltaWordsTablesCallsLzRelocated, CallsCoding::kAlwaysLz, "-matches-relocated"},
        {kDeltaWordsTablesCallPlaces, CallsCoding::kNever, "-call-places"},
        {kDeltaWordsTablesCallsCallPlaces, CallsCoding::kAlways, "-calls-call-places"},
        {kDeltaWordsTablesCallsLzCallPlaces, CallsCoding::kAlwaysLz, "-matches-call-places"}};
    for (const auto& r : relocated) {
      const std::vector<uint8_t> relocatedBody =
          TablesWordsBody(t.from, t.fromTables, t.to, t.toTables, &predicted, r.calls, &sections,
                          CallPlacesMethod(r.method));
      if (!relocatedBody.empty() &&
          !Save(folder / (t.name + std::string(r.suffix)),
                DeltaStreamWith(r.method, t.from, t.to, relocatedBody), t.selector))
        return 1;
    }
  }
  return 0;
}
