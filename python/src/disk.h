// The file-system services the module's unpacking and packing write
// through. The library touches no disk but the archive it opens, so this
// seam is the module's own, POSIX only. Every name is resolved relative to
// an open directory and no call follows a symbolic link, so what an
// archive's names can reach is decided by the unpacker alone. Calls that
// fail return false (or an invalid descriptor) with errno set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dravik::py {

// An owned file descriptor, closed when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now; false when the close reported an error (data may not
    // have reached the disk).
    bool close();

private:
    int fd_ = -1;
};

// Where a file lives, so that the archive being read is never replaced and
// a file written earlier in the same call is recognised.
struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool known = false;
    bool operator==(const Identity& o) const {
        return known && o.known && device == o.device && inode == o.inode;
    }
};
struct IdentityHash {
    std::size_t operator()(const Identity& id) const {
        return static_cast<std::size_t>(id.inode * 0x9E3779B97F4A7C15ull ^ id.device);
    }
};

namespace disk {

// Opens a regular file by the path a caller gave, for reading; its identity
// too. Fails with EISDIR or EINVAL on anything but a regular file.
Fd open_file_path(const char* path, Identity* identity);
// The folder to unpack into: created with its missing parents (mkdir -p;
// links in the caller's own path are followed there, and only there), then
// opened. Fails with ENOTDIR when it exists as something else.
Fd open_destination(const char* path);
// Opens a directory by the path a caller gave.
Fd open_directory_path(const char* path);
std::uint64_t open_files_limit();

// Creates directory `name` in `dir`; an existing entry is not an error here.
bool make_directory(int dir, const char* name);
// Opens directory `name` in `dir`, never through a symbolic link (ELOOP or
// ENOTDIR then).
Fd open_directory(int dir, const char* name);
// Creates file `name` in `dir` exclusively: EEXIST when anything has the
// name, a dangling symbolic link included.
Fd create_file(int dir, const char* name);

enum class Kind { missing, directory, symlink, regular, fifo, socket, device, other };
// What `name` in `dir` is, without following a symbolic link.
bool inspect(int dir, const char* name, Kind* kind, Identity* identity);
bool identity_of(int fd, Identity* identity, std::uint64_t* size = nullptr);

bool rename_within(int dir, const char* from, const char* to);
// Renames, failing with EEXIST when `to` exists.
bool rename_no_replace(int dir, const char* from, const char* to);
bool remove_file(int dir, const char* name);

bool write_all(int fd, const std::uint8_t* data, std::size_t size);
bool read_at(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t size);
bool sync_file(int fd);

struct FolderEntry {
    std::string name;
    Kind kind = Kind::other;
    std::uint64_t size = 0;
    Identity identity;
    bool readable = false;  // by its permission bits, for this process
};
// The entries of open directory `dir` but "." and "..", in no order.
bool list_folder(int dir, std::vector<FolderEntry>& entries);
// Opens regular file `name` in `dir` for reading, never through a link
// and never blocking on a FIFO; its size and identity too.
Fd open_file_in(int dir, const char* name, std::uint64_t* size, Identity* identity);

// A hidden name for a temporary file, unique to this process and `serial`:
// ".BASE.dravik-PID-SERIAL.part" beside an output named BASE, or
// ".dravik-PID-SERIAL.part" (as the program's unpacking names them) when
// BASE is empty.
std::string temporary_name(const std::string& base, unsigned serial);

}  // namespace disk
}  // namespace dravik::py
