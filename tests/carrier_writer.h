// Writers for the carriers that U8 archives travel in, for tests and the
// benchmark: a greedy LZ matcher, the Yaz0 and LZ77 codings of its tokens,
// and the IMD5 and banner (IMET) wrappers. Streams are built from explicit
// tokens, so a test can also write ones no real encoder would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fixture {

using Bytes = std::vector<std::uint8_t>;

enum class Coding { yaz0, lz10, lz11 };

// One literal byte (length 0) or one back-reference.
struct Token {
    std::uint32_t length = 0;
    std::uint32_t distance = 0;
    std::uint8_t literal = 0;
};

Token lit(std::uint8_t byte);
Token ref(std::uint32_t distance, std::uint32_t length);

// Every byte as a literal.
std::vector<Token> literals(const Bytes& data);
// Greedy matching within 4096 bytes, references as long as `coding` allows
// (capped at `max_length` when that is not 0).
std::vector<Token> parse(const Bytes& data, Coding coding, std::uint32_t max_length = 0);

// The stream alone, without a header.
Bytes encode_stream(const std::vector<Token>& tokens, Coding coding);
// A whole file: header with `declared` as the decoded size, then the stream.
Bytes compressed_file(const std::vector<Token>& tokens, Coding coding, std::uint32_t declared);
// A whole file for `data`, greedily matched.
Bytes compress(const Bytes& data, Coding coding);

// Data shaped like what archives hold, the same for the same seed: text,
// rows of 16-bit pixels with repeats, zero padding, and stretches of noise.
Bytes sample_data(std::size_t size, std::uint32_t seed = 1);

Bytes imd5_wrap(const Bytes& payload, bool good_digest = true);
// A banner header with its magic at `magic_at` (0x40 or 0x80), then `payload`.
Bytes imet_wrap(const Bytes& payload, std::uint32_t magic_at = 0x40, bool good_digest = true);

}  // namespace fixture
