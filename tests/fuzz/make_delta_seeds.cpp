// Writes the delta fuzzer's seed corpus: deltas made by pinepack's writer against prefixes of the
// fuzzer's base pattern, for results that are copies, edits, insertions, moves and new bytes, in
// every method.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

  std::vector<uint8_t> edited = base;
  for (size_t i = 10; i < edited.size(); i += 97) edited[i] ^= 0x5a;
  std::vector<uint8_t> inserted(base.begin(), base.begin() + 500);
  inserted.insert(inserted.end(), 150, 'x');
  inserted.insert(inserted.end(), base.begin() + 400, base.end());
  std::vector<uint8_t> moved(base.begin() + 700, base.end());
  moved.insert(moved.end(), base.begin(), base.begin() + 700);
  const std::vector<uint8_t> fresh = {'n', 'e', 'w', ' ', 'b', 'y', 't', 'e', 's'};
  // Results the fuzzer runs in the range-coded method too (kDeltaFuzzRangeCodedResult).
  std::vector<uint8_t> smallEdited(edited.begin(), edited.begin() + 300);
  std::vector<uint8_t> smallMoved(small.begin() + 200, small.end());
  smallMoved.insert(smallMoved.end(), small.begin(), small.begin() + 200);
  smallMoved.insert(smallMoved.begin() + 50, 40, 'x');

  const struct {
    const char* name;
    const std::vector<uint8_t>& from;
    const std::vector<uint8_t>& to;
  } pairs[] = {{"same", base, base},
               {"edited", base, edited},
               {"inserted", base, inserted},
               {"moved", base, moved},
               {"fresh", small, fresh},
               {"empty-result", small, {}},
               {"small-edit", small, std::vector<uint8_t>(small.rbegin(), small.rend())},
               {"small-edited", small, smallEdited},
               {"small-moved", small, smallMoved}};
  // Each pair stored (level 0) and deflated (level 9) in the zlib method, and range coded.
  const struct {
    const char* suffix;
    DeltaMethod method;
    int level;
  } ways[] = {{"-0", kDeltaAddCopy, 0}, {"-9", kDeltaAddCopy, 9}, {"-rc", kDeltaRangeCoded, 9}};
  for (const auto& p : pairs) {
    for (const auto& way : ways) {
      if (way.method == kDeltaRangeCoded && p.to.size() > kDeltaFuzzRangeCodedResult) continue;
      const std::vector<uint8_t> delta = MakeDeltaWith(way.method, p.from, p.to, way.level);
      std::ofstream out(folder / (std::string(p.name) + way.suffix),
                        std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(delta.data()),
                static_cast<std::streamsize>(delta.size()));
      if (!out) return 1;
    }
  }
  return 0;
}
