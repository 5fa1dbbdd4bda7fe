// What the Yaz0 decoder knows beyond the public codec.h: the densest a
// stream can be, which the carrier reader checks a stated size against
// before it takes memory for it.
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

}  // namespace dravik::yaz0
