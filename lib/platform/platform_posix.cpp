#include "lib/platform/platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace dravik {

namespace {

// Blocks below this are mapped with their pages already in place; larger
// ones are asked to use pages of this size.
constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

}  // namespace

namespace detail {

// On Linux the descriptor is released even when close reports an error.
bool close_descriptor(int fd) { return ::close(fd) == 0; }
void release_memory(void* data, std::size_t size) { ::munmap(data, size); }
void unmap_file(void* base, std::size_t length) { ::munmap(base, length); }

}  // namespace detail

FileDescriptor file_open_read(const char* path) {
    // O_NONBLOCK keeps a FIFO from stalling the open; it has no effect on
    // regular files, which are all that is accepted below.
    FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file.valid()) return file;
    struct stat st;
    if (::fstat(file.fd, &st) != 0) return FileDescriptor();
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return FileDescriptor();
    }
    return file;
}

bool file_stat(int fd, std::uint64_t* size, FileIdentity* identity) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    if (size) *size = static_cast<std::uint64_t>(st.st_size);
    if (identity) {
        identity->device = static_cast<std::uint64_t>(st.st_dev);
        identity->inode = static_cast<std::uint64_t>(st.st_ino);
        identity->known = true;
    }
    return true;
}

FileDescriptor file_duplicate(int fd) { return FileDescriptor(::fcntl(fd, F_DUPFD_CLOEXEC, 0)); }

bool file_read_at(int fd, std::uint64_t offset, void* out, std::size_t length) {
    auto* dest = static_cast<unsigned char*>(out);
    while (length > 0) {
        ssize_t got = ::pread(fd, dest, length, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return false;
        dest += got;
        offset += static_cast<std::uint64_t>(got);
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

bool memory_allocate(MemoryBlock& block, std::size_t size) {
    if (size == 0) size = 1;
    // MAP_NORESERVE: pages are committed only as the decoder writes them, so
    // the cost follows the bytes actually produced. A block is written from
    // end to end right away, though, and page faults can cost more than the
    // decoding: a small block is mapped with its pages in place (committing
    // at most 2 MiB early), a large one takes them 2 MiB at a time.
    int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
#ifdef MAP_POPULATE
    if (size < kHugePageSize) flags |= MAP_POPULATE;
#endif
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (p == MAP_FAILED) return false;
#ifdef MADV_HUGEPAGE
    if (size >= kHugePageSize) ::madvise(p, size, MADV_HUGEPAGE);  // only advice
#endif
    block = MemoryBlock();
    block.data = static_cast<std::uint8_t*>(p);
    block.size = size;
    return true;
}

bool file_map_read(int fd, std::uint64_t offset, std::size_t length, FileMapping& mapping) {
    const long page = ::sysconf(_SC_PAGESIZE);
    const std::uint64_t page_size = page > 0 ? static_cast<std::uint64_t>(page) : 4096;
    const std::uint64_t start = offset - offset % page_size;
    const std::uint64_t lead = offset - start;
    if (length > SIZE_MAX - lead) {
        errno = ENOMEM;
        return false;
    }
    void* p = ::mmap(nullptr, length + lead, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(start));
    if (p == MAP_FAILED) return false;
    mapping = FileMapping();
    mapping.base = p;
    mapping.length = length + lead;
    mapping.data = static_cast<const std::uint8_t*>(p) + lead;
    return true;
}

std::uint64_t memory_physical_size() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

}  // namespace dravik
