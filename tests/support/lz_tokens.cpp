#include "lz_tokens.h"

#include "dravik/codec.h"

namespace fixture {

namespace {

void put_be32(Bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void put_reference(Bytes& out, const Token& t, Coding coding) {
    const std::uint32_t d = t.distance - 1;
    const auto b = [&out](std::uint32_t v) { out.push_back(static_cast<std::uint8_t>(v)); };
    switch (coding) {
        case Coding::yaz0:
            if (t.length < 0x12) {
                b(((t.length - 2) << 4) | (d >> 8)), b(d);
            } else {
                b(d >> 8), b(d), b(t.length - 0x12);
            }
            return;
        case Coding::lz10: b(((t.length - 3) << 4) | (d >> 8)), b(d); return;
        case Coding::lz11:
            if (t.length <= 0x10) {
                b(((t.length - 1) << 4) | (d >> 8)), b(d);
            } else if (t.length < 0x111) {
                const std::uint32_t l = t.length - 0x11;
                b(l >> 4), b(((l & 0xF) << 4) | (d >> 8)), b(d);
            } else {
                const std::uint32_t l = t.length - 0x111;
                b(0x10 | (l >> 12)), b(l >> 4), b(((l & 0xF) << 4) | (d >> 8)), b(d);
            }
            return;
    }
}

}  // namespace

Token lit(std::uint8_t byte) { return Token{0, 0, byte}; }
Token ref(std::uint32_t distance, std::uint32_t length) { return Token{length, distance, 0}; }

std::vector<Token> literals(const Bytes& data) {
    std::vector<Token> tokens;
    for (std::uint8_t byte : data) tokens.push_back(lit(byte));
    return tokens;
}

Bytes encode_stream(const std::vector<Token>& tokens, Coding coding) {
    Bytes out;
    std::size_t code_at = 0;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (i % 8 == 0) {
            code_at = out.size();
            out.push_back(0);
        }
        const std::uint8_t bit = static_cast<std::uint8_t>(0x80 >> (i % 8));
        const bool is_literal = tokens[i].length == 0;
        // Yaz0 flags literals; LZ77 flags references.
        if (is_literal == (coding == Coding::yaz0)) out[code_at] |= bit;
        if (is_literal) out.push_back(tokens[i].literal);
        else put_reference(out, tokens[i], coding);
    }
    return out;
}

Bytes compressed_file(const std::vector<Token>& tokens, Coding coding, std::uint32_t declared) {
    Bytes out;
    if (coding == Coding::yaz0) {
        out = {'Y', 'a', 'z', '0'};
        put_be32(out, declared);
        out.resize(16, 0);
    } else {
        out = {'L', 'Z', '7', '7', coding == Coding::lz10 ? std::uint8_t{0x10} : std::uint8_t{0x11},
               static_cast<std::uint8_t>(declared), static_cast<std::uint8_t>(declared >> 8),
               static_cast<std::uint8_t>(declared >> 16)};
    }
    const Bytes stream = encode_stream(tokens, coding);
    out.insert(out.end(), stream.begin(), stream.end());
    return out;
}

Bytes compress(const Bytes& data, Coding coding) {
    if (coding == Coding::yaz0)
        return dravik::yaz0::encode(data.data(), data.size(), {dravik::yaz0::Level::fast, 1});
    return dravik::lz77::encode(data.data(), data.size(),
                                coding == Coding::lz10 ? dravik::lz77::kCodingShort
                                                       : dravik::lz77::kCodingExtended);
}

}  // namespace fixture
