// The one walk over an archive's entries. It follows the table's nesting,
// names each entry's path as unpacking lays it out, applies the selection,
// and hands every entry acted on to whatever the run asked for: the text
// listing, the JSON listing, the unpacker or the copier to standard output.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "program/select.h"
#include "lib/u8/u8_read.h"

namespace dravik {

struct WalkEntry {
    std::uint32_t index = 0;
    ArchiveEntry node;      // the stored words, node 1's included
    const char* name = nullptr;  // its name on disk (see unpacked_directory_name)
    std::string_view path;  // as unpacked, relative to the destination
};

// The name a directory gets on disk. A directory of the root is "arc" when
// it is the root's only directory, or when its stored name could not be a
// folder name; otherwise every directory keeps its stored name, so that an
// archive whose root holds several folders unpacks them side by side.
const char* unpacked_directory_name(const ArchiveEntry& node, std::uint32_t index,
                                    std::uint32_t root_directories);

// Visits, in table order, every entry that `selection` lets through, plus
// the directories that lead to an included entry. Marks the patterns that
// matched something. Without `want_paths` an entry's path may be left empty.
void walk_entries(const ArchiveHandle& handle, Selection& selection,
                  const std::function<void(const WalkEntry&)>& visit, bool want_paths = true);

}  // namespace dravik
