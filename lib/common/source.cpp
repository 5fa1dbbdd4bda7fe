#include "lib/common/source.h"

#include <cstring>

namespace dravik {

const std::uint8_t* source_bytes(const Source& source) {
    if (source.owned.data) return source.owned.data + source.base;
    if (source.borrowed) return source.borrowed + source.base;
    return nullptr;
}

std::uint64_t source_memory_held(const Source& source) { return source.owned.size; }

bool source_read(const Source& source, std::uint64_t offset, void* out, std::size_t length) {
    if (offset > source.size || length > source.size - offset) return false;
    if (const std::uint8_t* bytes = source_bytes(source)) {
        if (length) std::memcpy(out, bytes + offset, length);
        return true;
    }
    if (source.reader)
        return length == 0 ||
               source.reader(source.base + offset, static_cast<std::uint8_t*>(out), length);
    return file_read_at(source.file.fd, source.base + offset, out, length);
}

}  // namespace dravik
