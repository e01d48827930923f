#include "similar_files.h"

#include <algorithm>
#include <array>

namespace {

// A random 64-bit value per byte (splitmix64 of the byte), fixed so that every build of the tool
// samples the same places and so makes the same packages.
std::array<uint64_t, 256> GearTable() {
  std::array<uint64_t, 256> table{};
  uint64_t state = 0x9E3779B97F4A7C15u;
  for (uint64_t& value : table) {
    uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    value = z ^ (z >> 31);
  }
  return table;
}

}  // namespace

std::vector<uint64_t> ContentSamples(const std::vector<uint8_t>& data) {
  static const std::array<uint64_t, 256> gear = GearTable();
  std::vector<uint64_t> samples;
  samples.reserve(data.size() / 1024 + 1);
  // Each byte shifts the hash left by one, so after 64 bytes the older ones are gone.
  uint64_t hash = 0;
  for (size_t i = 0; i < data.size(); ++i) {
    hash = (hash << 1) + gear[data[i]];
    if (i >= 63 && (hash >> 54) == 0) samples.push_back(hash);
  }
  std::sort(samples.begin(), samples.end());
  samples.erase(std::unique(samples.begin(), samples.end()), samples.end());
  return samples;
}

size_t SharedSamples(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b) {
  size_t shared = 0;
  for (size_t i = 0, k = 0; i < a.size() && k < b.size();) {
    if (a[i] < b[k]) {
      ++i;
    } else if (b[k] < a[i]) {
      ++k;
    } else {
      ++shared, ++i, ++k;
    }
  }
  return shared;
}

namespace {

// The file with the most samples counted (the lowest number of those with as many).
SampleIndex::Nearest MostShared(const std::unordered_map<uint32_t, size_t>& counts) {
  SampleIndex::Nearest nearest;
  for (const auto& [file, shared] : counts)
    if (shared > nearest.shared || (shared == nearest.shared && file < nearest.file))
      nearest = {file, shared};
  return nearest;
}

}  // namespace

void SampleIndex::Add(uint32_t file, const std::vector<uint64_t>& samples) {
  for (uint64_t sample : samples) {
    std::vector<uint32_t>& files = files_[sample];
    if (files.size() <= kMostFiles) files.push_back(file);
  }
}

SampleIndex::Nearest SampleIndex::Find(const std::vector<uint64_t>& samples) const {
  std::unordered_map<uint32_t, size_t> counts;
  for (uint64_t sample : samples) {
    const auto found = files_.find(sample);
    if (found == files_.end() || found->second.size() > kMostFiles) continue;
    for (uint32_t file : found->second) ++counts[file];
  }
  return MostShared(counts);
}

void FixedSampleIndex::Add(uint32_t file, const std::vector<uint64_t>& samples) {
  for (uint64_t sample : samples) entries_.emplace_back(static_cast<uint32_t>(sample >> 32), file);
}

void FixedSampleIndex::Seal() {
  std::sort(entries_.begin(), entries_.end());
  entries_.shrink_to_fit();
}

SampleIndex::Nearest FixedSampleIndex::Find(const std::vector<uint64_t>& samples) const {
  std::unordered_map<uint32_t, size_t> counts;
  for (uint64_t sample : samples) {
    const auto key = static_cast<uint32_t>(sample >> 32);
    // Every file's entry for the sample, found in log time however many files have it.
    const auto range =
        std::equal_range(entries_.begin(), entries_.end(), std::make_pair(key, uint32_t{0}),
                         [](const std::pair<uint32_t, uint32_t>& a,
                            const std::pair<uint32_t, uint32_t>& b) { return a.first < b.first; });
    if (range.second - range.first > static_cast<ptrdiff_t>(SampleIndex::kMostFiles)) continue;
    for (auto at = range.first; at != range.second; ++at) ++counts[at->second];
  }
  return MostShared(counts);
}
