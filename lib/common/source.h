// Where an archive's bytes are read from, whichever of the four places
// holds them: a range of a file on disk, memory the reader owns (a decoded
// carrier), memory the caller lends, or the caller's own ByteSource.
// Offsets are offsets in the archive itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dravik/common.h"
#include "lib/platform/platform.h"

namespace dravik {

struct Source {
    FileDescriptor file;     // the archive's file, while its bytes are read from disk
    MemoryBlock owned;       // decoded contents
    const std::uint8_t* borrowed = nullptr;  // the caller's bytes, not copied
    ByteSource reader;       // the caller's reads
    std::uint64_t base = 0;  // where the archive starts in the place that holds it
    std::uint64_t size = 0;  // the archive's length from `base`
    FileIdentity identity;   // the file on disk, which must never be overwritten
};

// The archive's bytes when they are in memory, else null.
const std::uint8_t* source_bytes(const Source& source);
// How much memory the reader holds for the source (decoded contents).
std::uint64_t source_memory_held(const Source& source);
// Reads exactly `length` bytes at archive offset `offset`; false when any
// of them lies past the archive's end or the read fails.
bool source_read(const Source& source, std::uint64_t offset, void* out, std::size_t length);

}  // namespace dravik
