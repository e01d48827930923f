#include "package/builder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "package/format.h"
#include "package_test_util.h"

namespace {

TEST(UpdaterLayout, SizesThatFit32Bits) {
  struct Case {
    uint64_t executable;
    uint64_t package;
    int ok;
    uint32_t padding;
    uint32_t output;
  };
  const Case cases[] = {
      {58880, 1499696, 1, 0, 58880 + 1499696 + 8},
      {0, 1, 1, 7, 16},
      {3, 4, 1, 1, 16},
      {100, 0, 0, 0, 0},                   // an empty package makes no updater
      {0xFFFFFFE6, 10, 1, 0, 0xFFFFFFF8},  // the longest output that is a multiple of 8
      {0xFFFFFFE6, 11, 0, 0, 0},  // one byte more, and the padding takes the trailer past 4 GiB
      {UINT32_MAX, 1, 0, 0, 0},
      {1, UINT32_MAX, 0, 0, 0},
      {uint64_t{1} << 32, 1, 0, 0, 0},  // a high part, once dropped, must not make it fit
      {1, (uint64_t{1} << 32) + 5, 0, 0, 0},
  };
  for (const Case& c : cases) {
    uint32_t padding = 99, output = 0;
    EXPECT_EQ(UpdaterLayout(c.executable, c.package, padding, output), c.ok)
        << c.executable << " + " << c.package;
    if (c.ok) {
      EXPECT_EQ(padding, c.padding) << c.executable << " + " << c.package;
      EXPECT_EQ(output, c.output);
    }
  }
  unsigned char trailer[8];
  WriteTrailer(trailer, 0xE600);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(trailer), 8), std::string("\x00\xE6\0\0PINE", 8));
}

int AppendTo(void* context, const unsigned char* data, uint32_t count) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  out->insert(out->end(), data, data + count);
  return 1;
}

// Every executable is copied up to its certificate table, with the security entry cleared when
// it had one at its end; every package length gets the padding that makes the output a multiple
// of 8; every chunk size gives the same bytes.
TEST(CopyUpdater, SignedExecutablesLoseTheirTableAndOutputsAreMultiplesOf8) {
  const std::vector<uint8_t> package = WritePackage(SamplePackageSpec());
  std::vector<uint8_t> tableNotAtEnd = Signed(PeImage(false, 1000));
  tableNotAtEnd.push_back('x');
  const std::vector<uint8_t> signedUpdater = Signed(WrapUpdater(PeImage(), package));
  struct Case {
    const char* what;
    std::vector<uint8_t> executable;
    uint32_t copied;  // bytes of the executable in the output
    bool cleared;     // security entry zeroed in the copy
  };
  const Case cases[] = {
      {"not a PE image", SampleData(1001), 1001, false},
      {"unsigned PE32", PeImage(false, 1001), 1001, false},
      {"signed PE32, 3 bytes of signing padding", Signed(PeImage(false, 1005)), 1008, true},
      {"signed PE32+, a table of 8 bytes", Signed(PeImage(true, 1024), 8), 1024, true},
      // Copied whole, but with its security entry cleared: the output must read as unsigned.
      {"certificate table not at the end", tableNotAtEnd, 1000 + 1496 + 1, true},
      {"signed updater", signedUpdater, static_cast<uint32_t>(signedUpdater.size() - 1496), true},
  };
  for (const Case& c : cases) {
    for (uint32_t extra = 0; extra < 8; ++extra) {
      // Bytes after the directory are package bytes the reader does not need.
      std::vector<uint8_t> pkg = package;
      pkg.insert(pkg.end(), extra, 0x5A);
      std::vector<uint8_t> first;
      for (uint32_t chunk : {1u, 7u, kExtractChunk}) {
        SCOPED_TRACE(std::string(c.what) + ", package +" + std::to_string(extra) + ", chunk " +
                     std::to_string(chunk));
        UpdaterPlan plan;
        ASSERT_EQ(PlanUpdater(Source(c.executable), Source(pkg), plan), 1);
        std::vector<uint8_t> out;
        std::vector<unsigned char> buffer(chunk);
        ASSERT_EQ(CopyUpdater(Source(c.executable), Source(pkg), plan, ByteSink{AppendTo, &out},
                              buffer.data(), chunk),
                  1);
        ASSERT_EQ(out.size(), plan.outputSize);
        EXPECT_EQ(out.size() % 8, 0u);
        ASSERT_GE(out.size(), c.copied + pkg.size() + 8);
        const size_t padding = out.size() - c.copied - pkg.size() - 8;
        EXPECT_LT(padding, 8u);

        std::vector<uint8_t> expected(c.executable.begin(), c.executable.begin() + c.copied);
        if (c.cleared) std::fill_n(expected.begin() + SecurityEntryOf(c.executable), 8, 0);
        expected.insert(expected.end(), pkg.begin(), pkg.end());
        expected.insert(expected.end(), padding, 0);
        unsigned char trailer[8];
        WriteTrailer(trailer, c.copied);
        expected.insert(expected.end(), trailer, trailer + 8);
        EXPECT_EQ(out, expected);
        if (first.empty()) first = out;
        EXPECT_EQ(out, first);

        LoadedView loaded(out, 1);
        EXPECT_EQ(loaded.ok, 1);
        EXPECT_EQ(loaded.view.packageOffset, c.copied);
      }
      EXPECT_EQ(WrapUpdater(c.executable, pkg), first) << c.what;
    }
  }
}

TEST(CopyUpdater, StopsAtTheFirstFailedWrite) {
  const std::vector<uint8_t> exe = PeImage();
  const std::vector<uint8_t> pkg = WritePackage(SamplePackageSpec());
  UpdaterPlan plan;
  ASSERT_EQ(PlanUpdater(Source(exe), Source(pkg), plan), 1);
  struct Budget {
    uint32_t left;
  };
  const auto limited = [](void* context, const unsigned char*, uint32_t count) {
    auto* budget = static_cast<Budget*>(context);
    if (count > budget->left) return 0;
    budget->left -= count;
    return 1;
  };
  std::vector<unsigned char> buffer(64);
  for (uint32_t allowed : {0u, 100u, plan.executableSize + 10, plan.outputSize - 1}) {
    Budget budget{allowed};
    EXPECT_EQ(
        CopyUpdater(Source(exe), Source(pkg), plan, ByteSink{+limited, &budget}, buffer.data(), 64),
        0)
        << allowed;
  }
  Budget enough{plan.outputSize};
  EXPECT_EQ(
      CopyUpdater(Source(exe), Source(pkg), plan, ByteSink{+limited, &enough}, buffer.data(), 64),
      1);
}

}  // namespace
