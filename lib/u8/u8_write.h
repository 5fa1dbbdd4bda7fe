// What the two U8 layouts share beyond the public writer.h: the format's
// limits, alignment, and the default order of a folder's entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "dravik/writer.h"

namespace dravik::u8 {

inline constexpr std::uint64_t kMaxOffset = 0xFFFFFFFF;
inline constexpr std::uint64_t kMaxNameOffset = 0xFFFFFF;
// The header word that says where the data starts.
inline constexpr std::size_t kHeaderDataOffset = 12;

inline std::uint64_t align_up(std::uint64_t v, std::uint32_t align) {
    return (v + align - 1) / align * align;
}

// The order of one folder's entries in the default layout: files before
// folders, each group by name compared byte by byte after ASCII
// lower-casing, ties broken by the raw bytes, so that the order is total and
// never depends on the order entries were listed.
bool default_less(const TreeEntry& x, const TreeEntry& y);
bool default_less(bool x_directory, std::string_view x, bool y_directory, std::string_view y);

// ORIGINAL's nesting as unpacking reads it: for each node, the directory
// that holds it (0 for the root), with ends that cannot be right taken as
// the enclosing directory's end.
void original_nesting(const Archive& original, std::vector<std::uint32_t>& enclosing);

}  // namespace dravik::u8
