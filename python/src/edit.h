// Changing an archive without unpacking it, as `dravik -u`, `--delete` and
// `--rename` do, and comparing two archives by content, as `--diff` does:
// the library's edit by paths (u8::edit_by_paths) and comparison
// (compare_archives), the same refusals in the program's words, the same writing (a temporary file beside the target,
// flushed and renamed over it only when complete).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dravik/archive.h"
#include "dravik/codec.h"

namespace dravik::py {

// What an update puts at one entry path: bytes in memory (pinned by the
// caller for the whole call, read in place), or a file or folder on disk.
struct UpdateItem {
    std::string path;  // the entry path as given
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    bool on_disk = false;
    std::string disk_path;
};

enum class EditKind { update, remove, rename };

struct EditRequest {
    EditKind kind = EditKind::update;
    std::string archive;
    std::string output;                 // empty: the archive itself
    std::vector<UpdateItem> items;      // update
    std::vector<std::string> patterns;  // remove
    std::string from, to;               // rename
    yaz0::EncodeOptions yaz0;
    bool force = false;                 // replace an existing output
    bool dry_run = false;
};

// One entry that changes, or differs: 'A', 'M', 'D', or 'R' with the path
// it had (`from`).
struct Change {
    char kind = 'M';
    std::string path;
    std::string from;
};

struct EditOutcome {
    std::vector<Change> changes;  // sorted by path, as the program prints them
    std::uint32_t notices = 0;    // Notice bits of the archive as it was
};

// Throws EditRefusal, ArchiveFailure or DiskFailure (errors.h) with the
// program's words, leaving the archive as it was and nothing beside it;
// Interrupted (extract.h) when `interrupted` said so.
EditOutcome edit_archive(const EditRequest& request, const std::function<bool()>& interrupted);

struct DiffOutcome {
    std::vector<Change> changes;  // folder by folder, each folder's entries by name
    bool identical = false;       // the U8 archives are the same bytes
};

// Compares what unpacking `a` and `b` gives, whatever their carriers, node
// order, alignment and padding. Throws ArchiveFailure when a file's data
// cannot be read from either.
DiffOutcome diff_archives(const Archive& a, const Archive& b);

}  // namespace dravik::py
