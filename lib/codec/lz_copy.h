// Back-reference copies shared by the Yaz0 and LZ77 decoders.
//
// A reference copies `length` bytes from `distance` bytes behind the write
// position, one byte at a time in effect: when the source overlaps the bytes
// being written, the last `distance` bytes repeat. Both functions keep that
// meaning; they differ only in how far past the copy they may write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dravik::lz {

// How many bytes past `op + length` copy_wide may write. The bytes there are
// scratch: the decoder overwrites them with the output that follows.
inline constexpr std::size_t kCopySlack = 16;

// Fast copy for the middle of the output, where at least
// `length + kCopySlack` bytes are writable at `op` and `distance` bytes lie
// written behind it.
inline void copy_wide(std::uint8_t* op, std::size_t distance, std::size_t length) {
    const std::uint8_t* src = op - distance;
    std::uint8_t* const end = op + length;
    if (distance >= 16) {
        // Each 16-byte block reads only bytes written before it.
        do {
            std::memcpy(op, src, 16);
            op += 16;
            src += 16;
        } while (op < end);
    } else if (distance == 1) {
        std::memset(op, *src, length);
    } else {
        // Below 8, the output repeats with period `distance`, so it equally
        // repeats with any multiple of it: lay down one multiple of at least
        // 8 byte by byte, then copy words from that far back.
        std::size_t step = distance;
        std::uint8_t* p = op;
        if (step < 8) {
            while (step < 8) step += distance;
            for (std::size_t i = 0; i < step; ++i) op[i] = src[i];
            p = op + step;
        }
        for (; p < end; p += 8) std::memcpy(p, p - step, 8);
    }
}

// Exact copy for the end of the output: writes nothing past `op + length`.
inline void copy_exact(std::uint8_t* op, std::size_t distance, std::size_t length) {
    const std::uint8_t* src = op - distance;
    if (distance >= length) {
        std::memcpy(op, src, length);
    } else if (distance == 1) {
        std::memset(op, *src, length);
    } else {
        for (std::size_t i = 0; i < length; ++i) op[i] = src[i];
    }
}

}  // namespace dravik::lz
