// Yaz0, the compression of .szs files and of many .arc files. Pure decoding
// over byte ranges: no I/O, no allocation, so it can be tested and fuzzed on
// its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dravik::yaz0 {

// Header: the magic, the decoded size (big-endian), 8 reserved bytes.
inline constexpr std::size_t kHeaderSize = 16;

// The most output one byte of stream can yield: a three-byte reference
// copies at most 0xFF + 0x12 = 273 bytes. Literals and group code bytes
// yield less, so no stream of n bytes decodes to more than 91 * n.
inline constexpr std::uint64_t kMaxExpansion = 91;

// Needs 4 bytes.
bool has_magic(const std::uint8_t* data);
// Needs kHeaderSize bytes.
std::uint32_t decoded_size(const std::uint8_t* header);
// Whether `stream_size` bytes following the header could decode to `decoded`.
bool size_is_possible(std::uint64_t decoded, std::uint64_t stream_size);

// Decodes the stream that follows the header into exactly `out_size` bytes.
// Returns false when the stream ends too soon or a reference reaches before
// the start of the output. Reads only inside `in`, writes only inside `out`,
// whatever the bytes. A last reference longer than the space left is cut to
// fit, as the stream's own size field is what counts.
bool decode(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t out_size);

}  // namespace dravik::yaz0
