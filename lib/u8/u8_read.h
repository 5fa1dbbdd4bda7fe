// The archive reader: opens a U8 archive (bare, or inside the carriers that
// the Wii wraps it in), validates it once, and hands out its entries in table
// order through a two-call cursor. It prints nothing and never writes to disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lib/platform/platform.h"

namespace dravik {

// Where the archive's bytes are read from: either a range of the file on
// disk, or a block of memory holding a decoded carrier's contents. Offsets
// passed to source_read are offsets in the archive itself, whichever holds it.
struct ArchiveSource {
    FileDescriptor file;   // the file named on the command line
    MemoryBlock memory;    // decoded contents; empty while the bytes are on disk
    std::uint64_t base = 0;  // where the archive starts within `file` or `memory`
    std::uint64_t size = 0;  // the archive's length from `base`
    FileIdentity identity;   // the file on disk, which must never be overwritten
};

bool source_in_memory(const ArchiveSource& source);
// The archive's bytes when they are in memory, else null.
const std::uint8_t* source_bytes(const ArchiveSource& source);
// Reads exactly `length` bytes at archive offset `offset`; false when any of
// them lies past the archive's end or the read fails.
bool source_read(const ArchiveSource& source, std::uint64_t offset, void* out, std::size_t length);

// The table's bytes, wherever they are: inside a decoded carrier's memory,
// mapped from the file (large tables: memory then follows the pages read),
// or read from it into a block of their own.
struct TableBytes {
    const std::uint8_t* bytes = nullptr;
    std::size_t length = 0;
    MemoryBlock read;     // when read from the file
    FileMapping mapped;   // when mapped from it

    const std::uint8_t* data() const { return bytes; }
    std::size_t size() const { return length; }
    const std::uint8_t* begin() const { return bytes; }
    const std::uint8_t* end() const { return bytes + length; }
};

// The containers peeled off to reach the U8 archive.
enum class CarrierLayer : std::uint8_t { yaz0, imet, imd5, lz77 };
inline constexpr int kMaxCarrierLayers = 8;

// One container layer an archive was found in, as needed to wrap a new
// archive the same way: the kind, the LZ77 coding, and for IMD5 and banner
// headers their bytes (IMD5: its 32 bytes; banner: everything before the
// inner data, the lead included).
struct WrapLayer {
    CarrierLayer kind = CarrierLayer::yaz0;
    std::uint8_t lz77_type = 0;
    std::vector<std::uint8_t> header;
};

// One open archive. Owns its source and its loaded table.
struct ArchiveHandle {
    std::vector<WrapLayer> layers;  // outermost first; empty for a bare archive
    ArchiveSource stream;
    TableBytes table;  // node table then string table, as stored
    std::uint32_t table_size = 0;
    // The node count, read once at open; only trusted for walking when the
    // table was found sound, which archive_open guarantees whenever the cursor
    // can produce an entry.
    std::uint32_t node_count = 0;
    std::uint32_t root_directories = 0;  // see archive_root_directories
};

// One decoded entry; owned by the caller and overwritten by each cursor call.
struct ArchiveEntry {
    std::uint32_t size = 0;  // file: data length; directory: first node after its contents
    std::uint8_t is_directory = 0;
    const char* name = nullptr;  // borrowed from the handle's table
    std::uint32_t offset = 0;    // file: data offset; directory: parent's node index
};

// Why an open failed, for a diagnostic beside the one status line.
enum class OpenFailure {
    none,
    cannot_open,       // the file could not be opened or read; see error_number
    not_an_archive,    // too short, or neither a U8 archive nor a known carrier
    bad_table,         // the table does not fit in the archive, or is too small
    corrupt_table,     // nodes or names would lie outside the table
    corrupt_carrier,   // a compressed or wrapped archive is damaged
    out_of_memory,
};

// Things worth telling the user about an archive that opened anyway.
enum OpenNotice : std::uint32_t {
    kNoticeImd5Mismatch = 1u << 0,  // an IMD5 checksum did not match its payload
    kNoticeImetMismatch = 1u << 1,  // an IMET header checksum did not match
};


struct OpenStatus {
    OpenFailure failure = OpenFailure::none;
    int error_number = 0;        // errno, for cannot_open
    std::uint32_t notices = 0;   // OpenNotice bits
    // The layers that were peeled, outermost first.
    CarrierLayer carriers[kMaxCarrierLayers] = {};
    int carrier_count = 0;
};

// Opens the archive at `path`. Returns null when it cannot be used.
std::unique_ptr<ArchiveHandle> archive_open(const char* path, OpenStatus* status = nullptr);
// Opens an archive held in memory (copied), for callers that already have the
// bytes.
std::unique_ptr<ArchiveHandle> archive_open_bytes(const std::uint8_t* data, std::size_t size,
                                                  OpenStatus* status = nullptr);
// Releases the archive; accepts an empty handle.
void archive_close(std::unique_ptr<ArchiveHandle>& handle);

// What callers outside the reader may ask of an open archive.
std::uint32_t archive_node_count(const ArchiveHandle& handle);
// How many directories the root holds: node 1 when it is a directory, and
// every directory whose parent word is the root. Counted once, at open.
std::uint32_t archive_root_directories(const ArchiveHandle& handle);
const ArchiveSource& archive_source(const ArchiveHandle& handle);

// Fills `entry` from node 1 with offset and size shown as 0, and returns 1;
// or returns 0 and leaves `entry` untouched.
std::uint32_t archive_first(const ArchiveHandle* handle, ArchiveEntry* entry);
// Fills `entry` from node index + 1 and returns index + 1; or returns 0 at
// the end and leaves `entry` untouched.
std::uint32_t archive_next(const ArchiveHandle* handle, ArchiveEntry* entry, std::uint32_t index);
// Fills `entry` from node `index` exactly as stored (node 1 included) and
// returns `index`; or returns 0 when no such entry exists.
std::uint32_t archive_node(const ArchiveHandle* handle, ArchiveEntry* entry, std::uint32_t index);

}  // namespace dravik
