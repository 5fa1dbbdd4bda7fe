// LZ77 encoding, for rewrapping banner parts: a greedy matcher over the
// 4 KiB window, one candidate per 3-byte hash. Banner parts are small and
// are read by the console once, so a fast, simple parse is enough.
#include <cstring>

#include "dravik/codec.h"
#include "lib/codec/lz77_decode.h"

namespace dravik::lz77 {

namespace {

constexpr std::uint32_t kWindow = 4096;
constexpr std::uint32_t kMinMatch = 3;

std::uint32_t hash3(const std::uint8_t* p) {
    return ((p[0] << 8) ^ (p[1] << 4) ^ p[2] ^ (p[0] * 2654435761u >> 20)) & 0xFFFF;
}

// Appends one reference in `coding`. Coding 0x10 holds 3 to 18 bytes in
// two; 0x11 holds 1 to 16 in two, 17 to 272 in three and 273 to 65808 in
// four.
void put_reference(Bytes& out, std::uint32_t distance, std::uint32_t length, std::uint8_t coding) {
    const std::uint32_t d = distance - 1;
    const auto b = [&out](std::uint32_t v) { out.push_back(static_cast<std::uint8_t>(v)); };
    if (coding == kCodingShort) {
        b(((length - 3) << 4) | (d >> 8)), b(d);
    } else if (length <= 0x10) {
        b(((length - 1) << 4) | (d >> 8)), b(d);
    } else if (length < 0x111) {
        const std::uint32_t l = length - 0x11;
        b(l >> 4), b(((l & 0xF) << 4) | (d >> 8)), b(d);
    } else {
        const std::uint32_t l = length - 0x111;
        b(0x10 | (l >> 12)), b(l >> 4), b(((l & 0xF) << 4) | (d >> 8)), b(d);
    }
}

}  // namespace

void append_stream(const std::uint8_t* data, std::size_t size, std::uint8_t coding, Bytes& out) {
    const std::uint32_t max_length = coding == kCodingShort ? 0xF + 3 : 0xFFFF + 0x111;
    std::vector<std::int64_t> last(1 << 16, -1);  // latest position of each 3-byte hash
    std::size_t flags_at = 0;
    unsigned token = 0;
    for (std::size_t i = 0; i < size;) {
        if (token % 8 == 0) {
            flags_at = out.size();
            out.push_back(0);
        }
        std::uint32_t best = 0;
        std::size_t distance = 0;
        if (i + kMinMatch <= size) {
            std::int64_t& slot = last[hash3(data + i)];
            const std::int64_t candidate = slot;
            slot = static_cast<std::int64_t>(i);
            if (candidate >= 0 && i - static_cast<std::size_t>(candidate) <= kWindow) {
                const std::size_t from = static_cast<std::size_t>(candidate);
                while (best < max_length && i + best < size && data[from + best] == data[i + best])
                    ++best;
                distance = i - from;
            }
        }
        if (best >= kMinMatch) {
            // LZ77 flags references, not literals.
            out[flags_at] |= static_cast<std::uint8_t>(0x80 >> (token % 8));
            put_reference(out, static_cast<std::uint32_t>(distance), best, coding);
            for (std::size_t k = i + 1; k < i + best && k + kMinMatch <= size; ++k)
                last[hash3(data + k)] = static_cast<std::int64_t>(k);
            i += best;
        } else {
            out.push_back(data[i]);
            ++i;
        }
        ++token;
    }
}

Bytes encode(const std::uint8_t* data, std::size_t size, std::uint8_t coding) {
    if (size > kMaxDecodedSize || !coding_is_known(coding)) return {};
    Bytes out = {'L', 'Z', '7', '7', coding, static_cast<std::uint8_t>(size),
                 static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size >> 16)};
    append_stream(data, size, coding, out);
    return out;
}

}  // namespace dravik::lz77
