// Finding files that are near copies of each other, by content and not by name: a tool shipped
// under two names, one library in two folders. Tool code only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Hashes of data's content at places chosen by the content itself (where a rolling hash of the
// last 64 bytes has its top 10 bits clear, about one place in 1024), sorted, each once: bytes
// moved, inserted or deleted elsewhere leave the other samples as they were. Time linear in the
// size; memory some 8 bytes per KB.
std::vector<uint64_t> ContentSamples(const std::vector<uint8_t>& data);

// The samples two files have in common (both sorted, as ContentSamples gives them).
size_t SharedSamples(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b);
