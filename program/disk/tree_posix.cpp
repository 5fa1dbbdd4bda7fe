#include "program/disk/tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace dravik::disk {

NameProblem name_problem(int, const char*) { return NameProblem::none; }

FileDescriptor open_current_directory() {
    return FileDescriptor(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

FileDescriptor open_destination(const char* path) {
    FileDescriptor dir(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid() || errno != ENOENT) return dir;
    // Create each missing component in turn; one that exists already (made
    // by someone else meanwhile, too) is fine, and opening tells the rest.
    std::string prefix(path);
    for (std::size_t i = 1; i <= prefix.size(); ++i) {
        if (i < prefix.size() && prefix[i] != '/') continue;
        const std::string part = prefix.substr(0, i);
        if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return FileDescriptor();
    }
    return FileDescriptor(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool make_directory(int dir, const char* name) {
    return ::mkdirat(dir, name, 0777) == 0 || errno == EEXIST;
}

FileDescriptor open_directory(int dir, const char* name) {
    return FileDescriptor(::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

FileDescriptor create_file(int dir, const char* name) {
    // O_EXCL with O_CREAT never follows a symbolic link, dangling or not.
    return FileDescriptor(
        ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
}

bool inspect(int dir, const char* name, EntryKind* kind, FileIdentity* identity) {
    struct stat st;
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return false;
        *kind = EntryKind::missing;
        *identity = FileIdentity();
        return true;
    }
    *kind = S_ISDIR(st.st_mode) ? EntryKind::directory
            : S_ISLNK(st.st_mode) ? EntryKind::symlink
                                  : EntryKind::other;
    identity->device = static_cast<std::uint64_t>(st.st_dev);
    identity->inode = static_cast<std::uint64_t>(st.st_ino);
    identity->known = true;
    return true;
}

bool rename_within(int dir, const char* from, const char* to) {
    return ::renameat(dir, from, dir, to) == 0;
}

bool remove_file(int dir, const char* name) { return ::unlinkat(dir, name, 0) == 0; }

namespace {

// Whether the permission bits let this process read a file, as the kernel
// decides it without access control lists (which a failed read still
// catches). One stat per file instead of an access() call more.
bool mode_allows_reading(const struct stat& st) {
    static const uid_t user = ::geteuid();
    static const std::vector<gid_t> groups = [] {
        std::vector<gid_t> g(1, ::getegid());
        const int n = ::getgroups(0, nullptr);
        if (n > 0) {
            g.resize(1 + static_cast<std::size_t>(n));
            const int got = ::getgroups(n, g.data() + 1);
            g.resize(1 + static_cast<std::size_t>(got > 0 ? got : 0));
        }
        return g;
    }();
    if (user == 0) return true;
    if (st.st_uid == user) return (st.st_mode & S_IRUSR) != 0;
    for (gid_t g : groups)
        if (st.st_gid == g) return (st.st_mode & S_IRGRP) != 0;
    return (st.st_mode & S_IROTH) != 0;
}

}  // namespace

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
        e.kind = S_ISREG(st.st_mode)    ? NodeKind::regular
                 : S_ISDIR(st.st_mode)  ? NodeKind::directory
                 : S_ISLNK(st.st_mode)  ? NodeKind::symlink
                 : S_ISFIFO(st.st_mode) ? NodeKind::fifo
                 : S_ISSOCK(st.st_mode) ? NodeKind::socket
                 : (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) ? NodeKind::device
                                                                 : NodeKind::unknown;
        e.size = static_cast<std::uint64_t>(st.st_size);
        e.identity.device = static_cast<std::uint64_t>(st.st_dev);
        e.identity.inode = static_cast<std::uint64_t>(st.st_ino);
        e.identity.known = true;
        e.readable = mode_allows_reading(st);
        entries.push_back(std::move(e));
    }
    const int saved = errno;
    ::closedir(stream);
    errno = saved;
    return ok;
}

bool names_can_be_refused() { return false; }

void split_path(const std::string& path, std::string* folder, std::string* name) {
    const std::size_t slash = path.find_last_of('/');
    *folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string entry_path_argument(const std::string& typed) { return typed; }

FileDescriptor open_directory_path(const char* path) {
    return FileDescriptor(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

FileDescriptor open_file_in(int dir, const char* name, std::uint64_t* size, FileIdentity* identity) {
    FileDescriptor f(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!f.valid()) return f;
    struct stat st;
    if (::fstat(f.fd, &st) != 0) return FileDescriptor();
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return FileDescriptor();
    }
    *size = static_cast<std::uint64_t>(st.st_size);
    identity->device = static_cast<std::uint64_t>(st.st_dev);
    identity->inode = static_cast<std::uint64_t>(st.st_ino);
    identity->known = true;
    return f;
}

bool sync_file(int fd) {
    while (::fsync(fd) != 0)
        if (errno != EINTR) return false;
    return true;
}

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

}  // namespace dravik::disk
