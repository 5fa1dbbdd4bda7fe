// What the Yaz0 decoder knows beyond the public codec.h: the densest a
// stream can be, which the carrier reader checks a stated size against
// before it takes memory for it, and how far a stream reaches.
#pragma once

#include <cstdint>

#include "dravik/codec.h"

namespace dravik::yaz0 {

// The most output one byte of stream can yield: a three-byte reference
// copies at most 0xFF + 0x12 = 273 bytes. Literals and group code bytes
// yield less, so no stream of n bytes decodes to more than 91 * n.
inline constexpr std::uint64_t kMaxExpansion = 91;

// Whether `stream_size` bytes following the header could decode to `decoded`.
bool size_is_possible(std::uint64_t decoded, std::uint64_t stream_size);

// How many bytes of `in` a stream that decodes to `out_size` bytes takes,
// counting the code byte of its last group; 0 when it does not decode.
// Reads tokens only, copies nothing: for the check that nothing is left
// over past a stream's end.
std::size_t stream_extent(const std::uint8_t* in, std::size_t in_size, std::size_t out_size);

}  // namespace dravik::yaz0
