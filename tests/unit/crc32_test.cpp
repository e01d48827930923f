#include "runtime/crc32.h"
#include "runtime/adler32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <vector>

namespace {

// RL_PATCH.EXE's table-less CRC-32 stands in for zlib's: it must give zlib's results for whole
// buffers, for a buffer fed in pieces, and for the null buffer.
TEST(Crc32, GivesZlibsResults) {
  std::vector<unsigned char> bytes(4099);
  uint32_t state = 2026;
  for (unsigned char& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<unsigned char>(state >> 24);
  }
  const auto* digits = reinterpret_cast<const unsigned char*>("123456789");
  EXPECT_EQ(Crc32(0, digits, 9), 0xCBF43926u);  // the standard check value of CRC-32

  struct Case {
    uint32_t start;
    size_t offset;
    size_t length;
  };
  const Case cases[] = {
      {0, 0, 0}, {0, 0, 1}, {0, 0, 4099}, {0xFFFFFFFFu, 7, 1000}, {0x12345678u, 4000, 99}};
  for (const Case& c : cases) {
    EXPECT_EQ(Crc32(c.start, bytes.data() + c.offset, c.length),
              crc32(c.start, bytes.data() + c.offset, static_cast<uInt>(c.length)))
        << "start " << c.start << ", " << c.length << " bytes at " << c.offset;
  }
  uint32_t pieces = 0;
  for (size_t at = 0; at < bytes.size(); at += 1000)
    pieces = Crc32(pieces, bytes.data() + at, std::min<size_t>(1000, bytes.size() - at));
  EXPECT_EQ(pieces, crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
  EXPECT_EQ(Crc32(0x12345678u, nullptr, 5), crc32(0x12345678u, Z_NULL, 5));
}

// The same for the plain-loop Adler-32, over runs longer than the one between reductions, with
// bytes of 0xFF (the largest sums) and continuing from a state whose sums are at their largest.
TEST(Adler32, GivesZlibsResults) {
  std::vector<unsigned char> bytes(12000, 0xFF);
  uint32_t state = 7;
  for (size_t i = 6000; i < bytes.size(); ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<unsigned char>(state >> 24);
  }
  const auto* text = reinterpret_cast<const unsigned char*>("Wikipedia");
  EXPECT_EQ(Adler32(1, text, 9), 0x11E60398u);  // the algorithm's well-known example

  struct Case {
    uint32_t start;
    size_t offset;
    size_t length;
  };
  const Case cases[] = {{1, 0, 0},
                        {1, 0, 5552},
                        {1, 0, 5553},
                        {1, 0, 12000},
                        {0xFFF0FFF0u, 0, 11105},
                        {0x12345678u, 3, 9000},
                        {0, 6000, 6000}};
  for (const Case& c : cases) {
    EXPECT_EQ(Adler32(c.start, bytes.data() + c.offset, c.length),
              adler32(c.start, bytes.data() + c.offset, static_cast<uInt>(c.length)))
        << "start " << c.start << ", " << c.length << " bytes at " << c.offset;
  }
  EXPECT_EQ(Adler32(0x12345678u, nullptr, 5), adler32(0x12345678u, Z_NULL, 5));
}

}  // namespace
