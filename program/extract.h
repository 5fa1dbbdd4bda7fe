// Unpacking entries onto disk, one at a time, in table order, below the
// directory the run started in.
//
// Directories nest as the table stores them: a directory holds the entries
// up to its end index, after which the walk returns to the enclosing
// directory. Each directory is held open, and every name is resolved
// relative to an open directory without following symbolic links, so no
// entry can reach outside the starting directory. A file appears under its
// name only once its content is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_set>
#include <vector>

#include "program/disk/copy.h"
#include "program/disk/tree.h"
#include "program/walk.h"
#include "lib/u8/u8_read.h"

namespace dravik {

enum class ExtractError {
    none,
    unsafe_name,            // empty, ".", "..", or holding a path separator
    name_not_allowed,       // not a name this platform can create; name_problem says why
    data_out_of_range,      // the entry's data lies past the end of the archive
    archive_ended,          // the archive came up short while being read
    would_replace_archive,  // the output would be the archive being read
    symlink_in_the_way,     // a directory's name exists as a symbolic link
    not_a_directory,        // a directory's name exists as something else
    is_a_directory,         // a file's name exists as a directory
    create_directory,       // error_number says why
    open_directory,
    reopen_directory,       // an entered directory could not be opened again
    create_file,
    write_file,
    replace_file,
    same_path,              // an earlier entry of this run already wrote this file
};

struct ExtractResult {
    ExtractError error = ExtractError::none;
    int error_number = 0;
    const char* name = nullptr;  // the name the entry has on disk
    disk::NameProblem name_problem = disk::NameProblem::none;
};

struct FileIdentityHash {
    std::size_t operator()(const FileIdentity& id) const {
        return static_cast<std::size_t>(id.inode * 0x9E3779B97F4A7C15ull ^ id.device);
    }
};
struct FileIdentityEqual {
    bool operator()(const FileIdentity& a, const FileIdentity& b) const {
        return a.device == b.device && a.inode == b.inode;
    }
};

// One directory of the walk. A directory that could not be entered still
// has a level, so that its end is kept; its entries go to the innermost
// entered level below it.
struct DirectoryLevel {
    FileDescriptor fd;       // open while held; entered levels may be released
    const char* name = nullptr;  // its name in the innermost entered level below it,
                                 // borrowed from the archive's table (or "arc")
    std::uint32_t end = 0;   // first node index past this directory's contents
    // The innermost entered level at or below this one (itself when
    // entered, so that level k is entered exactly when entered_at == k):
    // where this level's entries go, found without a search. For
    // an entered level k, levels[k - 1].entered_at is the directory it lies in.
    std::size_t entered_at = 0;
};

struct Extractor {
    std::vector<DirectoryLevel> levels;  // levels[0]: the starting directory, always held
    // At most `held_limit` levels beyond the start hold a descriptor, so
    // that any depth of nesting leaves descriptors for the files. `held`
    // lists them, shallowest first (new ones are always the deepest); when
    // too many are held the shallowest is let go. A released level is
    // opened again by name from the nearest held level below it when the
    // walk returns to it, and that walk keeps descriptors at spaced levels
    // (spread evenly when the budget allows, else at distances 1, 2, 4, 8...
    // from its end), so that climbing out of any depth costs O(log depth)
    // opens per level, amortised, instead of a walk from the start each time.
    std::deque<std::size_t> held;
    std::size_t held_limit = 1;
    std::vector<std::size_t> reopen_path;  // scratch for the walk back down
    disk::Copier copier;                 // moves file data from the archive
    FileIdentity archive;                // never replaced by an output file
    // Every file this run has written, by device and inode, so that a later
    // entry that lands on the same file (a duplicate name, or a name that
    // differs only in case on a file system that ignores it) is refused
    // rather than silently replacing it.
    std::unordered_set<FileIdentity, FileIdentityHash, FileIdentityEqual> written;
    std::uint32_t temp_serial = 0;
    char temp_name[64] = {};
};

// A name that may be created in the current directory as it stands: not
// empty, not "." or "..", and holding no '/' (so never absolute). What each
// platform cannot hold besides is disk::name_problem's to tell.
bool name_is_safe(const char* name);

// Prepares to unpack `handle` into the current working directory. False,
// with errno set, when that directory cannot be opened.
bool extract_begin(Extractor& extractor, const ArchiveHandle& handle);
// Prepares to unpack `handle` into the open directory `destination`.
bool extract_begin(Extractor& extractor, const ArchiveHandle& handle,
                   FileDescriptor destination);
// Unpacks one entry of `handle` as the walk gives it (in table order),
// under the name the walk gives it.
ExtractResult extract_entry(Extractor& extractor, const ArchiveHandle& handle,
                            const WalkEntry& entry);

}  // namespace dravik
