// MD5, for the checksums that banner headers and IMD5 wrappers store over
// their contents. Pure computation over bytes: no I/O, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dravik::md5 {

inline constexpr std::size_t kDigestSize = 16;

// A running digest, for data that arrives in pieces.
struct Context {
    std::uint32_t state[4];
    std::uint64_t length = 0;     // bytes fed so far
    std::uint8_t pending[64];     // an incomplete block
};

void init(Context& context);
void update(Context& context, const std::uint8_t* data, std::size_t size);
void finish(Context& context, std::uint8_t digest[kDigestSize]);

// The digest of one contiguous range.
void digest(const std::uint8_t* data, std::size_t size, std::uint8_t out[kDigestSize]);

}  // namespace dravik::md5
