// Directories and files by name, for unpacking into a tree and packing one.
// Every name is resolved relative to an open directory and no call follows
// a symbolic link, so what an archive's names can reach is decided by the
// unpacker alone, never by what happens to be on disk. Calls that fail
// return false (or an invalid descriptor) with errno set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lib/platform/platform.h"

namespace dravik::disk {

// The directory the run started in.
FileDescriptor open_current_directory();
// The folder given with -C: created with its missing parents, as `mkdir -p`
// does (links in the user's own path are followed there, and only there),
// then opened. Fails with ENOTDIR when it exists and is not a directory.
FileDescriptor open_destination(const char* path);

// Creates directory `name` in `dir`; an existing entry of that name is not an
// error here (opening it tells what it is).
bool make_directory(int dir, const char* name);
// Opens directory `name` in `dir`; fails with ELOOP on a symbolic link and
// ENOTDIR on anything else that is not a directory.
FileDescriptor open_directory(int dir, const char* name);

// Creates file `name` in `dir` for writing; fails with EEXIST when anything of
// that name exists, a dangling symbolic link included.
FileDescriptor create_file(int dir, const char* name);

// Why a name that is safe anywhere cannot be created as itself in `dir` on
// this platform. Linux takes every such name; Windows cannot hold some and
// would read others as something else (a device, a data stream of another
// file, a short alias of another entry). With a `dir` of -1, what can be
// told without looking at a folder: everything but short names.
enum class NameProblem {
    none,
    invalid_utf8,           // names there are Unicode; no code page is guessed
    control_character,      // 0x01-0x1F
    reserved_character,     // < > " / \ | ? *
    stream_separator,       // ':' names an alternate data stream
    device_name,            // CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$
    trailing_dot_or_space,  // dropped by the system, so another name is meant
    short_name_alias,       // the 8.3 short name of an entry named otherwise
};
NameProblem name_problem(int dir, const char* name);
// Whether name_problem can refuse any name here at all (Linux: never), so
// that callers with many names to ask about need not ask.
bool names_can_be_refused();

enum class EntryKind { missing, directory, symlink, other };
// What `name` in `dir` is, without following a symbolic link.
bool inspect(int dir, const char* name, EntryKind* kind, FileIdentity* identity);

bool rename_within(int dir, const char* from, const char* to);
bool remove_file(int dir, const char* name);

// Packing: reading a folder tree and writing one output file.

// What a folder entry is, without following a symbolic link.
enum class NodeKind { regular, directory, symlink, fifo, socket, device, unknown };
struct FolderEntry {
    std::string name;
    NodeKind kind = NodeKind::unknown;
    std::uint64_t size = 0;  // regular files
    FileIdentity identity;
    bool readable = false;   // by its permission bits, for this process
};
// Lists the entries of the open directory `dir` but "." and "..", in no
// particular order.
bool list_folder(int dir, std::vector<FolderEntry>& entries);
// Splits a path as the user gave it into its folder and its last name, by
// this platform's rules: '/' separates on POSIX, where '\' is an ordinary
// byte of a name; on Windows '\' separates too, and a drive keeps its
// root ("C:/x" is in "C:/", "C:x" in drive C's current folder).
void split_path(const std::string& path, std::string* folder, std::string* name);
// An entry path or pattern as the user typed it for an edit (-u's PATH,
// --delete's GLOB, --rename's OLD and NEW), with this platform's separators
// made '/', which entry paths use: on Windows '\' separates, as in every
// path typed there; on POSIX '\' is a byte of a name, or quotes the next
// byte in a GLOB, and the argument stays as it is.
std::string entry_path_argument(const std::string& typed);
// Opens a directory by a path as the user gave it (a link named by the user
// is followed, as the shell would).
FileDescriptor open_directory_path(const char* path);
// Opens regular file `name` in `dir` for reading: never through a symbolic
// link, and never blocking on a FIFO put there meanwhile. Gives its size and
// identity.
FileDescriptor open_file_in(int dir, const char* name, std::uint64_t* size, FileIdentity* identity);
// Flushes a written file to the disk.
bool sync_file(int fd);
// Renames `from` to `to` within `dir`, failing with EEXIST when `to` exists.
bool rename_no_replace(int dir, const char* from, const char* to);

}  // namespace dravik::disk
