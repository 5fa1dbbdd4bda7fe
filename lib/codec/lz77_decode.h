// What the LZ77 decoder knows beyond the public codec.h: the densest a
// stream of each coding can be, which the carrier reader checks a stated
// size against before it takes memory for it.
#pragma once

#include <cstdint>

#include "dravik/codec.h"

namespace dravik::lz77 {

// The most output one byte of stream can yield: with coding 0x10 a
// two-byte reference copies at most 18 bytes (9 a byte); with 0x11 a
// four-byte reference copies at most 0xFFFF + 0x111 = 65808 bytes (16452 a
// byte).
std::uint64_t max_expansion(std::uint8_t coding);
// Whether `stream_size` bytes following the header could decode to `decoded`.
bool size_is_possible(std::uint8_t coding, std::uint64_t decoded, std::uint64_t stream_size);

}  // namespace dravik::lz77
