#include "lib/codec/lz77_decode.h"

#include <cstring>

#include "lib/codec/lz_copy.h"

namespace dravik::lz77 {

namespace {

constexpr std::size_t kGroupTokens = 8;
constexpr std::size_t kMaxTokenInput = 4;
// A whole group's input, so the fast loop checks the input once per group.
constexpr std::size_t kFastInput = 1 + kGroupTokens * kMaxTokenInput;

struct Reference {
    std::size_t length;
    std::size_t distance;
    std::size_t bytes;  // how many stream bytes the reference takes
};

// Reads one reference from `p`, which holds at least `available` bytes.
// Returns false when the reference needs more bytes than that.
template <bool kExtended>
bool read_reference(const std::uint8_t* p, std::size_t available, Reference* r) {
    if (available < 2) return false;
    const unsigned b1 = p[0];
    if (kExtended && (b1 >> 4) == 0) {
        if (available < 3) return false;
        r->length = (((b1 & 0x0F) << 4) | (p[1] >> 4)) + 0x11;
        r->distance = (((p[1] & 0x0Fu) << 8) | p[2]) + 1;
        r->bytes = 3;
    } else if (kExtended && (b1 >> 4) == 1) {
        if (available < 4) return false;
        r->length = (((b1 & 0x0F) << 12) | (unsigned{p[1]} << 4) | (p[2] >> 4)) + 0x111;
        r->distance = (((p[2] & 0x0Fu) << 8) | p[3]) + 1;
        r->bytes = 4;
    } else {
        r->length = (b1 >> 4) + (kExtended ? 1 : 3);
        r->distance = (((b1 & 0x0F) << 8) | p[1]) + 1;
        r->bytes = 2;
    }
    return true;
}

template <bool kExtended>
bool decode_stream(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out,
                   std::size_t out_size) {
    const std::uint8_t* ip = in;
    const std::uint8_t* const in_end = in + in_size;
    std::uint8_t* op = out;
    std::uint8_t* const out_end = out + out_size;

    while (op < out_end) {
        if (ip == in_end) return false;
        // With a whole group's input at hand, tokens skip the input checks;
        // the output is checked per token, since one LZ11 reference alone
        // can fill 64 KiB.
        const bool whole_group = static_cast<std::size_t>(in_end - ip) >= kFastInput;
        unsigned flags = *ip++;
        for (std::size_t t = 0; t < kGroupTokens && op < out_end; ++t, flags <<= 1) {
            if (!(flags & 0x80)) {
                if (!whole_group && ip == in_end) return false;
                *op++ = *ip++;
                continue;
            }
            Reference r;
            const std::size_t available =
                whole_group ? kMaxTokenInput : static_cast<std::size_t>(in_end - ip);
            if (!read_reference<kExtended>(ip, available, &r)) return false;
            ip += r.bytes;
            if (r.distance > static_cast<std::size_t>(op - out)) return false;
            const std::size_t room = static_cast<std::size_t>(out_end - op);
            if (r.length + lz::kCopySlack <= room) {
                lz::copy_wide(op, r.distance, r.length);
            } else {
                if (r.length > room) r.length = room;
                lz::copy_exact(op, r.distance, r.length);
            }
            op += r.length;
        }
    }
    return true;
}

}  // namespace

bool has_magic(const std::uint8_t* data) { return std::memcmp(data, "LZ77", 4) == 0; }

std::uint8_t coding(const std::uint8_t* header) { return header[4]; }

std::uint32_t decoded_size(const std::uint8_t* header) {
    return std::uint32_t{header[5]} | (std::uint32_t{header[6]} << 8) |
           (std::uint32_t{header[7]} << 16);
}

bool coding_is_known(std::uint8_t type) { return type == kCodingShort || type == kCodingExtended; }

std::uint64_t max_expansion(std::uint8_t type) { return type == kCodingExtended ? 16452 : 9; }

bool size_is_possible(std::uint8_t type, std::uint64_t decoded, std::uint64_t stream_size) {
    const std::uint64_t ratio = max_expansion(type);
    return (decoded + ratio - 1) / ratio <= stream_size;
}

bool decode(std::uint8_t type, const std::uint8_t* in, std::size_t in_size, std::uint8_t* out,
            std::size_t out_size) {
    if (type == kCodingExtended) return decode_stream<true>(in, in_size, out, out_size);
    if (type == kCodingShort) return decode_stream<false>(in, in_size, out, out_size);
    return false;
}

std::size_t stream_extent(std::uint8_t type, const std::uint8_t* in, std::size_t in_size,
                          std::size_t out_size) {
    if (!coding_is_known(type)) return 0;
    const bool extended = type == kCodingExtended;
    std::size_t ip = 0;
    std::size_t produced = 0;
    while (produced < out_size) {
        if (ip == in_size) return 0;
        unsigned flags = in[ip++];
        for (std::size_t t = 0; t < kGroupTokens && produced < out_size; ++t, flags <<= 1) {
            if (!(flags & 0x80)) {
                if (ip == in_size) return 0;
                ++ip;
                ++produced;
                continue;
            }
            Reference r;
            const bool read = extended ? read_reference<true>(in + ip, in_size - ip, &r)
                                       : read_reference<false>(in + ip, in_size - ip, &r);
            if (!read) return 0;
            ip += r.bytes;
            produced += r.length < out_size - produced ? r.length : out_size - produced;
        }
    }
    return ip;
}

bool decompress(const std::uint8_t* file, std::size_t size, Bytes& out) {
    if (size < kHeaderSize || !has_magic(file)) return false;
    const std::uint8_t type = coding(file);
    const std::uint32_t decoded = decoded_size(file);
    if (!coding_is_known(type) || !size_is_possible(type, decoded, size - kHeaderSize)) return false;
    out.resize(decoded);
    return decode(type, file + kHeaderSize, size - kHeaderSize, out.data(), out.size());
}

}  // namespace dravik::lz77
