#include "app/disk.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <initializer_list>

namespace dravik::disk {

FileDescriptor open_current_directory() {
    return FileDescriptor(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::uint64_t open_files_limit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return UINT64_MAX;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

void protect_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // Opening /dev/null takes the lowest free descriptor, which is this one.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd && opened >= 0) ::close(opened);
    }
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

bool write_all(int out, const std::uint8_t* data, std::uint64_t length) {
    while (length > 0) {
        // Linux transfers at most about 2 GiB per call.
        const std::size_t chunk = length > (1u << 30) ? (1u << 30) : static_cast<std::size_t>(length);
        ssize_t n = ::write(out, data, chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {  // no progress and no reason: give up rather than spin
            errno = EIO;
            return false;
        }
        data += n;
        length -= static_cast<std::uint64_t>(n);
    }
    return true;
}

namespace {

constexpr std::uint64_t kPageSize = 4096;

// Set once copy_file_range has proved unusable for this pair of file
// systems (or this kernel), so later files go straight to the fallback.
bool g_copy_range_unusable = false;

bool copy_with_reads(int in, std::uint64_t offset, int out, std::uint64_t length,
                     std::uint8_t* buffer, std::size_t buffer_size, bool* input_ended) {
    while (length > 0) {
        const std::size_t want = length < buffer_size ? static_cast<std::size_t>(length) : buffer_size;
        ssize_t got = ::pread(in, buffer, want, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) {
            *input_ended = true;
            errno = 0;
            return false;
        }
        if (!write_all(out, buffer, static_cast<std::uint64_t>(got))) return false;
        offset += static_cast<std::uint64_t>(got);
        length -= static_cast<std::uint64_t>(got);
    }
    return true;
}

}  // namespace

bool copy_file_data(int in, std::uint64_t offset, int out, std::uint64_t length,
                    std::uint8_t* buffer, std::size_t buffer_size, bool* input_ended) {
    *input_ended = false;
    // Let the kernel copy between the files itself only when the data starts
    // on a page boundary of the archive: the output starts on one too, so
    // whole pages move. Archive data is usually aligned to 32 bytes only; then
    // every page would be split across two, which measures slower than
    // reading through one small buffer that stays in the CPU's cache.
    bool first = true;
    while (length > 0 && !g_copy_range_unusable && offset % kPageSize == 0) {
        auto in_offset = static_cast<off_t>(offset);
        const std::size_t chunk = length > (1u << 30) ? (1u << 30) : static_cast<std::size_t>(length);
        ssize_t n = ::copy_file_range(in, &in_offset, out, nullptr, chunk, 0);
        if (n > 0) {
            offset += static_cast<std::uint64_t>(n);
            length -= static_cast<std::uint64_t>(n);
            first = false;
            continue;
        }
        if (n == 0) {
            *input_ended = true;
            errno = 0;
            return false;
        }
        if (errno == EINTR) continue;
        // These say "not between these files", not "the copy went wrong";
        // only trust them before anything was written.
        if (first && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL ||
                      errno == EBADF)) {
            g_copy_range_unusable = true;
            break;
        }
        return false;
    }
    if (length == 0) return true;
    return copy_with_reads(in, offset, out, length, buffer, buffer_size, input_ended);
}

namespace {

std::atomic<int> g_guard_dir{-1};
std::atomic<const char*> g_guard_name{nullptr};

extern "C" void remove_partial_and_reraise(int signal_number) {
    const char* name = g_guard_name.load();
    const int dir = g_guard_dir.load();
    if (name && dir >= 0) ::unlinkat(dir, name, 0);
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

}  // namespace

void install_interrupt_cleanup() {
    // A file-size limit should fail the one entry with "File too large", not
    // kill the whole run.
    ::signal(SIGXFSZ, SIG_IGN);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction action {};
        // Keep a signal the caller chose to ignore ignored (nohup).
        if (::sigaction(s, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
        action = {};
        action.sa_handler = remove_partial_and_reraise;
        sigemptyset(&action.sa_mask);
        ::sigaction(s, &action, nullptr);
    }
}

void guard_partial_file(int dir, const char* name) {
    g_guard_name.store(nullptr);
    g_guard_dir.store(dir);
    g_guard_name.store(name);
}

void release_partial_file() { g_guard_name.store(nullptr); }

}  // namespace dravik::disk
