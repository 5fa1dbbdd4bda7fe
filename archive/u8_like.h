// Laying out a new archive like an existing one, so that unpacking an
// archive and packing the folder again gives the same bytes when nothing
// was changed, and as few changed bytes as possible when something was.
// Pure: the caller reads ORIGINAL and the folder, this decides the layout.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/u8_writer.h"

namespace dravik::u8 {

// Where unpacking puts node `index` of an archive, relative to the folder it
// unpacks into ('/'-separated), or not at all.
struct NodePlace {
    std::string path;      // empty when the node is not written
    bool written = false;  // false: unsafe name, an earlier entry's path, data past the end
    bool counts_as_root_directory = false;
};

// Mirrors the unpacking walk: directories end at their end word (clamped to
// the enclosing one), a directory that cannot be made leaves its entries in
// the enclosing folder, a file at a path already made earlier is not
// written. A root directory (node 1 when it is a directory, and every
// directory whose parent word is 0) is unpacked as "arc" when it is the
// only one or when its name cannot be a folder name; with several, each
// keeps its name. `places[0]` is the root.
std::vector<NodePlace> unpack_places(const ArchiveHandle& archive);

// The name unpacking gives a root directory.
std::string root_directory_name(const char* stored, std::uint32_t root_directories);

struct LikeOutcome {
    LayoutResult result;
    std::vector<std::string> dropped;  // paths of entries absent from the folder
    std::uint32_t alignment = 0;       // what new or moved data was aligned to
};

// `disk`: the folder to pack, as a tree (paths are made from the names and
// parents). `head`: ORIGINAL's bytes from 0 to its table's offset.
// `same_content(node, key)` tells whether a file on disk (its key) holds
// exactly the data node `node` of ORIGINAL holds; it is asked only for
// entries whose data block is shared with or overlaps another entry's.
// Pieces From::original carry ORIGINAL's offsets.
using SameContent = std::function<bool(std::uint32_t node, std::uint64_t key)>;
LikeOutcome layout_like(const ArchiveHandle& original, const std::vector<std::uint8_t>& head,
                        const std::vector<TreeEntry>& disk, const SameContent& same_content,
                        Plan& plan);

}  // namespace dravik::u8
