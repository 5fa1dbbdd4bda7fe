// LZ77 as found inside IMD5-wrapped banner parts: the "LZ77" magic, then a
// stream in Nintendo's LZ10 (type 0x10) or LZ11 (type 0x11) coding. Pure
// decoding over byte ranges: no I/O, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dravik::lz77 {

// Header: the magic, a type byte, then the decoded size as 24 bits
// little-endian.
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::uint8_t kTypeShort = 0x10;
inline constexpr std::uint8_t kTypeExtended = 0x11;

// Needs 4 bytes.
bool has_magic(const std::uint8_t* data);
// Need kHeaderSize bytes.
std::uint8_t stream_type(const std::uint8_t* header);
std::uint32_t decoded_size(const std::uint8_t* header);
bool type_is_known(std::uint8_t type);

// The most output one byte of stream can yield: with type 0x10 a two-byte
// reference copies at most 18 bytes (9 a byte); with type 0x11 a four-byte
// reference copies at most 0xFFFF + 0x111 = 65808 bytes (16452 a byte).
std::uint64_t max_expansion(std::uint8_t type);
// Whether `stream_size` bytes following the header could decode to `decoded`.
bool size_is_possible(std::uint8_t type, std::uint64_t decoded, std::uint64_t stream_size);

// Decodes the stream of a known `type` that follows the header into exactly
// `out_size` bytes. Returns false when the stream ends too soon or a
// reference reaches before the start of the output. Reads only inside `in`,
// writes only inside `out`, whatever the bytes; a last reference longer than
// the space left is cut to fit.
bool decode(std::uint8_t type, const std::uint8_t* in, std::size_t in_size, std::uint8_t* out,
            std::size_t out_size);

}  // namespace dravik::lz77
