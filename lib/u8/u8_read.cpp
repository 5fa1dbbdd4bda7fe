// Opening an archive: peel its carriers, then check the U8 header, the
// table's place and every node and name once, so that walking needs no
// checks beyond the index bound.
#include "lib/u8/u8_read.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "lib/carrier/carrier_read.h"
#include "lib/u8/u8_format.h"

namespace dravik {

namespace {

OpenError fail(OpenStatus* status, OpenError error, int error_number = 0) {
    if (status) {
        status->error = error;
        status->error_number = error_number;
    }
    return error;
}

// Checks everything the walk will rely on: the node table lies inside the
// table, and every entry's name starts inside the names and ends with a NUL
// before the table's end. Counts the root's directories in the same pass.
bool table_is_sound(const std::uint8_t* table, std::uint32_t table_size, std::uint32_t count,
                    std::uint32_t* root_directories) {
    *root_directories = 0;
    if (table_size < u8::kMinWalkableTableSize || count < 2) return true;  // never walked
    const std::uint64_t strings = u8::string_table_start(count);
    if (strings > table_size) return false;
    const std::uint64_t strings_size = table_size - strings;

    // Any name that starts at or before the table's last NUL is terminated
    // inside the table, so one backwards scan answers that for every node.
    std::uint64_t last_nul = strings_size;  // "none"
    for (std::uint64_t i = strings_size; i > 0; --i) {
        if (table[strings + i - 1] == 0) {
            last_nul = i - 1;
            break;
        }
    }
    if (last_nul == strings_size) return false;
    for (std::uint32_t k = 1; k < count; ++k) {
        const std::uint8_t* node = u8::node_at(table, k);
        if (u8::node_name_offset(node) > last_nul) return false;
        if (u8::node_is_directory(node) && (k == 1 || u8::node_offset_word(node) == 0))
            ++*root_directories;
    }
    return true;
}

// Tables up to this size are read; larger ones are mapped, so that a table
// claiming far more than the file holds (a sparse file) costs only what the
// walk reads of it.
constexpr std::uint32_t kReadTableMax = 1u << 20;

// Points `table` at the archive's table: where it already lies in memory,
// else mapped from the file, else read from it.
OpenError place_table(const Source& source, std::uint32_t offset, std::uint32_t size,
                      TableBytes& table) {
    table.length = size;
    if (const std::uint8_t* bytes = source_bytes(source)) {
        table.bytes = bytes + offset;
        return OpenError::none;
    }
    if (size > kReadTableMax && source.file.valid() &&
        file_map_read(source.file.fd, source.base + offset, size, table.mapped)) {
        table.bytes = table.mapped.data;
        return OpenError::none;
    }
    if (!memory_allocate(table.read, size)) return OpenError::out_of_memory;
    errno = 0;
    if (!source_read(source, offset, table.read.data, size)) {
        if (errno == 0) errno = EIO;
        return OpenError::cannot_open;
    }
    table.bytes = table.read.data;
    return OpenError::none;
}

// Reads the header and the table from `source` and builds the archive.
OpenError load(Source&& source, OpenStatus* status, ArchivePtr* out) {
    std::uint8_t header[u8::kHeaderSize];
    if (!source_read(source, 0, header, sizeof header) || !u8::has_magic(header))
        return fail(status, OpenError::not_an_archive);

    const std::uint32_t table_offset = u8::header_table_offset(header);
    const std::uint32_t table_size = u8::header_table_size(header);
    if (table_size < u8::kMinTableSize || table_offset > u8::kMaxTableOffset ||
        std::uint64_t{table_offset} + table_size > source.size)
        return fail(status, OpenError::bad_table);

    ArchivePtr archive;
    try {
        archive.reset(std::make_unique<Archive>().release());
    } catch (const std::bad_alloc&) {
        return fail(status, OpenError::out_of_memory);
    }
    const OpenError placed = place_table(source, table_offset, table_size, archive->table);
    if (placed != OpenError::none)
        return fail(status, placed, placed == OpenError::cannot_open ? errno : 0);

    const std::uint32_t count = u8::node_count(archive->table.data());
    std::uint32_t root_directories = 0;
    if (!table_is_sound(archive->table.data(), table_size, count, &root_directories))
        return fail(status, OpenError::corrupt_table);

    archive->source = std::move(source);
    archive->table_offset = table_offset;
    archive->table_size = table_size;
    archive->node_count = count;
    archive->walked = table_size >= u8::kMinWalkableTableSize && count >= 2 ? count : 1;
    archive->root_directories = root_directories;
    *out = std::move(archive);
    return OpenError::none;
}

ArchivePtr open_source(Source&& source, OpenStatus* status, PeelOptions* peel = nullptr) {
    std::uint32_t notices = 0;
    std::vector<CarrierKind> kinds;
    std::vector<Carrier> carriers;
    const OpenError peeled = carrier_peel_source(source, &notices, &kinds, &carriers, peel);
    if (status) {
        status->notices = notices;
        status->carriers = kinds;
    }
    if (peeled != OpenError::none) {
        fail(status, peeled, peeled == OpenError::cannot_open ? errno : 0);
        return nullptr;
    }
    ArchivePtr archive;
    load(std::move(source), status, &archive);
    if (archive) archive->carriers = std::move(carriers);
    return archive;
}

}  // namespace

void ArchiveDelete::operator()(Archive* archive) const noexcept {
    std::default_delete<Archive>()(archive);
}

ArchivePtr archive_open(const char* path, OpenStatus* status) {
    return open_path(path, nullptr, status);
}

ArchivePtr open_path(const char* path, PeelOptions* peel, OpenStatus* status) {
    if (status) *status = OpenStatus();
    if (!path) {
        fail(status, OpenError::cannot_open, EINVAL);
        return nullptr;
    }
    Source source;
    source.file = file_open_read(path);
    if (!source.file.valid() || !file_stat(source.file.fd, &source.size, &source.identity)) {
        fail(status, OpenError::cannot_open, errno);
        return nullptr;
    }
    return open_source(std::move(source), status, peel);
}

ArchivePtr open_entry(const Archive& outer, const Entry& entry, PeelOptions* peel,
                      OpenStatus* status) {
    if (status) *status = OpenStatus();
    const Source& from = outer.source;
    if (entry.is_directory || std::uint64_t{entry.data_offset} + entry.data_size > from.size) {
        fail(status, OpenError::not_an_archive);
        return nullptr;
    }
    // The entry's bytes where they already are: a range of the outer
    // archive's memory, of its file (through a descriptor of its own, so
    // that unpacking copies from it as from any archive on disk), or of the
    // caller's reads.
    Source source;
    source.base = from.base + entry.data_offset;
    source.size = entry.data_size;
    source.identity = from.identity;
    if (const std::uint8_t* bytes = source_bytes(from)) {
        source.borrowed = bytes + entry.data_offset;
        source.base = 0;
    } else if (from.reader) {
        source.reader = from.reader;
    } else {
        source.file = file_duplicate(from.file.fd);
        if (!source.file.valid()) {
            fail(status, OpenError::cannot_open, errno);
            return nullptr;
        }
    }
    return open_source(std::move(source), status, peel);
}

ArchivePtr archive_open_entry(const Archive& outer, const Entry& entry, OpenStatus* status) {
    PeelOptions peel;
    peel.held_elsewhere = source_memory_held(outer.source);
    return open_entry(outer, entry, &peel, status);
}

ArchivePtr archive_open_memory(const std::uint8_t* data, std::size_t size, OpenStatus* status) {
    if (status) *status = OpenStatus();
    Source source;
    if (!memory_allocate(source.owned, size)) {
        fail(status, OpenError::out_of_memory);
        return nullptr;
    }
    if (size) std::memcpy(source.owned.data, data, size);
    source.size = size;
    return open_source(std::move(source), status);
}

ArchivePtr archive_open_borrowed(const std::uint8_t* data, std::size_t size, OpenStatus* status) {
    return open_borrowed(data, size, nullptr, status);
}

ArchivePtr open_borrowed(const std::uint8_t* data, std::size_t size, PeelOptions* peel, OpenStatus* status) {
    if (status) *status = OpenStatus();
    static const std::uint8_t kNothing = 0;
    Source source;
    source.borrowed = data ? data : &kNothing;
    source.size = data ? size : 0;
    return open_source(std::move(source), status, peel);
}

ArchivePtr archive_open_source(ByteSource reader, std::uint64_t size, OpenStatus* status) {
    if (status) *status = OpenStatus();
    if (!reader) {
        fail(status, OpenError::cannot_open, EINVAL);
        return nullptr;
    }
    Source source;
    source.reader = std::move(reader);
    source.size = size;
    return open_source(std::move(source), status);
}

const std::vector<Carrier>& archive_carriers(const Archive& archive) { return archive.carriers; }

std::uint64_t archive_size(const Archive& archive) { return archive.source.size; }

const std::uint8_t* archive_bytes(const Archive& archive) { return source_bytes(archive.source); }

bool archive_read_bytes(const Archive& archive, std::uint64_t offset, void* out, std::size_t size) {
    return source_read(archive.source, offset, out, size);
}

std::uint32_t archive_node_count(const Archive& archive) { return archive.node_count; }

const char* archive_node_name(const Archive& archive, std::uint32_t index) {
    const std::uint8_t* table = archive.table.data();
    return reinterpret_cast<const char*>(table + u8::string_table_start(archive.node_count) +
                                         u8::node_name_offset(u8::node_at(table, index)));
}

namespace {

inline StoredNode stored_words(const Archive& archive, std::uint32_t index) {
    const std::uint8_t* node = u8::node_at(archive.table.data(), index);
    StoredNode stored;
    stored.type = node[0];
    stored.name_offset = u8::node_name_offset(node);
    stored.offset = u8::node_offset_word(node);
    stored.size = u8::node_size_word(node);
    return stored;
}

}  // namespace

StoredNode archive_stored(const Archive& archive, std::uint32_t index) {
    return stored_words(archive, index);
}

StoredNode archive_root(const Archive& archive) { return stored_words(archive, 0); }

bool archive_entry(const Archive& archive, std::uint32_t index, Entry* entry) {
    // The table was checked at open for every index below `walked`.
    if (!entry || index == 0 || index >= archive.walked) return false;
    Entry& e = *entry;
    e.index = index;
    e.stored = stored_words(archive, index);
    e.is_directory = e.stored.type != 0;
    e.name = reinterpret_cast<const char*>(archive.table.data() + u8::string_table_start(archive.node_count) +
                                           e.stored.name_offset);
    e.data_offset = e.is_directory ? 0 : e.stored.offset;
    e.data_size = e.is_directory ? 0 : e.stored.size;
    e.parent = e.is_directory ? e.stored.offset : 0;
    e.end = e.is_directory ? e.stored.size : 0;
    return true;
}

bool archive_read(const Archive& archive, const Entry& entry, std::uint64_t at, void* out,
                  std::size_t size) {
    if (entry.is_directory || at > entry.data_size || size > entry.data_size - at) return false;
    return source_read(archive.source, std::uint64_t{entry.data_offset} + at, out, size);
}



const char* open_error_text(OpenError error) {
    switch (error) {
        case OpenError::none: break;
        case OpenError::cannot_open: return "cannot be read";
        case OpenError::not_an_archive: return "not a U8 archive";
        case OpenError::bad_table: return "the archive's table lies outside the file";
        case OpenError::corrupt_table: return "the archive's table is damaged (nodes or names outside it)";
        case OpenError::corrupt_carrier: return "the compressed or wrapped archive is damaged";
        case OpenError::out_of_memory: return "not enough memory";
    }
    return "cannot be read";
}

const char* notice_text(Notice notice) {
    return notice == kNoticeImd5Mismatch ? "an IMD5 checksum does not match its contents"
                                         : "the banner header's checksum does not match";
}

}  // namespace dravik
