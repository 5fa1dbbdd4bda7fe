#include "carrier_writer.h"

#include <cstring>

#include "dravik/carrier.h"

namespace fixture {

Bytes sample_data(std::size_t size, std::uint32_t seed) {
    std::uint32_t state = seed * 2654435761u + 1;
    const auto next = [&state] {  // xorshift32
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    static const char* const kWords[] = {"banner", "layout", "texture", "anim", "pane", "material",
                                         "0.000000", "1.000000", "<frame>", "group", "\n", "RLAN"};
    Bytes out;
    out.reserve(size + 4096);
    while (out.size() < size) {
        const std::uint32_t kind = next() % 8;
        const std::size_t length = 256 + next() % 4096;
        if (kind < 3) {  // text
            for (const std::size_t stop = out.size() + length; out.size() < stop;) {
                const char* word = kWords[next() % 12];
                out.insert(out.end(), word, word + std::strlen(word));
                out.push_back(next() % 5 ? ' ' : '\n');
            }
        } else if (kind < 6) {  // pixel rows: a gradient, each row often repeated
            const std::uint32_t width = 16u << (next() % 4);
            std::uint16_t pixel = static_cast<std::uint16_t>(next());
            Bytes row;
            for (std::uint32_t x = 0; x < width; ++x) {
                if (next() % 4 == 0) pixel = static_cast<std::uint16_t>(pixel + next() % 3);
                row.push_back(static_cast<std::uint8_t>(pixel >> 8));
                row.push_back(static_cast<std::uint8_t>(pixel));
            }
            for (std::size_t y = 0; y < length / row.size() + 1; ++y) {
                if (next() % 3 == 0) row[next() % row.size()] ^= 1;
                out.insert(out.end(), row.begin(), row.end());
            }
        } else if (kind == 6) {  // alignment padding
            out.insert(out.end(), length % 512, 0);
        } else {  // noise, as in already compressed sound
            for (std::size_t i = 0; i < length / 4; ++i) out.push_back(static_cast<std::uint8_t>(next()));
        }
    }
    out.resize(size);
    return out;
}

Bytes imd5_wrap(const Bytes& payload, bool good_digest) {
    Bytes out = payload;
    dravik::carrier_wrap({dravik::Carrier{dravik::CarrierKind::imd5, 0, {}}}, {}, out);
    if (!good_digest) out[16] ^= 1;
    return out;
}

Bytes bare_lz_wrap(const Bytes& payload, std::uint8_t coding, bool long_size) {
    Bytes out = payload;
    dravik::Carrier carrier{dravik::CarrierKind::lz77_bare, coding, Bytes(long_size ? 8 : 4, 0)};
    dravik::carrier_wrap({carrier}, {}, out);
    return out;
}

Bytes imet_wrap(const Bytes& payload, std::uint32_t magic_at, bool good_digest) {
    const std::size_t start = magic_at - 0x40;
    Bytes header(start + 0x600, 0);
    std::memcpy(header.data() + magic_at, "IMET", 4);
    header[magic_at + 6] = 0x06;  // the header's hashed size, 0x600, as real banners state it
    std::memcpy(header.data() + magic_at + 0x1C, "\0D\0r\0a\0v\0i\0k", 12);  // a channel name
    Bytes out = payload;
    dravik::carrier_wrap({dravik::Carrier{dravik::CarrierKind::imet, 0, header}}, {}, out);
    if (!good_digest) out[start + 0x5F0] ^= 1;
    return out;
}

}  // namespace fixture
