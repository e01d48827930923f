// The copied bytes of kDeltaWordsCallsLz bodies (delta.h): matches into the copied bytes before
// them and literals, parsed for the fewest bits by the prices of the last parse.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

// A block's literals, tokens, lengths, offsets and offset bits, in the body's order.
using LzSections = std::array<std::vector<uint8_t>, 5>;

// The sections that build each of pieces (the copied bytes of consecutive blocks, each at most
// kWordBlockMax bytes), each piece's matches reaching back over the pieces before it as the
// applier's do. Throws std::bad_alloc only.
std::vector<LzSections> LzCopiedSections(const std::vector<const std::vector<uint8_t>*>& pieces);
