// The owners of platform resources: moves and destructors, the same on
// every platform; the release itself is the platform's.
#include "lib/platform/platform.h"

#include <utility>

namespace dravik {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd >= 0) detail::close_descriptor(fd);
        fd = std::exchange(other.fd, -1);
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd >= 0) detail::close_descriptor(fd);
}

bool fd_close(FileDescriptor& file) {
    const int descriptor = std::exchange(file.fd, -1);
    return descriptor < 0 || detail::close_descriptor(descriptor);
}

MemoryBlock& MemoryBlock::operator=(MemoryBlock&& other) noexcept {
    if (this != &other) {
        if (data) detail::release_memory(data, size);
        data = std::exchange(other.data, nullptr);
        size = std::exchange(other.size, 0);
    }
    return *this;
}

MemoryBlock::~MemoryBlock() {
    if (data) detail::release_memory(data, size);
}

FileMapping::FileMapping(FileMapping&& other) noexcept
    : data(std::exchange(other.data, nullptr)),
      base(std::exchange(other.base, nullptr)),
      length(std::exchange(other.length, 0)) {}

FileMapping& FileMapping::operator=(FileMapping&& other) noexcept {
    if (this != &other) {
        if (base) detail::unmap_file(base, length);
        data = std::exchange(other.data, nullptr);
        base = std::exchange(other.base, nullptr);
        length = std::exchange(other.length, 0);
    }
    return *this;
}

FileMapping::~FileMapping() {
    if (base) detail::unmap_file(base, length);
}

}  // namespace dravik
