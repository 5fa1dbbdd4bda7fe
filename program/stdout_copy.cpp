#include "program/stdout_copy.h"

#include <cerrno>

#include "lib/u8/u8_read.h"
#include "program/messages.h"

namespace dravik {

bool copy_entry_to_stdout(const Archive& archive, disk::Copier& copier, const Entry& entry,
                          std::string* why) {
    if (entry.data_size == 0) return true;
    const Source& source = archive_source(archive);
    if (std::uint64_t{entry.data_offset} + entry.data_size > source.size) {
        *why = "data lies past the end of the archive";
        return false;
    }
    bool ended = false;
    bool ok = false;
    if (const std::uint8_t* bytes = source_bytes(source)) {
        ok = disk::write_all(1, bytes + entry.data_offset, entry.data_size);
    } else if (source.file.valid()) {
        ok = disk::copy_file_data(copier, source.file.fd, source.base + entry.data_offset, 1,
                                  entry.data_size, &ended);
    }
    if (!ok) *why = ended ? "the archive ended before the entry's data"
                          : with_errno("cannot write to standard output", errno);
    return ok;
}

}  // namespace dravik
