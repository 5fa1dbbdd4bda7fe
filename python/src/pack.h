// Packing a folder into a U8 archive, as `dravik -c` does: the folder is
// scanned without following links, links and special files and unreadable
// files are refused (each told), the archive is written under a hidden
// temporary name beside it, flushed and renamed into place only when
// complete, and an existing archive is replaced only when asked to.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dravik/codec.h"

namespace dravik::py {

enum class Compression { by_name, yaz0, none };

struct PackRequest {
    std::string folder;
    std::string archive;
    std::string like;  // empty: the default layout
    std::uint32_t align = 32;
    Compression compression = Compression::by_name;
    yaz0::EncodeOptions yaz0;  // `like` always uses the best level
    bool force = false;
    std::vector<std::string> exclude;
};

struct PackOutcome {
    std::uint64_t size = 0;             // the archive's length on disk
    std::vector<std::string> carriers;  // what the U8 archive was wrapped in, outermost first
    std::vector<std::string> dropped;   // like's entries not in the folder, as FOLDER/path
};

// Throws ArchiveFailure or DiskFailure (errors.h) with the program's words,
// or Interrupted (extract.h) when `interrupted` said so; nothing is then
// left under the archive's name or a temporary one.
PackOutcome pack_folder(const PackRequest& request, const std::function<bool()>& interrupted);

}  // namespace dravik::py
