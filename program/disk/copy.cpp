// What copying does alike on every platform.
#include "program/disk/copy.h"

#include <cerrno>
#include <new>

namespace dravik::disk {

bool prepare_copier(Copier& c) {
    if (c.buffer.size() == detail::copy_buffer_size) return true;
    try {
        c.buffer.resize(detail::copy_buffer_size);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
    return true;
}

}  // namespace dravik::disk
