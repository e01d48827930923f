#include "package/builder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(UpdaterLayout, SizesThatFit32Bits) {
  struct Case {
    uint64_t executable;
    uint64_t package;
    int ok;
    uint32_t output;
  };
  const Case cases[] = {
      {58880, 1499696, 1, 58880 + 1499696 + 8},
      {0, 1, 1, 9},
      {100, 0, 0, 0},  // an empty package makes no updater
      {UINT32_MAX - 8 - 10, 10, 1, UINT32_MAX},
      {UINT32_MAX - 8 - 10, 11, 0, 0},  // one byte more and the trailer passes 4 GiB
      {UINT32_MAX, 1, 0, 0},
      {1, UINT32_MAX, 0, 0},
      {uint64_t{1} << 32, 1, 0, 0},  // a high part, once dropped, must not make it fit
      {1, (uint64_t{1} << 32) + 5, 0, 0},
  };
  for (const Case& c : cases) {
    uint32_t output = 0;
    EXPECT_EQ(UpdaterLayout(c.executable, c.package, output), c.ok)
        << c.executable << " + " << c.package;
    if (c.ok) {
      EXPECT_EQ(output, c.output);
    }
  }
  unsigned char trailer[8];
  WriteTrailer(trailer, 0xE600);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(trailer), 8), std::string("\x00\xE6\0\0PINE", 8));
}

}  // namespace
