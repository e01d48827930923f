#include "copied_lz.h"

#include <algorithm>

#include "delta/delta.h"
#include "delta_writer.h"

namespace {

constexpr uint32_t kHashBits = 18, kHash3Bits = 16;
// Places of the same 4 bytes looked at per position, and the match length taken whole without
// trying the shorter ones: on esbuild 0.27.7 -> 0.28.0, 512 places made the package 0.25%
// smaller for half as much time again, 32 places 0.16% larger.
constexpr int kChainMax = 64;
constexpr uint32_t kLongEnough = 64;

struct Match {
  uint32_t length, offset;
};

// The offset code of a new offset and its bits' count and value.
uint32_t OffsetCode(uint32_t offset, uint32_t& bitCount, uint32_t& bits) {
  if (offset < 4) {
    bitCount = bits = 0;
    return offset + 2;
  }
  const uint32_t k = 31 - static_cast<uint32_t>(__builtin_clz(offset));
  bitCount = k - 1;
  bits = offset & ((1u << (k - 1)) - 1);
  return 6 + 2 * (k - 2) + ((offset >> (k - 1)) & 1);
}

// The token of a sequence: its literal count and match length less kLzMinMatch (0 for none),
// 15 where either goes on in lengths.
uint8_t Token(uint32_t literals, uint32_t length) {
  const uint32_t l = std::min<uint32_t>(literals, 15);
  const uint32_t m = length == 0 ? 0 : std::min<uint32_t>(length - kLzMinMatch, 15);
  return static_cast<uint8_t>(l << 4 | m);
}

// The bytes of value in LEB128.
uint32_t NumberBytes(uint64_t value) {
  uint32_t n = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++n;
  }
  return n;
}

// Prices are in sixteenths of a bit, integers so that every build parses alike (pinepack.exe's
// packages are the native tool's byte for byte).
constexpr uint32_t kBit = 16;

// log2(x) in sixteenths, for x >= 1: the integer part from the top bit, then four bits of the
// fraction by squaring.
uint32_t Log2Sixteenths(uint64_t x) {
  const uint32_t n = 63 - static_cast<uint32_t>(__builtin_clzll(x));
  uint64_t m = n >= 31 ? x >> (n - 31) : x << (31 - n);  // in [2^31, 2^32)
  uint32_t r = n * kBit;
  for (uint32_t bit = kBit / 2; bit > 0; bit >>= 1) {
    m = (m * m) >> 31;
    if (m >= (uint64_t{1} << 32)) {
      m >>= 1;
      r += bit;
    }
  }
  return r;
}

// What a symbol costs, from how often each came in the last parse (deflate codes the sections,
// so about their entropy).
struct Prices {
  uint32_t literal[256], token[256], offset[64];
};

void PricesFrom(const uint32_t* counts, size_t size, uint32_t* prices) {
  uint64_t total = 0;
  for (size_t i = 0; i < size; ++i) total += counts[i];
  const uint32_t all = Log2Sixteenths(2 * (total + size));
  for (size_t i = 0; i < size; ++i) prices[i] = all - Log2Sixteenths(2 * uint64_t{counts[i]} + 1);
}

struct Counts {
  uint32_t literal[256] = {}, token[256] = {}, offset[64] = {};
};

struct Node {
  uint32_t price;
  uint32_t from;
  uint32_t length;  // 0: a literal
  uint32_t code, offset;
  uint32_t recent[3];
  uint32_t literals;  // the literal run this node ends
};

class Parser {
 public:
  explicit Parser(const std::vector<uint8_t>& all) : all_(all), prev_(all.size(), -1) {
    head_.assign(size_t{1} << kHashBits, -1);
    head3_.assign(size_t{1} << kHash3Bits, -1);
    for (auto& p : prices_.literal) p = 7 * kBit;
    for (auto& p : prices_.token) p = 7 * kBit;
    for (auto& p : prices_.offset) p = 5 * kBit;
  }

  // The sections of the piece from start to end, or where they take more than budget bytes its
  // literals alone (the recent offsets as they were).
  LzSections Piece(size_t start, size_t end, size_t budget) {
    FindMatches(start, end);
    std::vector<Node> nodes;
    Counts counts;
    for (int pass = 0; pass < 2; ++pass) {
      Parse(start, end, nodes);
      counts = Count(start, nodes);
      PricesFrom(counts.literal, 256, prices_.literal);
      PricesFrom(counts.token, 256, prices_.token);
      PricesFrom(counts.offset, 64, prices_.offset);
    }
    uint32_t recent[3];
    std::copy(recent_, recent_ + 3, recent);
    LzSections s = Emit(start, nodes);
    size_t size = 0;
    for (const auto& section : s) size += section.size();
    if (size <= budget) return s;
    std::copy(recent, recent + 3, recent_);
    return LiteralsAlone(start, end);
  }

  // A piece as one run of literals.
  LzSections LiteralsAlone(size_t start, size_t end) const {
    LzSections s;
    if (end == start) return s;
    const size_t count = end - start;
    s[0].assign(all_.begin() + start, all_.begin() + end);
    s[1].push_back(Token(static_cast<uint32_t>(count), 0));
    if (count >= 15) PutNumber(s[2], count - 15);
    return s;
  }

 private:
  // Hashes of the 3 and 4 bytes at i (4 only where there are).
  uint32_t Hash3(size_t i) const {
    const uint32_t v = all_[i] | all_[i + 1] << 8 | all_[i + 2] << 16;
    return (v * 2654435761u) >> (32 - kHash3Bits);
  }
  uint32_t Hash4(size_t i) const {
    const uint32_t v = all_[i] | all_[i + 1] << 8 | all_[i + 2] << 16 | uint32_t{all_[i + 3]} << 24;
    return (v * 2654435761u) >> (32 - kHashBits);
  }

  // Per position of the piece, matches of increasing length that end within it: the nearest
  // place of the same 3 bytes, then places of the same 4 bytes from the nearest back (so that
  // the many repeats of common 3 bytes do not use up the places looked at). Inside a match of
  // kLongEnough or more nothing is looked for (the parse takes it whole): a run of one byte
  // would otherwise be measured again from each of its places, in time its square.
  void FindMatches(size_t start, size_t end) {
    firstMatch_.assign(end - start + 1, 0);
    matches_.clear();
    const uint8_t* p = all_.data();
    size_t inside = start;  // positions before this lie inside a long match
    for (size_t i = start; i < end; ++i) {
      firstMatch_[i - start] = static_cast<uint32_t>(matches_.size());
      if (i + kLzMinMatch > all_.size()) continue;
      const size_t limit = end - i;
      uint32_t best = kLzMinMatch - 1;
      const auto look = [&](int64_t j) {
        if (best >= limit || p[j + best] != p[i + best]) return;
        uint32_t length = 0;
        while (length < limit && p[j + length] == p[i + length]) ++length;
        if (length > best) {
          best = length;
          matches_.push_back({length, static_cast<uint32_t>(i - j)});
        }
      };
      const uint32_t h3 = Hash3(i);
      const int64_t near = head3_[h3];
      head3_[h3] = static_cast<int32_t>(i);
      if (i >= inside && near >= 0 && static_cast<int64_t>(i) - near <= kLzWindow) look(near);
      if (i + 4 > all_.size()) continue;
      const uint32_t h = Hash4(i);
      int64_t j = i >= inside ? head_[h] : -1;
      for (int chain = 0; j >= 0 && static_cast<int64_t>(i) - j <= kLzWindow && chain < kChainMax &&
                          best < kLongEnough && best < limit;
           ++chain) {
        if (j != near) look(j);
        j = prev_[j];
      }
      prev_[i] = head_[h];
      head_[h] = static_cast<int32_t>(i);
      if (best >= kLongEnough) inside = i + best;
    }
    firstMatch_[end - start] = static_cast<uint32_t>(matches_.size());
  }

  // A token's price with the rest of its match length (the rest of its literal count goes with
  // the literals: RunRestPrice).
  uint32_t TokenPrice(uint32_t literals, uint32_t length) const {
    uint32_t price = prices_.token[Token(literals, length)];
    if (length >= kLzMinMatch + 15) price += 8 * kBit * NumberBytes(length - kLzMinMatch - 15);
    return price;
  }

  // What the rest of a literal count costs in lengths: every run pays it, whether a match or the
  // piece's end ends it.
  static uint32_t RunRestPrice(uint32_t literals) {
    return literals < 15 ? 0 : 8 * kBit * NumberBytes(literals - 15);
  }

  static void Reach(Node& to, const Node& from, uint32_t price, uint32_t at, uint32_t length,
                    uint32_t code, uint32_t offset) {
    if (price >= to.price) return;
    to.price = price;
    to.from = at;
    to.length = length;
    to.code = code;
    to.offset = offset;
    to.literals = 0;
    to.recent[0] = offset;
    if (code == 0) {
      to.recent[1] = from.recent[1];
      to.recent[2] = from.recent[2];
    } else if (code == 1) {
      to.recent[1] = from.recent[0];
      to.recent[2] = from.recent[2];
    } else {
      to.recent[1] = from.recent[0];
      to.recent[2] = from.recent[1];
    }
  }

  // The cheapest way through the piece by the prices, nodes[k] the best arrival at start + k.
  void Parse(size_t start, size_t end, std::vector<Node>& nodes) const {
    const size_t n = end - start;
    nodes.assign(n + 1, Node{});
    for (Node& node : nodes) node.price = UINT32_MAX;
    nodes[0].price = 0;
    std::copy(recent_, recent_ + 3, nodes[0].recent);
    const uint8_t* p = all_.data();
    size_t inside = 0;  // arrivals before this lie inside a long match, taken whole
    for (size_t k = 0; k < n; ++k) {
      if (k < inside) continue;
      const Node& a = nodes[k];
      const size_t i = start + k;
      Node& next = nodes[k + 1];
      const uint32_t literal =
          a.price + prices_.literal[p[i]] + RunRestPrice(a.literals + 1) - RunRestPrice(a.literals);
      if (literal < next.price) {
        next = a;
        next.price = literal;
        next.from = static_cast<uint32_t>(k);
        next.length = 0;
        next.literals = a.literals + 1;
      }
      const size_t limit = n - k;
      uint32_t longestRecent = 0;
      for (uint32_t r = 0; r < 3; ++r) {
        const uint32_t offset = a.recent[r];
        if (offset > i || offset > kLzWindow) continue;
        uint32_t length = 0;
        while (length < limit && p[i + length] == p[i + length - offset]) ++length;
        if (length < kLzMinMatch) continue;
        const uint32_t base = a.price + prices_.offset[r];
        for (uint32_t l = kLzMinMatch; l <= length;
             l = l < kLongEnough || l == length ? l + 1 : length)
          Reach(nodes[k + l], a, base + TokenPrice(a.literals, l), static_cast<uint32_t>(k), l, r,
                offset);
        longestRecent = std::max(longestRecent, length);
      }
      if (longestRecent >= kLongEnough) {
        inside = k + longestRecent;
        continue;
      }
      uint32_t shorter = kLzMinMatch - 1;
      for (uint32_t m = firstMatch_[k]; m < firstMatch_[k + 1]; ++m) {
        const Match& match = matches_[m];
        uint32_t bitCount, bits;
        const uint32_t code = OffsetCode(match.offset, bitCount, bits);
        const uint32_t base = a.price + prices_.offset[code] + bitCount * kBit;
        for (uint32_t l = shorter + 1; l <= match.length;
             l = l < kLongEnough || l == match.length ? l + 1 : match.length)
          Reach(nodes[k + l], a, base + TokenPrice(a.literals, l), static_cast<uint32_t>(k), l,
                code, match.offset);
        shorter = match.length;
        if (match.length >= kLongEnough) inside = k + match.length;
      }
    }
  }

  // The arrivals on the way the parse chose, first to last.
  std::vector<uint32_t> Way(const std::vector<Node>& nodes) const {
    std::vector<uint32_t> way;
    for (size_t k = nodes.size() - 1; k > 0; k = nodes[k].from)
      way.push_back(static_cast<uint32_t>(k));
    std::reverse(way.begin(), way.end());
    return way;
  }

  Counts Count(size_t start, const std::vector<Node>& nodes) const {
    Counts counts;
    uint32_t literals = 0;
    for (uint32_t k : Way(nodes)) {
      const Node& node = nodes[k];
      if (node.length == 0) {
        ++counts.literal[all_[start + k - 1]];
        ++literals;
        continue;
      }
      ++counts.token[Token(literals, node.length)];
      ++counts.offset[node.code];
      literals = 0;
    }
    return counts;
  }

  LzSections Emit(size_t start, const std::vector<Node>& nodes) {
    LzSections s;
    uint64_t held = 0;
    uint32_t bitsHeld = 0;
    size_t runStart = start;
    uint32_t literals = 0;
    const auto token = [&](uint32_t length) {
      s[1].push_back(Token(literals, length));
      if (literals >= 15) PutNumber(s[2], literals - 15);
      if (length >= kLzMinMatch + 15) PutNumber(s[2], length - kLzMinMatch - 15);
      s[0].insert(s[0].end(), all_.begin() + runStart, all_.begin() + runStart + literals);
    };
    for (uint32_t k : Way(nodes)) {
      const Node& node = nodes[k];
      if (node.length == 0) {
        if (literals++ == 0) runStart = start + k - 1;
        continue;
      }
      token(node.length);
      s[3].push_back(static_cast<uint8_t>(node.code));
      if (node.code >= 3) {
        uint32_t bitCount, bits;
        OffsetCode(node.offset, bitCount, bits);
        held |= uint64_t{bits} << bitsHeld;
        bitsHeld += bitCount;
        for (; bitsHeld >= 8; bitsHeld -= 8, held >>= 8) s[4].push_back(static_cast<uint8_t>(held));
      }
      literals = 0;
    }
    if (literals > 0) token(0);
    if (bitsHeld > 0) s[4].push_back(static_cast<uint8_t>(held));
    std::copy(nodes.back().recent, nodes.back().recent + 3, recent_);
    return s;
  }

  const std::vector<uint8_t>& all_;
  std::vector<int32_t> head_, prev_, head3_;
  std::vector<uint32_t> firstMatch_;
  std::vector<Match> matches_;
  Prices prices_;
  uint32_t recent_[3] = {1, 4, 8};
};

}  // namespace

std::vector<LzSections> LzCopiedSections(const std::vector<const std::vector<uint8_t>*>& pieces,
                                         const std::vector<size_t>& budgets) {
  std::vector<uint8_t> all;
  for (const auto* piece : pieces) all.insert(all.end(), piece->begin(), piece->end());
  Parser parser(all);
  std::vector<LzSections> sections;
  size_t at = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    sections.push_back(parser.Piece(at, at + pieces[i]->size(), budgets[i]));
    at += pieces[i]->size();
  }
  return sections;
}
