// Compressed streams for tests: Yaz0 and LZ77 (0x10, 0x11) streams written
// from explicit tokens, so that a test can write streams no encoder would
// (references before the start, literals only, declared sizes that lie),
// and whole files compressed by the product's encoders.
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

// The stream alone, without a header.
Bytes encode_stream(const std::vector<Token>& tokens, Coding coding);
// A whole file: header with `declared` as the decoded size, then the stream.
Bytes compressed_file(const std::vector<Token>& tokens, Coding coding, std::uint32_t declared);
// A whole file for `data`, by the product's encoder (Yaz0 at its fast
// level). LZ77 holds at most 2^24 - 1 bytes: the caller checks.
Bytes compress(const Bytes& data, Coding coding);

}  // namespace fixture
