// Finding files that are near copies of each other, by content and not by name: a tool shipped
// under two names, one library in two folders. Tool code only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

// Hashes of data's content at places chosen by the content itself (where a rolling hash of the
// last 64 bytes has its top 10 bits clear, about one place in 1024), sorted, each once: bytes
// moved, inserted or deleted elsewhere leave the other samples as they were. Time linear in the
// size; memory some 8 bytes per KB.
std::vector<uint64_t> ContentSamples(const std::vector<uint8_t>& data);

// The samples two files have in common (both sorted, as ContentSamples gives them).
size_t SharedSamples(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b);

// The samples of the files seen so far, by sample: which file shares the most with a new one is
// found in time linear in the new one's samples, not in the number of files. A sample that more
// than kMostFiles files have (the hash of a run of zeros, say) tells no copy from another and is
// not counted.
class SampleIndex {
 public:
  static constexpr size_t kMostFiles = 8;
  // Adds file number `file` (numbers rising from 0) with its samples.
  void Add(uint32_t file, const std::vector<uint64_t>& samples);
  // The file that shares the most samples with samples (the lowest number of those that share as
  // many), and how many; shared 0 when none does.
  struct Nearest {
    uint32_t file = 0;
    size_t shared = 0;
  };
  Nearest Find(const std::vector<uint64_t>& samples) const;

 private:
  std::unordered_map<uint64_t, std::vector<uint32_t>> files_;  // at most kMostFiles + 1 each
};

// SampleIndex's answers for files that are all known before the first question (the files a
// release leaves as they were), in 8 bytes a sample where a map's node and list take some 90: a
// sample is known by its top 32 bits (another file's sample taken for one of these about once in
// 2^32 / the samples held, a wrong guess that only makes a diff that does not pay).
class FixedSampleIndex {
 public:
  // Adds file number `file` (numbers rising from 0) with its samples; none after Seal.
  void Add(uint32_t file, const std::vector<uint64_t>& samples);
  // Readies the index for Find.
  void Seal();
  SampleIndex::Nearest Find(const std::vector<uint64_t>& samples) const;

 private:
  std::vector<std::pair<uint32_t, uint32_t>> entries_;  // sample's top bits, file; sorted by Seal
};
