// dravik: Wii U8 archives (.arc), the carriers they travel in (Yaz0 .szs,
// LZ77, IMD5, channel banners) and the codecs those need.
//
// The public library is these headers, and nothing else is installed:
//   common.h   the version, errors, and the byte sink and byte source
//   archive.h  opening and reading an archive; where unpacking puts each
//              entry; comparing two archives by what they hold; checking
//              one before it goes on a console
//   writer.h   writing U8 archives: the default layout, like an original, or
//              an archive edited (by nodes, or by the paths unpacking gives)
//   carrier.h  peeling carriers off and wrapping an archive in them again
//   codec.h    Yaz0 and LZ77 coding
//
// What the whole library promises:
//   - It is pure: it prints nothing, creates and changes nothing on disk and
//     reads no environment. The one file it ever reads is an archive whose
//     path it is given (archive_open).
//   - Failures come back as values: false, a null pointer, or an error
//     enumeration that says why. Nothing throws, except std::bad_alloc from
//     functions that build containers (vectors, strings) when memory runs
//     out; archive_open reports that as OpenError::out_of_memory instead.
//   - Any byte sequence is safe input: a malformed archive or stream is
//     refused, never read or written outside its bounds.
//   - Objects do not share state: different objects may be used on
//     different threads at once. One object is used by one thread at a
//     time, except an open Archive, which any number of threads may read.
//   - Offsets and sizes are 64-bit; the format's own words are 32-bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#define DRAVIK_VERSION_MAJOR 0
#define DRAVIK_VERSION_MINOR 3
#define DRAVIK_VERSION_PATCH 0
#define DRAVIK_VERSION_STRING "0.3.0"
// One number that grows with every release: 300 for 0.3.0.
#define DRAVIK_VERSION_NUMBER \
    (DRAVIK_VERSION_MAJOR * 10000 + DRAVIK_VERSION_MINOR * 100 + DRAVIK_VERSION_PATCH)

namespace dravik {

using Bytes = std::vector<std::uint8_t>;

// Where writers and encoders send their output: takes the next bytes in
// order. Returns false when they could not be stored (a full disk, a closed
// pipe); the producer then stops and reports failure.
using ByteSink = std::function<bool(const std::uint8_t* data, std::size_t size)>;

// Where readers take their input from: reads exactly `size` bytes at
// `offset` into `out`. Returns false when it cannot (past the end, an I/O
// error); the reader then fails rather than use what it did not get. The
// reader may call it from any thread that reads the archive it serves.
using ByteSource = std::function<bool(std::uint64_t offset, std::uint8_t* out, std::size_t size)>;

// Why an archive, or a carrier around one, could not be used.
enum class OpenError {
    none,
    cannot_open,      // the file could not be opened or read; error_number says why
    not_an_archive,   // too short, or neither a U8 archive nor a known carrier
    bad_table,        // the table does not lie inside the archive, or is too small
    corrupt_table,    // nodes or names would lie outside the table
    corrupt_carrier,  // a compressed or wrapped layer is damaged
    out_of_memory,    // a layer's decoded size is more than memory can hold
};

// What went wrong, in plain words for a person, without a file name:
// "not a U8 archive", "the compressed or wrapped archive is damaged"...
// (OpenError::cannot_open says only "cannot be read": the system's errno
// tells why).
const char* open_error_text(OpenError error);

// Things worth telling about an archive that opened anyway.
enum Notice : std::uint32_t {
    kNoticeImd5Mismatch = 1u << 0,  // an IMD5 checksum does not match its payload
    kNoticeImetMismatch = 1u << 1,  // a banner header's checksum does not match
};
// One notice in plain words: "an IMD5 checksum does not match its
// contents", "the banner header's checksum does not match".
const char* notice_text(Notice notice);

}  // namespace dravik
