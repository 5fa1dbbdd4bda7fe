#include "lib/u8/u8_read.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "lib/carrier/carrier_read.h"
#include "lib/u8/u8_format.h"

namespace dravik {

bool source_in_memory(const ArchiveSource& source) { return source.memory.data != nullptr; }

const std::uint8_t* source_bytes(const ArchiveSource& source) {
    return source.memory.data ? source.memory.data + source.base : nullptr;
}

bool source_read(const ArchiveSource& source, std::uint64_t offset, void* out, std::size_t length) {
    if (offset > source.size || length > source.size - offset) return false;
    if (source_in_memory(source)) {
        if (length) std::memcpy(out, source.memory.data + source.base + offset, length);
        return true;
    }
    return file_read_at(source.file.fd, source.base + offset, out, length);
}

namespace {

OpenFailure fail(OpenStatus* status, OpenFailure failure, int error_number = 0) {
    if (status) {
        status->failure = failure;
        status->error_number = error_number;
    }
    return failure;
}

// Checks, once, everything the cursor will later rely on, so that walking
// needs no checks beyond the index bound: the node table lies inside the
// table, and every entry's name starts inside the string table and ends with
// a NUL before the table's end.
// Also counts, in the same pass, the directories the root holds (node 1
// when it is one, and every directory whose parent word is the root), which
// decide how unpacking names them.
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
OpenFailure place_table(const ArchiveSource& source, std::uint32_t offset, std::uint32_t size,
                        TableBytes& table) {
    table.length = size;
    if (const std::uint8_t* bytes = source_bytes(source)) {
        table.bytes = bytes + offset;
        return OpenFailure::none;
    }
    if (size > kReadTableMax &&
        file_map_read(source.file.fd, source.base + offset, size, table.mapped)) {
        table.bytes = table.mapped.data;
        return OpenFailure::none;
    }
    if (!memory_allocate(table.read, size)) return OpenFailure::out_of_memory;
    if (!source_read(source, offset, table.read.data, size)) return OpenFailure::cannot_open;
    table.bytes = table.read.data;
    return OpenFailure::none;
}

// Reads the header and the table from `source` and builds the handle.
OpenFailure load(ArchiveSource&& source, OpenStatus* status, std::unique_ptr<ArchiveHandle>* out) {
    std::uint8_t header[u8::kHeaderSize];
    if (!source_read(source, 0, header, sizeof header) || !u8::has_magic(header))
        return fail(status, OpenFailure::not_an_archive);

    const std::uint32_t table_offset = u8::header_table_offset(header);
    const std::uint32_t table_size = u8::header_table_size(header);
    if (table_size < u8::kMinTableSize || table_offset > u8::kMaxTableOffset ||
        std::uint64_t{table_offset} + table_size > source.size)
        return fail(status, OpenFailure::bad_table);

    std::unique_ptr<ArchiveHandle> handle;
    try {
        handle = std::make_unique<ArchiveHandle>();
    } catch (const std::bad_alloc&) {
        return fail(status, OpenFailure::out_of_memory);
    }
    const OpenFailure placed = place_table(source, table_offset, table_size, handle->table);
    if (placed != OpenFailure::none)
        return fail(status, placed, placed == OpenFailure::cannot_open ? errno : 0);

    const std::uint32_t count = u8::node_count(handle->table.data());
    std::uint32_t root_directories = 0;
    if (!table_is_sound(handle->table.data(), table_size, count, &root_directories))
        return fail(status, OpenFailure::corrupt_table);

    handle->stream = std::move(source);
    handle->table_size = table_size;
    handle->node_count = count;
    handle->root_directories = root_directories;
    *out = std::move(handle);
    return OpenFailure::none;
}

std::unique_ptr<ArchiveHandle> open_source(ArchiveSource&& source, OpenStatus* status) {
    std::uint32_t notices = 0;
    OpenStatus layers;
    std::vector<WrapLayer> headers;
    OpenFailure peeled = carrier_peel(source, &notices, &layers, &headers);
    if (status) {
        status->notices = notices;
        std::copy(layers.carriers, layers.carriers + layers.carrier_count, status->carriers);
        status->carrier_count = layers.carrier_count;
    }
    if (peeled != OpenFailure::none) {
        fail(status, peeled, peeled == OpenFailure::cannot_open ? errno : 0);
        return nullptr;
    }
    std::unique_ptr<ArchiveHandle> handle;
    load(std::move(source), status, &handle);
    if (handle) handle->layers = std::move(headers);
    return handle;
}

}  // namespace

std::uint32_t archive_node_count(const ArchiveHandle& handle) { return handle.node_count; }

std::uint32_t archive_root_directories(const ArchiveHandle& handle) {
    return handle.root_directories;
}

const ArchiveSource& archive_source(const ArchiveHandle& handle) { return handle.stream; }

std::unique_ptr<ArchiveHandle> archive_open(const char* path, OpenStatus* status) {
    if (status) *status = OpenStatus();
    if (!path) {
        fail(status, OpenFailure::cannot_open, EINVAL);
        return nullptr;
    }
    ArchiveSource source;
    source.file = file_open_read(path);
    if (!source.file.valid() || !file_stat(source.file.fd, &source.size, &source.identity)) {
        fail(status, OpenFailure::cannot_open, errno);
        return nullptr;
    }
    return open_source(std::move(source), status);
}

std::unique_ptr<ArchiveHandle> archive_open_bytes(const std::uint8_t* data, std::size_t size,
                                                  OpenStatus* status) {
    if (status) *status = OpenStatus();
    ArchiveSource source;
    if (!memory_allocate(source.memory, size)) {
        fail(status, OpenFailure::out_of_memory);
        return nullptr;
    }
    if (size) std::memcpy(source.memory.data, data, size);
    source.size = size;
    return open_source(std::move(source), status);
}

void archive_close(std::unique_ptr<ArchiveHandle>& handle) { handle.reset(); }

std::uint32_t archive_node(const ArchiveHandle* handle, ArchiveEntry* entry, std::uint32_t index) {
    // The table was validated at open whenever these bounds hold, so the node
    // and its name are known to lie inside it.
    if (!handle || !entry || handle->table_size < u8::kMinWalkableTableSize || index == 0 ||
        index >= handle->node_count)
        return 0;
    const std::uint8_t* table = handle->table.data();
    const std::uint8_t* node = u8::node_at(table, index);
    entry->is_directory = u8::node_is_directory(node) ? 1 : 0;
    entry->name = reinterpret_cast<const char*>(table + u8::string_table_start(handle->node_count) +
                                                u8::node_name_offset(node));
    entry->offset = u8::node_offset_word(node);
    entry->size = u8::node_size_word(node);
    return index;
}

std::uint32_t archive_first(const ArchiveHandle* handle, ArchiveEntry* entry) {
    ArchiveEntry first;
    if (!entry || !archive_node(handle, &first, 1)) return 0;
    // The first entry is shown with offset and size 0 whatever it stores.
    first.offset = 0;
    first.size = 0;
    *entry = first;
    return 1;
}

std::uint32_t archive_next(const ArchiveHandle* handle, ArchiveEntry* entry, std::uint32_t index) {
    if (!handle || index >= handle->node_count) return 0;  // also keeps index + 1 from wrapping
    return archive_node(handle, entry, index + 1);
}

}  // namespace dravik
