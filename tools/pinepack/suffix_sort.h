// Suffix sorting for the delta writer's match finder (delta_writer.cpp): the same linear-time
// induced sorting in every build of pinepack, native and Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The suffix array of data[0, size): the start of every suffix, in lexicographic order of the
// suffixes (bytes compared unsigned; a suffix that is a prefix of another comes first). Empty
// for an empty input. Throws std::length_error when size is over INT32_MAX.
// Time linear in size. Memory: the returned array (4 bytes an input byte) and a few kilobytes;
// only an input whose reduced problem leaves too little room inside that array for its letters'
// buckets takes more, at most 2 bytes an input byte (suffix_sort.cpp).
std::vector<int32_t> SuffixArray(const uint8_t* data, size_t size);
std::vector<int32_t> SuffixArray(const std::vector<uint8_t>& data);
