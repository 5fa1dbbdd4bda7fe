// The reader's side of an open archive, for the library's own files and
// for the program's zero-copy paths: what an Archive holds. Callers outside
// the project see only the opaque type of dravik/archive.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dravik/archive.h"
#include "lib/carrier/carrier_read.h"
#include "lib/common/source.h"
#include "lib/platform/platform.h"

namespace dravik {

// The table's bytes, wherever they are: inside the archive's memory, mapped
// from the file (large tables: memory then follows the pages read), or
// read from it into a block of their own.
struct TableBytes {
    const std::uint8_t* bytes = nullptr;
    std::size_t length = 0;
    MemoryBlock read;    // when read from the file
    FileMapping mapped;  // when mapped from it

    const std::uint8_t* data() const { return bytes; }
    std::size_t size() const { return length; }
    const std::uint8_t* begin() const { return bytes; }
    const std::uint8_t* end() const { return bytes + length; }
};

struct Archive {
    std::vector<Carrier> carriers;  // outermost first
    Source source;
    TableBytes table;  // node table then names, as stored
    std::uint32_t table_offset = 0;
    std::uint32_t table_size = 0;
    // The node count, read once at open; trusted for walking only when the
    // table can hold two nodes, which open checked the table against.
    std::uint32_t node_count = 0;
    // How many nodes are entries or the root: node_count when the table can
    // be walked, else 1.
    std::uint32_t walked = 1;
    // How many directories the root holds: node 1 when it is a directory,
    // and every directory whose parent word is 0. Counted at open, where
    // every node is checked anyway; Placement names root folders by it.
    std::uint32_t root_directories = 0;
};

// Where the archive's bytes are, for copying file data without a detour.
inline const Source& archive_source(const Archive& archive) { return archive.source; }

// archive_open with the peeling limits and records of `peel` (may be null).
ArchivePtr open_path(const char* path, PeelOptions* peel, OpenStatus* status);
// archive_open_borrowed with the peeling limits and records of `peel`.
ArchivePtr open_borrowed(const std::uint8_t* data, std::size_t size, PeelOptions* peel, OpenStatus* status);
// archive_open_entry with the peeling limits and records of `peel`.
ArchivePtr open_entry(const Archive& outer, const Entry& entry, PeelOptions* peel,
                      OpenStatus* status);

// Node `index`'s name; the index must be below archive.walked.
const char* archive_node_name(const Archive& archive, std::uint32_t index);
StoredNode archive_stored(const Archive& archive, std::uint32_t index);

}  // namespace dravik
