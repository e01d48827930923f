// Suffix sorting by induced sorting (SA-IS, after Nong, Zhang and Chan): the LMS suffixes (below)
// are sorted first, by their substrings up to the next LMS suffix and, where those are alike, by
// a recursion on the shorter text of the substrings' names; two scans of the array then place
// every other suffix from them.
//
// Words used here. A suffix is S when it is smaller than the suffix one after it, L when larger;
// the last one is L (an end marker smaller than every letter follows it, never stored). An LMS
// suffix is an S one with an L one just before it. A letter's bucket is the part of the array
// that the suffixes starting with that letter take; in it the L suffixes come before the S ones.
//
// Memory: nothing beside the output array but the byte level's buckets (two arrays of 256). The
// types of the suffixes are never stored: each scan tells them from the letters and from where in
// its bucket a suffix lies. At most half the suffixes are LMS ones, so the reduced text and its
// suffix array both fit in the output array, and the buckets of the reduced text's letters go
// into what is left of it between the two when they fit, else into an allocation of their own
// (at most half the input's length in int32, kept only while that level needs it).
#include "suffix_sort.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace {

// The bytes' buckets: the letter counts are taken once, the bounds computed from them each time.
class ByteBuckets {
 public:
  ByteBuckets(const uint8_t* text, int32_t n) {
    for (int32_t i = 0; i < n; ++i) ++counts_[text[i]];
  }
  // bucket[c]: the first slot of letter c's bucket.
  int32_t* Starts() {
    int32_t sum = 0;
    for (size_t c = 0; c < counts_.size(); ++c) {
      bucket_[c] = sum;
      sum += counts_[c];
    }
    return bucket_.data();
  }
  // bucket[c]: one past the last slot of letter c's bucket.
  int32_t* Ends() {
    int32_t sum = 0;
    for (size_t c = 0; c < counts_.size(); ++c) bucket_[c] = sum += counts_[c];
    return bucket_.data();
  }
  void Release() {}

 private:
  std::array<int32_t, 256> counts_{};
  std::array<int32_t, 256> bucket_{};
};

// How far ahead of the count of a reduced text's letters their counters are fetched.
constexpr int32_t kCountAhead = 64;

// A reduced text's buckets (letters below k), in the free part of the work array where they
// fit, else in an allocation, released while the level below runs (it takes over the free part).
// With room for the bounds as well they are counted once; with room for one array only, the
// letters are counted again for each use.
class NameBuckets {
 public:
  NameBuckets(const int32_t* text, int32_t n, int32_t k, int32_t* free, int32_t room)
      : text_(text), n_(n), k_(k), free_(free), room_(room) {}
  int32_t* Starts() { return Bounds(false); }
  int32_t* Ends() { return Bounds(true); }
  // The level below is to run: the bounds are lost with the free part.
  void Release() {
    std::vector<int32_t>().swap(owned_);
    kept_ = nullptr;
  }

 private:
  int32_t* Bounds(bool ends) {
    if (kept_) {
      // kept_[c] is the start of c's bucket, kept_[k] the end of the last.
      std::copy(kept_ + ends, kept_ + ends + k_, bucket_);
      return bucket_;
    }
    bucket_ = free_;
    if (room_ >= 2 * k_ + 1) {
      kept_ = free_ + k_;
    } else if (room_ < k_) {
      owned_.resize(static_cast<size_t>(k_));
      bucket_ = owned_.data();
    }
    std::fill(bucket_, bucket_ + k_, 0);
    // The counters are many and hit at random: each is fetched a while before it is counted
    // (a text of random bytes, whose reduced text has about as many letters as it is long,
    // sorts 15 % faster).
    for (int32_t i = 0; i < n_; ++i) {
      if (i + kCountAhead < n_) __builtin_prefetch(bucket_ + text_[i + kCountAhead]);
      ++bucket_[text_[i]];
    }
    int32_t sum = 0;
    for (int32_t c = 0; c < k_; ++c) {
      const int32_t count = bucket_[c];
      bucket_[c] = ends ? sum + count : sum;
      if (kept_) kept_[c] = sum;
      sum += count;
    }
    if (kept_) kept_[k_] = sum;
    return bucket_;
  }

  const int32_t* text_;
  int32_t n_, k_;
  int32_t* free_;
  int32_t room_;
  int32_t* bucket_ = nullptr;
  int32_t* kept_ = nullptr;
  std::vector<int32_t> owned_;
};

// Calls each(p) for every LMS suffix p of text[0, n), from the last to the first.
template <typename Char, typename Each>
void ForEachLms(const Char* text, int32_t n, Each each) {
  bool nextIsS = false;  // the last suffix is L
  for (int32_t i = n - 1; i-- > 0;) {
    const bool isS = text[i] < text[i + 1] || (text[i] == text[i + 1] && nextIsS);
    if (!isS && nextIsS) each(i + 1);
    nextIsS = isS;
  }
}

// How far ahead the scans fetch what they will read at random: the letters of the suffixes they
// will reach and, in a reduced text (too many letters for the buckets to stay in the cache), the
// bucket of the letter before. Waiting for each would cost the scans most of their time.
constexpr int32_t kAhead = 32;

// Fetches the letter before suffix j. The scans fetch the bucket of that letter themselves: GCC
// finds no effect in a function that reads memory only to fetch, and drops its calls.
template <typename Char>
void FetchBefore(const Char* text, int32_t j) {
  __builtin_prefetch(text + (j > 0 ? j - 1 : 0));
}

// The left-to-right scan: each suffix j in the array, in order, places the L suffix j - 1 at the
// front of its bucket; the last suffix goes first, induced by the end marker. bucket: the starts.
// The array holds only LMS and L suffixes then (0 in an empty slot, as suffix 0 has no suffix
// before it either), and before an LMS suffix there is always an L one, so j - 1 is L exactly
// when its letter is not smaller than j's.
template <typename Char>
void InduceL(const Char* text, int32_t n, int32_t* sa, int32_t* bucket) {
  sa[bucket[text[n - 1]]++] = n - 1;
  for (int32_t i = 0; i < n; ++i) {
    if (sizeof(Char) == 1) {
      if (i + kAhead < n) FetchBefore(text, sa[i + kAhead]);
    } else {
      if (i + 2 * kAhead < n) FetchBefore(text, sa[i + 2 * kAhead]);
      const int32_t j = i + kAhead < n ? sa[i + kAhead] : 0;
      if (j > 0) __builtin_prefetch(bucket + text[j - 1]);  // its letter fetched a step before
    }
    const int32_t j = sa[i];
    if (j > 0 && text[j - 1] >= text[j]) sa[bucket[text[j - 1]]++] = j - 1;
  }
}

// The right-to-left scan: each suffix j places the S suffix j - 1 at the back of its bucket,
// rewriting the S part of every bucket. bucket: the ends. With equal letters j - 1 is of j's
// type, and j is S exactly when its slot is in the part of its bucket that this scan has written
// already (at or after bucket[its letter]): every S suffix is placed before the scan reaches it.
// With markLms an LMS suffix is placed negated, for the caller to find without reading the text
// again; the scan passes over it, rightly, as the suffix before an LMS one is L.
template <bool markLms, typename Char>
void InduceS(const Char* text, int32_t n, int32_t* sa, int32_t* bucket) {
  for (int32_t i = n; i-- > 0;) {
    if (sizeof(Char) == 1) {
      if (i >= kAhead) FetchBefore(text, sa[i - kAhead]);
    } else {
      if (i >= 2 * kAhead) FetchBefore(text, sa[i - 2 * kAhead]);
      const int32_t j = i >= kAhead ? sa[i - kAhead] : 0;
      if (j > 0) __builtin_prefetch(bucket + text[j - 1]);
    }
    const int32_t j = sa[i];
    if (j <= 0) continue;
    const Char before = text[j - 1], at = text[j];
    if (before < at || (before == at && i >= bucket[at])) {
      const bool lms = markLms && j > 1 && text[j - 2] > before;
      sa[--bucket[before]] = lms ? 1 - j : j - 1;
    }
  }
}

// Whether a[0, length) and b[0, length) are equal. The substrings compared are mostly a few
// letters long: a loop of its own, not a call of memcmp for each.
template <typename Char>
bool Equal(const Char* a, const Char* b, int32_t length) {
  for (int32_t i = 0; i < length; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// Sorts the suffixes of text[0, n) (n > 0) into sa[0, n); sa[n, n + room) is free for work (the
// reduced texts' buckets). text may lie in that free part but not in sa[0, n).
template <typename Char, typename Buckets>
void SortSuffixes(const Char* text, int32_t n, int32_t* sa, int32_t room, Buckets& buckets) {
  std::fill(sa, sa + n, 0);
  int32_t* bucket = buckets.Ends();
  int32_t lms = 0;
  ForEachLms(text, n, [&](int32_t p) {
    sa[--bucket[text[p]]] = p;
    ++lms;
  });
  // With one LMS suffix at most, the array already holds them in order, as the last step wants.
  if (lms > 1) {
    // Induced from the LMS suffixes in any order, the scans sort them by their LMS substrings
    // (each one's letters up to and with the next LMS suffix's first).
    InduceL(text, n, sa, buckets.Starts());
    InduceS<true>(text, n, sa, buckets.Ends());
    // Keep the LMS suffixes, in that order, at the front.
    for (int32_t i = 0, kept = 0; i < n; ++i)
      if (sa[i] < 0) sa[kept++] = -sa[i];
    // Name the substrings, in sorted order from 1; alike ones, of one length and the same
    // letters before the next LMS suffix's, get the same name. Their types agree too (the last
    // letter's is L in both), and their order is settled by the names that follow, which start
    // with those next letters; the end marker, smaller than every name, stands in for the next
    // letter of the one that runs to the end of the text. The length (from p to the next LMS
    // suffix or the end) and then the name are kept at lms + p / 2: LMS suffixes are at least
    // two apart, so each has its own slot, all within sa[lms, n).
    std::fill(sa + lms, sa + n, 0);
    int32_t next = n;
    ForEachLms(text, n, [&](int32_t p) {
      sa[lms + p / 2] = next - p;
      next = p;
    });
    int32_t names = 0;
    for (int32_t r = 0, previous = 0, previousLength = 0; r < lms; ++r) {
      if (r + kAhead < lms) {
        __builtin_prefetch(sa + lms + sa[r + kAhead] / 2);
        __builtin_prefetch(text + sa[r + kAhead]);
      }
      const int32_t p = sa[r];
      const int32_t length = sa[lms + p / 2];
      const bool differs =
          r == 0 || length != previousLength || !Equal(text + p, text + previous, length);
      names += differs;
      sa[lms + p / 2] = names;
      previous = p;
      previousLength = length;
    }
    // The reduced text (the names in text order, from 0) at the very end of the work array;
    // between it and sa[0, lms) is the level below's free part.
    const int32_t end = n + room;
    for (int32_t r = n, w = end; r-- > lms;)
      if (sa[r] != 0) sa[--w] = sa[r] - 1;
    int32_t* reduced = sa + end - lms;
    buckets.Release();
    if (names < lms) {
      NameBuckets below(reduced, lms, names, sa + lms, end - 2 * lms);
      SortSuffixes(reduced, lms, sa, end - 2 * lms, below);
    } else {
      for (int32_t i = 0; i < lms; ++i) sa[reduced[i]] = i;
    }
    // From the order of the reduced text's suffixes to the order of the LMS suffixes: the LMS
    // suffixes in text order take the reduced text's place.
    int32_t w = end;
    ForEachLms(text, n, [&](int32_t p) { sa[--w] = p; });
    for (int32_t i = 0; i < lms; ++i) {
      if (i + kAhead < lms) __builtin_prefetch(reduced + sa[i + kAhead]);
      sa[i] = reduced[sa[i]];
    }
    std::fill(sa + lms, sa + n, 0);
    // The sorted LMS suffixes at the backs of their buckets, the largest first. A suffix's slot
    // is never before its rank, so nothing is written over one still to be moved.
    bucket = buckets.Ends();
    for (int32_t i = lms; i-- > 0;) {
      if (i >= kAhead) __builtin_prefetch(text + sa[i - kAhead]);
      const int32_t j = sa[i];
      sa[i] = 0;
      sa[--bucket[text[j]]] = j;
    }
  }
  InduceL(text, n, sa, buckets.Starts());
  InduceS<false>(text, n, sa, buckets.Ends());
}

}  // namespace

std::vector<int32_t> SuffixArray(const uint8_t* data, size_t size) {
  if (size > static_cast<size_t>(INT32_MAX))
    throw std::length_error("suffix array of more than INT32_MAX bytes");
  std::vector<int32_t> sa(size);
  if (size == 0) return sa;
  const auto n = static_cast<int32_t>(size);
  ByteBuckets buckets(data, n);
  SortSuffixes(data, n, sa.data(), 0, buckets);
  return sa;
}

std::vector<int32_t> SuffixArray(const std::vector<uint8_t>& data) {
  return SuffixArray(data.data(), data.size());
}
