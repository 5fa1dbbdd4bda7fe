// Encoders for the compressed carriers: a greedy LZ matcher over a 4 KiB
// window, and the Yaz0 and LZ77 (0x10, 0x11) codings of its tokens. Streams
// can also be built from explicit tokens, which lets a test write streams no
// matcher would. Pure: no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dravik::lz {

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
// A whole file for `data`, greedily matched. LZ77 holds at most 2^24 - 1
// bytes (a 24-bit size): the caller checks.
Bytes compress(const Bytes& data, Coding coding);

}  // namespace dravik::lz
