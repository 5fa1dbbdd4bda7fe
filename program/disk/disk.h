// The operating-system services the unpacker writes through. Every name is
// resolved relative to an open directory and no call follows a symbolic
// link, so what an archive's names can reach is decided by the unpacker
// alone, never by what happens to be on disk. Calls that fail return false
// (or an invalid descriptor) with errno set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/platform/platform.h"

namespace dravik::disk {

// Makes sure descriptors 0, 1 and 2 are open (on /dev/null when they were
// closed), so that no file the program opens can take their place and
// receive the listing or the diagnostics.
void protect_standard_streams();

// Makes argv the program's arguments in UTF-8, whatever the system's code
// page (a no-op where arguments are bytes already).
void use_utf8_arguments(int* argc, char*** argv);

// The directory the run started in.
FileDescriptor open_current_directory();
// The folder given with -C: created with its missing parents, as `mkdir -p`
// does (links in the user's own path are followed there, and only there),
// then opened. Fails with ENOTDIR when it exists and is not a directory.
FileDescriptor open_destination(const char* path);
// How many descriptors the process may hold open at once (very large when
// there is no limit).
std::uint64_t open_files_limit();

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
// this platform; with a `dir` of -1, what can be told without looking at
// a folder (everything but short names). Linux takes every such name; Windows cannot hold some and
// would read others as something else (a device, a data stream of another
// file, a short alias of another entry).
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

// What copying file data out of one archive needs between calls: a pipe for
// splicing, a buffer holding a window of the archive, and which ways the
// kernel has refused.
struct Copier {
    FileDescriptor pipe_read;
    FileDescriptor pipe_write;
    std::size_t pipe_size = 0;
    std::vector<std::uint8_t> buffer;  // allocated on first use
    std::uint64_t window_start = 0;    // the archive bytes the buffer holds
    std::size_t window_size = 0;
    bool copy_range_unusable = false;
    bool splice_unusable = false;
};

// Allocates what copy_file_data needs in memory, so that a file is created
// only once its copy cannot fail for want of memory. False, with errno
// ENOMEM, when that memory is not there.
bool prepare_copier(Copier& copier);

// Copies `length` bytes at `offset` of `in` to the end of `out`, in bounded
// memory. Sets *input_ended when `in` ended first (errno is then 0).
bool copy_file_data(Copier& copier, int in, std::uint64_t offset, int out, std::uint64_t length,
                    bool* input_ended);
// Writes all of `data`, resuming after partial writes and interruptions.
bool write_all(int out, const std::uint8_t* data, std::uint64_t length);

// A file being written (under its final name or a temporary one) is removed
// if the process is stopped by any signal that can be caught, so that an
// interrupted run never leaves an empty or truncated file that looks
// complete. Only SIGKILL (and a power loss) can still leave one. At most one
// file is guarded at a time; `name` must stay valid until the guard is
// released.
void install_interrupt_cleanup();
void guard_partial_file(int dir, const char* name);
void release_partial_file();
// Removes the guarded file now and releases the guard: for a run that ends
// abnormally in the middle of an entry (memory ran out).
void remove_partial_file();
// Defers the signals the cleanup handles, so that a file cannot be created
// without being guarded: create and guard it between these two calls. Calls
// do not nest.
void hold_interrupts();
void release_interrupts();
// Holds them while in scope.
struct InterruptsHeld {
    InterruptsHeld() { hold_interrupts(); }
    ~InterruptsHeld() { release_interrupts(); }
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;
};

// Whether `fd` is a terminal, where names must not reach as raw bytes.
bool is_terminal(int fd);

}  // namespace dravik::disk
