#include "lib/codec/yaz0_decode.h"

#include <cstring>

#include "lib/codec/lz_copy.h"
#include "lib/u8/u8_format.h"

namespace dravik::yaz0 {

namespace {

constexpr std::size_t kGroupTokens = 8;
constexpr std::size_t kMaxTokenInput = 3;
constexpr std::size_t kMaxTokenOutput = 0xFF + 0x12;
// Room for a whole group, so the fast loop checks bounds once per group.
constexpr std::size_t kFastInput = 1 + kGroupTokens * kMaxTokenInput;
constexpr std::size_t kFastOutput = kGroupTokens * kMaxTokenOutput + lz::kCopySlack;

// How many literals a code byte starts with: its leading one bits.
constexpr struct LeadingOnes {
    std::uint8_t count[256];
    constexpr LeadingOnes() : count() {
        for (unsigned v = 0; v < 256; ++v)
            for (unsigned bit = 0x80; bit != 0 && (v & bit); bit >>= 1) ++count[v];
    }
    constexpr std::size_t operator[](unsigned v) const { return count[v]; }
} kLeadingOnes;

}  // namespace

bool has_magic(const std::uint8_t* data) { return std::memcmp(data, "Yaz0", 4) == 0; }

std::uint32_t decoded_size(const std::uint8_t* header) { return u8::be32(header + 4); }

bool size_is_possible(std::uint64_t decoded, std::uint64_t stream_size) {
    // Divide rather than multiply, so no input size can overflow.
    return (decoded + kMaxExpansion - 1) / kMaxExpansion <= stream_size;
}

bool decode(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t out_size) {
    const std::uint8_t* ip = in;
    const std::uint8_t* const in_end = in + in_size;
    std::uint8_t* op = out;
    std::uint8_t* const out_end = out + out_size;

    // The hot loop: a whole group's input (and 8 bytes more) is there and
    // its largest output fits with slack, so tokens need no bounds checks,
    // only the check that a reference stays inside what has been written.
    // A run of literals is copied as one 8-byte word and the pointers moved
    // by the run's length, which saves a branch per literal.
    while (static_cast<std::size_t>(in_end - ip) >= kFastInput + 8 &&
           static_cast<std::size_t>(out_end - op) >= kFastOutput) {
        unsigned code = *ip++;  // bits not yet used sit at the top; used ones shift out as 0
        std::size_t left = kGroupTokens;
        for (;;) {
            const std::size_t run = kLeadingOnes[code];
            std::memcpy(op, ip, 8);
            op += run;
            ip += run;
            if (run >= left) break;
            left -= run + 1;
            code = (code << (run + 1)) & 0xFF;

            const unsigned b1 = ip[0];
            const std::size_t distance = (((b1 & 0x0F) << 8) | ip[1]) + 1;
            std::size_t length = b1 >> 4;
            if (length == 0) {
                length = std::size_t{ip[2]} + 0x12;
                ip += 3;
            } else {
                length += 2;
                ip += 2;
            }
            if (distance > static_cast<std::size_t>(op - out)) return false;
            lz::copy_wide(op, distance, length);
            op += length;
            if (left == 0) break;
        }
    }

    // The tail, every read and write checked.
    while (op < out_end) {
        if (ip == in_end) return false;
        unsigned code = *ip++;
        for (std::size_t t = 0; t < kGroupTokens && op < out_end; ++t, code <<= 1) {
            if (code & 0x80) {
                if (ip == in_end) return false;
                *op++ = *ip++;
                continue;
            }
            if (in_end - ip < 2) return false;
            const unsigned b1 = ip[0];
            const std::size_t distance = (((b1 & 0x0F) << 8) | ip[1]) + 1;
            std::size_t length = b1 >> 4;
            ip += 2;
            if (length == 0) {
                if (ip == in_end) return false;
                length = std::size_t{*ip++} + 0x12;
            } else {
                length += 2;
            }
            if (distance > static_cast<std::size_t>(op - out)) return false;
            const std::size_t room = static_cast<std::size_t>(out_end - op);
            if (length > room) length = room;
            lz::copy_exact(op, distance, length);
            op += length;
        }
    }
    return true;
}

std::size_t stream_extent(const std::uint8_t* in, std::size_t in_size, std::size_t out_size) {
    std::size_t ip = 0;
    std::size_t produced = 0;
    while (produced < out_size) {
        if (ip == in_size) return 0;
        unsigned code = in[ip++];
        for (std::size_t t = 0; t < kGroupTokens && produced < out_size; ++t, code <<= 1) {
            if (code & 0x80) {
                if (ip == in_size) return 0;
                ++ip;
                ++produced;
                continue;
            }
            if (in_size - ip < 2) return 0;
            std::size_t length = in[ip] >> 4;
            ip += 2;
            if (length == 0) {
                if (ip == in_size) return 0;
                length = std::size_t{in[ip++]} + 0x12;
            } else {
                length += 2;
            }
            produced += length < out_size - produced ? length : out_size - produced;
        }
    }
    return ip;
}

bool decompress(const std::uint8_t* file, std::size_t size, Bytes& out) {
    if (size < kHeaderSize || !has_magic(file)) return false;
    const std::uint32_t decoded = decoded_size(file);
    if (!size_is_possible(decoded, size - kHeaderSize)) return false;
    out.resize(decoded);
    return decode(file + kHeaderSize, size - kHeaderSize, out.data(), out.size());
}

}  // namespace dravik::yaz0
