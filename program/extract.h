// Unpacking entries onto disk, one at a time, in table order, below the
// directory the run started in.
//
// Each entry goes where the walk's Placement puts it: the folder that many
// levels below the start. Each folder is held open, and every name is
// resolved relative to an open folder without following symbolic links, so
// no entry can reach outside the starting folder. A file appears under its
// name only once its content is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "dravik/archive.h"
#include "program/disk/copy.h"
#include "program/disk/tree.h"
#include "program/folder_path.h"
#include "program/walk.h"

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

struct Extractor {
    FolderPath folders;  // the folders the walk is in, from the start
    bool started = false;
    disk::Copier copier;                 // moves file data from the archive
    FileIdentity archive;                // never replaced by an output file
    std::vector<FileIdentity> folder_ids;  // of each level of `folders`
    // Every file this run has written, so that a later entry that lands on
    // the same file (a duplicate name, or a name that differs only in case
    // on a file system that ignores it) is refused rather than silently
    // replacing it: by device and inode once asked for, and until then by
    // name in the folder it was written in.
    std::unordered_set<FileIdentity, FileIdentityHash, FileIdentityEqual> written;
    std::unordered_map<FileIdentity, std::vector<const char*>, FileIdentityHash, FileIdentityEqual> pending;
    // Names of files written from nested archives (-r), which are released
    // when the walk leaves them: `pending` points here for those.
    std::deque<std::string> kept_names;
    std::uint32_t temp_serial = 0;
    char temp_name[64] = {};
};

// Prepares to unpack `archive` into the current working directory. False,
// with errno set, when that directory cannot be opened.
bool extract_begin(Extractor& extractor, const Archive& archive);
// Prepares to unpack `archive` into the open directory `destination`.
bool extract_begin(Extractor& extractor, const Archive& archive,
                   FileDescriptor destination);
// Unpacks one entry of `archive` as the walk gives it (in table order),
// where the walk places it.
ExtractResult extract_entry(Extractor& extractor, const Archive& archive,
                            const WalkEntry& entry);

// Makes and enters the folder of a nested archive (NAME.d) beside the file
// that holds it, which landed `depth` folders below the start. An existing
// folder is entered; anything else of that name is refused, and nothing is
// entered.
ExtractResult extract_enter_folder(Extractor& extractor, std::uint32_t depth, const char* name);
// Leaves every folder deeper than `depth`: the nested archive whose folder
// was entered there is done, and its names go with it.
void extract_leave(Extractor& extractor, std::uint32_t depth);

}  // namespace dravik
