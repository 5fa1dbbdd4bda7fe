#include "yaz0_reference.h"

#include <algorithm>

namespace fixture {

std::uint64_t yaz0_minimum_size(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kWindow = 4096;
    constexpr std::uint16_t kMaxLength = 273;
    // run[e] is how far the bytes from position i agree with those from
    // i - kWindow + e, capped at 273; from i + 1 to i it grows by one where
    // the bytes at i agree and drops to 0 where they do not.
    std::vector<std::uint16_t> run(kWindow, 0);
    std::vector<std::uint16_t> longest(size, 0);
    for (std::size_t i = size; i-- > 0;) {
        const std::size_t first = i >= kWindow ? 0 : kWindow - i;  // sources before 0 do not exist
        std::fill(run.begin(), run.begin() + static_cast<std::ptrdiff_t>(first), 0);
        const std::uint8_t* source = data + i + first - kWindow;
        const std::uint8_t c = data[i];
        std::uint16_t best = 0;
        for (std::size_t e = first; e < kWindow; ++e) {
            const std::uint16_t r = source[e - first] == c ? std::min<std::uint16_t>(run[e] + 1, kMaxLength) : 0;
            run[e] = r;
            best = std::max(best, r);
        }
        longest[i] = best;
    }
    std::vector<std::uint64_t> bits(size + 1, 0);
    for (std::size_t i = size; i-- > 0;) {
        bits[i] = bits[i + 1] + 9;
        for (std::size_t k = 3; k <= longest[i]; ++k) bits[i] = std::min(bits[i], bits[i + k] + (k <= 17 ? 17 : 25));
    }
    return 16 + (bits[0] + 7) / 8;
}

std::string yaz0_strict_decode(const std::vector<std::uint8_t>& file, std::vector<std::uint8_t>& out) {
    out.clear();
    if (file.size() < 16 || std::string(file.begin(), file.begin() + 4) != "Yaz0") return "no header";
    const std::size_t size = (std::size_t{file[4]} << 24) | (file[5] << 16) | (file[6] << 8) | file[7];
    std::size_t at = 16;
    const auto has = [&](std::size_t n) { return file.size() - at >= n; };
    while (out.size() < size) {
        if (!has(1)) return "stream ends early";
        const unsigned code = file[at++];
        for (int bit = 7; bit >= 0; --bit) {
            if (out.size() == size) {
                if (code & ((2u << bit) - 1)) return "flag bits set after the last token";
                break;
            }
            if (code >> bit & 1) {
                if (!has(1)) return "stream ends in a literal";
                out.push_back(file[at++]);
                continue;
            }
            if (!has(2) || (file[at] < 0x10 && !has(3))) return "stream ends in a match";
            const std::size_t distance = ((file[at] & 0x0F) << 8 | file[at + 1]) + 1;
            const std::size_t length = file[at] >= 0x10 ? (file[at] >> 4) + 2 : file[at + 2] + 18;
            at += file[at] >= 0x10 ? 2 : 3;
            if (distance > out.size()) return "distance past the start at " + std::to_string(out.size());
            if (length > size - out.size()) return "match past the end at " + std::to_string(out.size());
            for (std::size_t k = 0; k < length; ++k) out.push_back(out[out.size() - distance]);
        }
    }
    return at == file.size() ? "" : "bytes after the last token";
}

}  // namespace fixture
