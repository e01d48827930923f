// Writes the delta fuzzer's seed corpus: deltas of each method made by pinepack's writer against
// prefixes of the fuzzer's base pattern, for results that are copies, edits, insertions, moves and
// new bytes, each no longer than the fuzzer runs (kDeltaFuzzMaxResult); and deltas that code
// tables of places (delta/image_tables.h).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "delta/image_tables.h"
#include "delta_fuzz_base.h"
#include "delta_writer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);
  const unsigned char* pattern = DeltaFuzzBase();
  const std::vector<uint8_t> base(pattern, pattern + kDeltaFuzzBaseSize);
  const std::vector<uint8_t> small(pattern, pattern + 300);

  auto part = [](const std::vector<uint8_t>& v, size_t from, size_t count) {
    return std::vector<uint8_t>(v.begin() + static_cast<ptrdiff_t>(from),
                                v.begin() + static_cast<ptrdiff_t>(from + count));
  };
  std::vector<uint8_t> edited = part(base, 0, 500);
  for (size_t i = 10; i < edited.size(); i += 97) edited[i] ^= 0x5a;
  std::vector<uint8_t> inserted = part(base, 0, 200);
  inserted.insert(inserted.end(), 60, 'x');
  inserted.insert(inserted.end(), base.begin() + 150, base.begin() + 400);
  // The base's end, then its start: seeks across the whole base.
  std::vector<uint8_t> moved = part(base, 800, 224);
  moved.insert(moved.end(), base.begin(), base.begin() + 250);
  const std::vector<uint8_t> fresh = {'n', 'e', 'w', ' ', 'b', 'y', 't', 'e', 's'};
  std::vector<uint8_t> smallEdited = part(edited, 0, 300);
  std::vector<uint8_t> smallMoved = part(small, 200, 100);
  smallMoved.insert(smallMoved.end(), small.begin(), small.begin() + 200);
  smallMoved.insert(smallMoved.begin() + 50, 40, 'x');

  const struct {
    const char* name;
    const std::vector<uint8_t>& from;
    const std::vector<uint8_t>& to;
  } pairs[] = {
      {"copy", base, part(base, 0, kDeltaFuzzMaxResult)},
      {"tail", base, part(base, kDeltaFuzzBaseSize - kDeltaFuzzMaxResult, kDeltaFuzzMaxResult)},
      {"edited", base, edited},
      {"inserted", base, inserted},
      {"moved", base, moved},
      {"fresh", small, fresh},
      {"empty-result", small, {}},
      {"small-edit", small, std::vector<uint8_t>(small.rbegin(), small.rend())},
      {"small-edited", small, smallEdited},
      {"small-moved", small, smallMoved}};
  for (const auto& p : pairs) {
    if (p.to.size() > kDeltaFuzzMaxResult) return 1;
    for (DeltaMethod method : {kDeltaRangeCoded, kDeltaDeflatedWords}) {
      const std::vector<uint8_t> delta = MakeDeltaWith(method, p.from, p.to);
      std::ofstream out(folder / (p.name + std::string("-") + std::to_string(method)),
                        std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(delta.data()),
                static_cast<std::streamsize>(delta.size()));
      if (!out) return 1;
    }
  }
  // Deltas that code tables of places: the base's relocation table moved and grown in the
  // result, an exception table in both, and images without tables.
  const std::vector<uint8_t> grownTable = {0x00, 0x10, 0,    0,    16,   0,    0,    0,    0x14,
                                           0x30, 0x24, 0x30, 0x34, 0x30, 0xF4, 0x3F, 0x00, 0x30,
                                           0,    0,    10,   0,    0,    0,    0x08, 0x30};
  std::vector<uint8_t> relocated = part(base, 600, 300);
  relocated.insert(relocated.end(), grownTable.begin(), grownTable.end());
  relocated.insert(relocated.end(), base.begin() + 940, base.begin() + 1000);
  // The base's two exception entries with their functions moved by 0x40.
  std::vector<uint8_t> exceptions = part(base, 800, 160);
  for (uint32_t value : {0x1040u, 0x1080u, 0x9000u, 0x1080u, 0x1140u, 0x9008u})
    for (int k = 0; k < 4; ++k) exceptions.push_back(static_cast<uint8_t>(value >> (8 * k)));
  exceptions.insert(exceptions.end(), base.begin() + 984, base.end());
  const auto tableSize = static_cast<uint32_t>(sizeof kDeltaFuzzTable);
  const struct {
    const char* name;
    const std::vector<uint8_t>& from;
    const std::vector<uint8_t>& to;
    std::vector<ImageTablePlace> fromTables, toTables;
  } tables[] = {
      {"tables-relocations",
       base,
       relocated,
       {{kTableRelocations, kDeltaFuzzTableAt, tableSize}},
       {{kTableRelocations, 300, static_cast<uint32_t>(grownTable.size())}}},
      {"tables-exceptions",
       base,
       exceptions,
       {{kTableExceptions, kDeltaFuzzExceptionsAt, 24}},
       {{kTableExceptions, 160, 24}}},
      {"tables-empty", base, edited, {{kTableRelocations, 0, 0}}, {{kTableRelocations, 0, 0}}},
  };
  for (const auto& t : tables) {
    const std::vector<uint8_t> body = TablesWordsBody(t.from, t.fromTables, t.to, t.toTables);
    if (body.empty() || t.to.size() > kDeltaFuzzMaxResult) return 1;
    const std::vector<uint8_t> delta = DeltaStreamWith(kDeltaWordsTables, t.from, t.to, body);
    std::ofstream out(folder / t.name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(delta.data()),
              static_cast<std::streamsize>(delta.size()));
    if (!out) return 1;
  }
  return 0;
}
