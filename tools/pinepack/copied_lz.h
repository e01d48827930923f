// The copied bytes of kDeltaWordsCallsLz bodies (delta.h): matches into the copied bytes before
// them and literals, parsed for the fewest bits by the prices of the last parse.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// A block's literals, tokens, lengths, offsets and offset bits, in the body's order.
using LzSections = std::array<std::vector<uint8_t>, 5>;

// Literals alone take at most this many bytes more than the piece: a token and a count's rest.
constexpr size_t kLzLiteralsOver = 4;

// The sections that build each of pieces (the copied bytes of consecutive blocks, each at most
// kWordBlockMax bytes), each piece's matches reaching back over the pieces before it as the
// applier's do. Piece i goes as its literals alone where the parse's sections would take more
// than budgets[i] bytes (a budget of its size plus kLzLiteralsOver always holds them). Throws
// std::bad_alloc only.
std::vector<LzSections> LzCopiedSections(const std::vector<const std::vector<uint8_t>*>& pieces,
                                         const std::vector<size_t>& budgets);
