// Laying out a new archive like an existing one, so that unpacking an
// archive and packing the folder again gives the same bytes when nothing
// was changed, and as few changed bytes as possible when something was.
// Pure: the caller reads ORIGINAL and the folder, this decides the layout.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lib/u8/u8_read.h"
#include "lib/u8/u8_write.h"

namespace dravik::u8 {

// Where unpacking put node `index` of ORIGINAL, relative to the folder it
// unpacked into ('/'-separated), as the caller's unpacking rules say.
struct NodePlace {
    std::string path;
    bool written = false;  // false: unpacking could not write it (an unsafe
                           // name, an earlier entry's path, data past the end)
};

// How many nodes of `archive` are walked: none but the root when its table
// cannot hold two whole nodes.
std::uint32_t walked_node_count(const ArchiveHandle& archive);

struct LikeOutcome {
    LayoutResult result;
    std::vector<std::string> dropped;  // paths of entries absent from the folder
    std::uint32_t alignment = 0;       // what new or moved data was aligned to
};

// `places`: one per node of ORIGINAL, the root's included. `disk`: the folder to pack, as a tree (paths are made from the names and
// parents). `head`: ORIGINAL's bytes from 0 to its table's offset.
// `same_content(node, key)` tells whether a file on disk (its key) holds
// exactly the data node `node` of ORIGINAL holds; it is asked only for
// entries whose data block is shared with or overlaps another entry's.
// Pieces From::original carry ORIGINAL's offsets.
using SameContent = std::function<bool(std::uint32_t node, std::uint64_t key)>;
LikeOutcome layout_like(const ArchiveHandle& original, const std::vector<std::uint8_t>& head,
                        const std::vector<NodePlace>& places, const std::vector<TreeEntry>& disk, const SameContent& same_content,
                        Plan& plan);

}  // namespace dravik::u8
