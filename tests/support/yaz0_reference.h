// The yardsticks for the Yaz0 encoder, slow and plainly correct: the
// smallest stream the format allows, by brute force, and a strict reading
// of a stream token by token.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fixture {

// The size of the smallest Yaz0 stream of data, header included: the
// longest match at every position, tried at every distance up to 4096,
// then the cheapest path over the positions where every length from 3 to
// that longest one may be taken (9 bits a literal, 17 a short match, 25 a
// long one, flag bits included).
std::uint64_t yaz0_minimum_size(const std::uint8_t* data, std::size_t size);

// Reads a whole Yaz0 file and returns what is wrong with it, or "" when
// every token is one a strict decoder accepts: a distance no longer than the
// output so far, a match that ends inside the decoded size, and nothing
// after the last token but the unused flag bits, which are zero. `out`
// receives the decoded bytes.
std::string yaz0_strict_decode(const std::vector<std::uint8_t>& file, std::vector<std::uint8_t>& out);

}  // namespace fixture
