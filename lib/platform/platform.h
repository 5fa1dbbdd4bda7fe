// The few operating-system services the reader needs, behind one seam:
// an owned file descriptor, positioned reads, and owned blocks of memory
// for decoded archives. Nothing here prints or writes to disk.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dravik {

// An owned file descriptor; closed when it goes out of scope.
struct FileDescriptor {
    int fd = -1;

    FileDescriptor() = default;
    explicit FileDescriptor(int descriptor) : fd(descriptor) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd(other.fd) { other.fd = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    bool valid() const { return fd >= 0; }
};

// Closes the descriptor now and reports whether the close succeeded; a
// failed close can mean that written data never reached the disk.
bool fd_close(FileDescriptor& file);

// Where a file lives on disk, so that the unpacker can refuse to replace the
// archive it is reading.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool known = false;
};

// Opens a file for reading. Returns an invalid descriptor and sets errno on
// failure. Refuses anything that is not a regular file (a directory, a FIFO
// that would block, a device).
FileDescriptor file_open_read(const char* path);
bool file_stat(int fd, std::uint64_t* size, FileIdentity* identity);
// A second descriptor for the same open file, so that an archive found
// inside another one on disk can be read, and copied from, on its own.
// Invalid, with errno set, on failure.
FileDescriptor file_duplicate(int fd);

// Reads exactly `length` bytes at `offset`; false on an error or a short read.
bool file_read_at(int fd, std::uint64_t offset, void* out, std::size_t length);

// An owned, writable block of memory obtained directly from the system, so
// that a large decoded archive neither grows a heap buffer nor zero-fills
// pages it will overwrite anyway.
struct MemoryBlock {
    std::uint8_t* data = nullptr;
    std::size_t size = 0;

    MemoryBlock() = default;
    MemoryBlock(MemoryBlock&& other) noexcept : data(other.data), size(other.size) {
        other.data = nullptr;
        other.size = 0;
    }
    MemoryBlock& operator=(MemoryBlock&& other) noexcept;
    MemoryBlock(const MemoryBlock&) = delete;
    MemoryBlock& operator=(const MemoryBlock&) = delete;
    ~MemoryBlock();
};

// Reserves `size` bytes (at least one page). False when the machine cannot
// provide them.
bool memory_allocate(MemoryBlock& block, std::size_t size);

// A read-only view of part of a file, mapped rather than read, so that the
// memory it costs follows the pages actually touched (a large, sparse table
// costs almost nothing). Unmapped when it goes out of scope.
struct FileMapping {
    const std::uint8_t* data = nullptr;  // the first byte asked for
    void* base = nullptr;                // the mapping itself, page-aligned
    std::size_t length = 0;              // the mapping's length

    FileMapping() = default;
    FileMapping(FileMapping&& other) noexcept;
    FileMapping& operator=(FileMapping&& other) noexcept;
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;
    ~FileMapping();
};

// Maps `length` bytes at `offset` of `fd` for reading. False, with errno
// set, when the file cannot be mapped (the caller then reads it instead).
bool file_map_read(int fd, std::uint64_t offset, std::size_t length, FileMapping& mapping);

// The machine's physical memory in bytes, or 0 when it cannot be told. A
// decoded archive larger than this could never be held, however lazily its
// pages are committed.
std::uint64_t memory_physical_size();

// What the owners above release their resource with; each platform's file
// defines them, and the owners' moves and destructors are shared.
namespace detail {
// Closes fd, true when the close succeeded. Never retried: the descriptor
// is gone either way.
bool close_descriptor(int fd);
void release_memory(void* data, std::size_t size);
void unmap_file(void* base, std::size_t length);
}  // namespace detail

}  // namespace dravik
