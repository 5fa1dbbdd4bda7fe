// What the LZ77 codec knows beyond the public codec.h: the densest a
// stream of each coding can be, which the carrier reader checks a stated
// size against before it takes memory for it; the stream without a header,
// for the bare carrier that has none of its own; and how far a stream
// reaches, for the check that nothing is left over past it.
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

// Appends the stream alone (no header) for `size` bytes in a known coding,
// of any size: the bare carrier states sizes past 24 bits in 32.
void append_stream(const std::uint8_t* data, std::size_t size, std::uint8_t coding, Bytes& out);

// How many bytes of `in` a stream that decodes to `out_size` bytes takes,
// counting the code byte of its last group; 0 when it does not decode.
// Reads tokens only, copies nothing.
std::size_t stream_extent(std::uint8_t coding, const std::uint8_t* in, std::size_t in_size,
                          std::size_t out_size);

}  // namespace dravik::lz77
