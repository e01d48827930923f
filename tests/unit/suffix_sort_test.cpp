// The delta writer's suffix sorting (tools/pinepack/suffix_sort.h): against a plain sort of the
// suffixes on inputs that reach every path of the induced sorting (no LMS suffix or one, deep
// recursion, reduced texts whose buckets fit beside them or not), and on large inputs checked
// pair by pair.
#include "suffix_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// The suffix array by sorting the suffixes themselves: memcmp over the shorter, the shorter first
// where one is a prefix of the other.
bool SuffixLess(const std::vector<uint8_t>& data, int32_t a, int32_t b) {
  const size_t lengthA = data.size() - static_cast<size_t>(a);
  const size_t lengthB = data.size() - static_cast<size_t>(b);
  const int order = std::memcmp(data.data() + a, data.data() + b, std::min(lengthA, lengthB));
  return order != 0 ? order < 0 : lengthA < lengthB;
}

std::vector<int32_t> NaiveSuffixArray(const std::vector<uint8_t>& data) {
  std::vector<int32_t> sa(data.size());
  std::iota(sa.begin(), sa.end(), 0);
  std::sort(sa.begin(), sa.end(), [&](int32_t a, int32_t b) { return SuffixLess(data, a, b); });
  return sa;
}

std::vector<uint8_t> Text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> Repeated(const std::string& period, size_t n) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(period[i % period.size()]);
  return out;
}

// n bytes drawn from the first letters of the alphabet.
std::vector<uint8_t> RandomBytes(size_t n, uint32_t letters, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> out(n);
  for (uint8_t& b : out) b = static_cast<uint8_t>(random() % letters);
  return out;
}

// 0x00 and 0xFF at random: the two letters at both ends of the byte range.
std::vector<uint8_t> Extremes(size_t n, uint32_t seed) {
  std::vector<uint8_t> out = RandomBytes(n, 2, seed);
  for (uint8_t& b : out) b = b ? 0xFF : 0x00;
  return out;
}

// The Fibonacci word of at least n letters: its LMS substrings repeat at every level, so the
// sorting recurses about as deep as any input of its length makes it.
std::vector<uint8_t> Fibonacci(size_t n) {
  std::string previous = "a", word = "ab";
  while (word.size() < n) {
    std::string next = word + previous;
    previous = std::move(word);
    word = std::move(next);
  }
  return Text(word);
}

// High and low letters in turn: nearly every other suffix is an LMS one and their substrings
// repeat, so the reduced text leaves no room in the array for its buckets (they are allocated).
std::vector<uint8_t> Alternating(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i)
    out[i] = static_cast<uint8_t>(i % 2 ? random() % 4 : 0xF0 + random() % 4);
  return out;
}

struct SortCase {
  const char* name;
  std::vector<uint8_t> data;
};

std::vector<SortCase> SortCases() {
  std::vector<SortCase> cases = {
      {"empty", {}},
      {"one byte", {7}},
      {"two rising", Text("ab")},
      {"two falling", Text("ba")},
      {"all equal", std::vector<uint8_t>(1000, 'a')},
      {"rising, no LMS suffix", Text("abcdefghij")},
      {"falling, no LMS suffix", Text("jihgfedcba")},
      {"one LMS suffix", Text("zzzaaabbbyyy")},
      {"periodic ab", Repeated("ab", 1001)},
      {"periodic abc", Repeated("abc", 999)},
      {"periodic aab", Repeated("aab", 1000)},
      {"banana", Text("banana")},
      {"mississippi", Text("mississippi")},
      {"mississippi repeated", Repeated("mississippi", 2000)},
      {"zero and 0xFF bytes",
       {0x00, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x01, 0xFE, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00,
        0xFF, 0x7F, 0x80, 0x00}},
      {"zero and 0xFF at random", Extremes(3000, 41)},
      {"Fibonacci word", Fibonacci(6765)},
      {"alternating high and low", Alternating(2000, 5)},
      {"alternating, odd length", Alternating(2001, 6)},
  };
  for (uint32_t letters : {2u, 4u, 256u})
    for (size_t n : {10u, 100u, 1000u, 5000u})
      for (uint32_t seed : {1u, 2u})
        cases.push_back({"random", RandomBytes(n, letters, seed * 1000 + letters + n)});
  return cases;
}

TEST(SuffixSort, SameAsSortingTheSuffixes) {
  for (const SortCase& c : SortCases()) {
    SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(c.data.size()) + " bytes");
    EXPECT_EQ(SuffixArray(c.data), NaiveSuffixArray(c.data));
    EXPECT_EQ(SuffixArray(c.data.data(), c.data.size()), NaiveSuffixArray(c.data));
  }
}

// Every short text over a three-letter alphabet: each arrangement of types the sorting meets in a
// text this short, against the plain sort.
TEST(SuffixSort, EveryShortText) {
  for (size_t n = 1; n <= 9; ++n) {
    std::vector<uint8_t> data(n, 0);
    for (;;) {
      ASSERT_EQ(SuffixArray(data), NaiveSuffixArray(data))
          << std::string(data.begin(), data.end()).c_str();
      size_t i = 0;
      while (i < n && data[i] == 2) data[i++] = 0;
      if (i == n) break;
      ++data[i];
    }
  }
}

// Large inputs, where the plain sort would take too long: the result holds every start once and
// each suffix is smaller than the next.
TEST(SuffixSort, LargeInputsInOrder) {
  const SortCase cases[] = {
      {"1 MB random", RandomBytes(1 << 20, 256, 7)},
      {"1 MB of four letters", RandomBytes(1 << 20, 4, 8)},
      {"1 MB of two letters", RandomBytes(1 << 20, 2, 9)},
      {"1 MB alternating", Alternating(1 << 20, 10)},
  };
  for (const SortCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<int32_t> sa = SuffixArray(c.data);
    ASSERT_EQ(sa.size(), c.data.size());
    std::vector<bool> seen(sa.size(), false);
    for (int32_t start : sa) {
      ASSERT_TRUE(start >= 0 && static_cast<size_t>(start) < sa.size() && !seen[start]) << start;
      seen[start] = true;
    }
    for (size_t i = 1; i < sa.size(); ++i)
      ASSERT_TRUE(SuffixLess(c.data, sa[i - 1], sa[i])) << "at " << i;
  }
}

TEST(SuffixSort, RefusesMoreThanInt32) {
  const uint8_t byte = 0;
  EXPECT_THROW(SuffixArray(&byte, size_t{INT32_MAX} + 1), std::length_error);
}

}  // namespace
