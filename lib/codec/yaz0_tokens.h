// What the Yaz0 encoder's levels share: the token forms and their costs,
// a block's coded tokens, and the small helpers every match finder uses.
// Internal to the encoder.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace dravik::yaz0 {

// What a token can say.
constexpr std::uint32_t kWindow = 4096;  // farthest distance
constexpr std::uint32_t kMinMatch = 3;
constexpr std::uint32_t kMaxShort = 17;  // longest length of the two-byte form
constexpr std::uint32_t kMinLong = 18;
constexpr std::uint32_t kMaxMatch = 0xFF + kMinLong;

// What a token costs, in bits, its flag bit included. The stream after the
// header takes exactly ceil(bits / 8) bytes, so the fewest bits is the
// fewest bytes.
constexpr std::uint32_t kLiteralBits = 9;
constexpr std::uint32_t kShortBits = 17;
constexpr std::uint32_t kLongBits = 25;

// Match finders store positions plus kBias, so that 0 means "none" and is
// farther than the window from every real position.
constexpr std::uint32_t kBias = 2 * kWindow;
constexpr std::uint32_t kSlots = 2 * kWindow;  // cyclic, larger than the window
constexpr std::uint32_t kSlotMask = kSlots - 1;

struct Match {
    std::uint16_t length = 0;  // 0 when no match of kMinMatch or more
    std::uint16_t distance = 0;
};

namespace detail {

// The position of the lowest set bit of a 64-bit word, by a de Bruijn
// sequence: isolating the bit and multiplying by the sequence puts a
// different 6-bit pattern in the top bits for each position.
constexpr std::uint64_t kDeBruijn = 0x03F79D71B4CB0A89ull;
struct LowestBitTable {
    std::uint8_t at[64] = {};
    constexpr LowestBitTable() {
        for (unsigned i = 0; i < 64; ++i) at[((std::uint64_t{1} << i) * kDeBruijn) >> 58] = static_cast<std::uint8_t>(i);
    }
};
constexpr LowestBitTable kLowestBit{};

inline unsigned lowest_bit(std::uint64_t x) { return kLowestBit.at[((x & (~x + 1)) * kDeBruijn) >> 58]; }

inline unsigned highest_bit(std::uint64_t x) {
    x |= x >> 1;
    x |= x >> 2;
    x |= x >> 4;
    x |= x >> 8;
    x |= x >> 16;
    x |= x >> 32;
    return lowest_bit(x ^ (x >> 1));
}

inline bool little_endian() {
    const std::uint16_t one = 1;
    std::uint8_t first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

}  // namespace detail

// How many bytes from a and b agree, at most `limit`. Words are compared
// eight bytes at a time; on a little-endian machine the first differing
// byte of a word is its lowest differing bit's byte.
inline std::uint32_t common_length(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t limit) {
    const bool little = detail::little_endian();  // folds to a constant
    std::uint32_t n = 0;
    while (n + 8 <= limit) {
        std::uint64_t x, y;
        std::memcpy(&x, a + n, 8);
        std::memcpy(&y, b + n, 8);
        const std::uint64_t diff = x ^ y;
        if (diff != 0) {
            if (!little) break;
            return n + (detail::lowest_bit(diff) >> 3);
        }
        n += 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

inline std::uint32_t limit_at(std::size_t p, std::size_t total) {
    return static_cast<std::uint32_t>(std::min<std::size_t>(kMaxMatch, total - p));
}

// Writes a match's bytes, in the shortest form that holds its length, and
// returns how many.
inline std::uint32_t match_bytes(std::uint32_t distance, std::uint32_t length, std::uint8_t* out) {
    const std::uint32_t r = distance - 1;
    if (length <= kMaxShort) {
        out[0] = static_cast<std::uint8_t>(((length - 2) << 4) | (r >> 8));
        out[1] = static_cast<std::uint8_t>(r);
        return 2;
    }
    out[0] = static_cast<std::uint8_t>(r >> 8);
    out[1] = static_cast<std::uint8_t>(r);
    out[2] = static_cast<std::uint8_t>(length - kMinLong);
    return 3;
}

// A block's tokens in a form that can be cut into flag groups at any
// phase: the flag bits (1 = literal, most significant first) and the token
// bytes end to end. A token's size follows from its bytes: a literal is one
// byte, a match two when its first byte's high nibble (length - 2) is not
// zero, else three.
struct Tokens {
    std::vector<std::uint8_t> flags;
    std::vector<std::uint8_t> bytes;
    std::uint32_t count = 0;
    std::uint32_t used = 0;

    // Room for a block of `n` bytes: never more than one token and one byte
    // of token per input byte.
    void reserve(std::size_t n) {
        flags.resize(n / 8 + 1);
        bytes.resize(n + 4);  // the last token may reach past the block
    }
    void clear(std::size_t n) {
        std::fill(flags.begin(), flags.begin() + static_cast<std::ptrdiff_t>(n / 8 + 1), 0);
        count = used = 0;
    }
    void literal(std::uint8_t byte) {
        flags[count >> 3] |= static_cast<std::uint8_t>(0x80u >> (count & 7));
        ++count;
        bytes[used++] = byte;
    }
    void match(std::uint32_t distance, std::uint32_t length) {
        ++count;
        used += match_bytes(distance, length, &bytes[used]);
    }
    bool is_literal(std::uint32_t i) const { return (flags[i >> 3] >> (7 - (i & 7))) & 1; }
    // The size of token i, whose bytes start at `at`.
    std::uint32_t size(std::uint32_t i, std::uint32_t at) const {
        return is_literal(i) ? 1 : bytes[at] >= 0x10 ? 2 : 3;
    }
};

// The `fast` level's state, kept from block to block so that its tables are
// allocated once per thread.
struct FastState {
    std::vector<std::uint32_t> long_head, long_prev;    // the chains keyed by 8 bytes
    std::vector<std::uint32_t> short_head, short_prev;  // by 4 bytes
    std::vector<std::uint32_t> three;                   // the last place of each 3-byte hash
};

// The exact finder's state, kept from block to block.
struct ExactState {
    std::vector<std::int32_t> sa, rank;
    std::vector<std::uint64_t> words, summary;
};

// The `default` level's state: the chains' heads and links, the newest
// place of each 3-byte hash, and runs: by pattern (the longest in the
// window and the newest, two places and their extents per key) and by
// extent and the bytes after them.
struct DefaultState {
    std::vector<std::uint32_t> head, prev, three, run_at, run_end;
    std::vector<std::uint16_t> run_length;
};

// A match at every position p of buf[start, total) close to the longest,
// and never shorter than the previous position's less one, into
// matches[p - start]; positions before `start` are history.
void find_default(const std::uint8_t* buf, std::size_t start, std::size_t total, DefaultState& state,
                  Match* matches);

// The longest match at every position p of buf[start, total), into
// matches[p - start]; positions before `start` are history.
void find_longest(const std::uint8_t* buf, std::size_t start, std::size_t total, ExactState& state,
                  Match* matches);

// Codes buf[start, end) greedily, buf[0, start) serving as history.
void code_fast(const std::uint8_t* buf, std::size_t start, std::size_t end, FastState& state, Tokens& out);

}  // namespace dravik::yaz0
