// Suffix sorting by induced sorting: the suffixes of a byte string in
// lexicographic order, in time linear in its length whatever the bytes
// (runs and long repeats included). Pure.
#pragma once

#include <cstdint>

namespace dravik {

// Fills sa[0, n) with the starts of the suffixes of text[0, n) in
// lexicographic order, a suffix that is a prefix of another coming first.
// n is at least 1 and below 2^30.
void suffix_sort(const std::uint8_t* text, std::int32_t n, std::int32_t* sa);

}  // namespace dravik
