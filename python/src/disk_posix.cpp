#include "disk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace dravik::py {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

Fd::~Fd() { close(); }

bool Fd::close() {
    if (fd_ < 0) return true;
    // Linux releases the descriptor even when close reports an error, so it
    // is never retried.
    const bool ok = ::close(fd_) == 0;
    fd_ = -1;
    return ok;
}

namespace disk {

namespace {

Identity identity_from(const struct stat& st) {
    return Identity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), true};
}

Kind kind_from(mode_t mode) {
    if (S_ISREG(mode)) return Kind::regular;
    if (S_ISDIR(mode)) return Kind::directory;
    if (S_ISLNK(mode)) return Kind::symlink;
    if (S_ISFIFO(mode)) return Kind::fifo;
    if (S_ISSOCK(mode)) return Kind::socket;
    if (S_ISCHR(mode) || S_ISBLK(mode)) return Kind::device;
    return Kind::other;
}

// Whether the permission bits let this process read a file, as the kernel
// decides it without access control lists (a failed open still catches
// those): one stat per file rather than an access() call more.
bool mode_allows_reading(const struct stat& st) {
    const uid_t user = ::geteuid();
    if (user == 0) return true;
    if (st.st_uid == user) return (st.st_mode & S_IRUSR) != 0;
    gid_t groups[256];
    const int n = ::getgroups(256, groups);
    bool in_group = st.st_gid == ::getegid();
    for (int i = 0; i < n && !in_group; ++i) in_group = groups[i] == st.st_gid;
    if (in_group) return (st.st_mode & S_IRGRP) != 0;
    return (st.st_mode & S_IROTH) != 0;
}

// `f` when it is a regular file, with its size and identity; else none,
// errno saying why. The opens that lead here pass O_NONBLOCK, so that a
// FIFO cannot stall them before this refuses it.
Fd regular_only(Fd f, std::uint64_t* size, Identity* identity) {
    if (!f.valid()) return f;
    struct stat st;
    if (::fstat(f.get(), &st) != 0) return Fd();
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return Fd();
    }
    if (size) *size = static_cast<std::uint64_t>(st.st_size);
    *identity = identity_from(st);
    return f;
}

}  // namespace

Fd open_file_path(const char* path, Identity* identity) {
    return regular_only(Fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK)), nullptr, identity);
}

Fd open_destination(const char* path) {
    Fd dir(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid() || errno != ENOENT) return dir;
    const std::string whole(path);
    for (std::size_t i = 1; i <= whole.size(); ++i) {
        if (i < whole.size() && whole[i] != '/') continue;
        if (::mkdir(whole.substr(0, i).c_str(), 0777) != 0 && errno != EEXIST) return Fd();
    }
    return Fd(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

Fd open_directory_path(const char* path) { return Fd(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC)); }

std::uint64_t open_files_limit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

bool make_directory(int dir, const char* name) { return ::mkdirat(dir, name, 0777) == 0 || errno == EEXIST; }

Fd open_directory(int dir, const char* name) {
    return Fd(::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

Fd create_file(int dir, const char* name) {
    // O_EXCL with O_CREAT never follows a symbolic link, dangling or not.
    return Fd(::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
}

bool inspect(int dir, const char* name, Kind* kind, Identity* identity) {
    struct stat st;
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return false;
        *kind = Kind::missing;
        *identity = Identity();
        return true;
    }
    *kind = kind_from(st.st_mode);
    *identity = identity_from(st);
    return true;
}

bool identity_of(int fd, Identity* identity, std::uint64_t* size) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    *identity = identity_from(st);
    if (size) *size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool rename_within(int dir, const char* from, const char* to) { return ::renameat(dir, from, dir, to) == 0; }

bool rename_no_replace(int dir, const char* from, const char* to) {
    // A hard link is made only when nothing has the name yet; then the
    // temporary name goes. Portable where renameat2 is not.
    if (::linkat(dir, from, dir, to, 0) == 0) {
        ::unlinkat(dir, from, 0);
        return true;
    }
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOTSUP) return false;
    // A file system without hard links: look, then rename.
    struct stat st;
    if (::fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) return errno = EEXIST, false;
    return ::renameat(dir, from, dir, to) == 0;
}

bool remove_file(int dir, const char* name) { return ::unlinkat(dir, name, 0) == 0; }

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const std::size_t chunk = size > (1u << 30) ? (1u << 30) : size;
        const ssize_t n = ::write(fd, data, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return errno = EIO, false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool read_at(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, out, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return errno = 0, false;  // the file ended first
        out += n;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool sync_file(int fd) {
    while (::fsync(fd) != 0)
        if (errno != EINTR) return false;
    return true;
}

bool list_folder(int dir, std::vector<FolderEntry>& entries) {
    // fdopendir takes over the descriptor it is given: hand it a duplicate.
    const int copy = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) return false;
    DIR* stream = ::fdopendir(copy);
    if (!stream) {
        ::close(copy);
        return false;
    }
    entries.clear();
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent* d = ::readdir(stream);
        if (!d) {
            ok = errno == 0;
            break;
        }
        const char* name = d->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        struct stat st;
        if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;  // removed meanwhile
            ok = false;
            break;
        }
        FolderEntry e;
        e.name = name;
        e.kind = kind_from(st.st_mode);
        e.size = static_cast<std::uint64_t>(st.st_size);
        e.identity = identity_from(st);
        e.readable = mode_allows_reading(st);
        entries.push_back(std::move(e));
    }
    const int saved = errno;
    ::closedir(stream);
    errno = saved;
    return ok;
}

Fd open_file_in(int dir, const char* name, std::uint64_t* size, Identity* identity) {
    return regular_only(Fd(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)), size, identity);
}

std::string temporary_name(const std::string& base, unsigned serial) {
    const std::string tail = "dravik-" + std::to_string(::getpid()) + "-" + std::to_string(serial) + ".part";
    return base.empty() ? "." + tail : "." + base.substr(0, 180) + "." + tail;
}

}  // namespace disk
}  // namespace dravik::py
