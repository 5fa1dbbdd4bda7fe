// An archive's entries as the module hands them to Python: each one's own
// words, where unpacking puts it (as a folder node and a name, so that a
// path is built only when asked for) and a hash of that path for lookups.
// Built once per archive, in table order, by the library's walk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dravik/archive.h"
#include "extract.h"

namespace dravik::py {

// What keeps an open archive alive: the module's Archive object, and every
// entry, listing and result handed out from it. Destroyed with the GIL held.
struct ArchiveHolder {
    // Declared before `archive`, which borrows them, so that they outlive it.
    std::unique_ptr<struct BorrowedBytes> borrowed;
    ArchivePtr archive;
    OpenStatus status;
    Identity file;  // the archive's own file on disk, when opened from one
    ~ArchiveHolder();
};

struct Slot {
    Entry entry;                       // its words; the name is borrowed from the archive
    const char* place_name = nullptr;  // its name when unpacked ("arc" for a lone root folder)
    std::int32_t folder = -1;          // the folder it lands in, in the listing's folders
    bool placeable = false;
    std::uint64_t hash = 0;            // of its path
};

struct Listing {
    std::shared_ptr<ArchiveHolder> holder;
    std::vector<Slot> slots;
    PathTree folders;
    std::vector<std::uint64_t> folder_hash;  // per folder, of its path
    // (hash, slot) pairs sorted, made on the first lookup by path.
    mutable std::vector<std::pair<std::uint64_t, std::uint32_t>> by_hash;

    std::string path(const Slot& slot) const { return folders.path(slot.folder, slot.place_name); }
    // The first slot, in table order, whose path is `path`; -1 when none.
    std::int64_t find(std::string_view path) const;
};

std::shared_ptr<Listing> make_listing(std::shared_ptr<ArchiveHolder> holder);

}  // namespace dravik::py
