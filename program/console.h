// Text output of the program: a large buffer in front of standard output,
// the listing line, and names made safe for a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "dravik/archive.h"

namespace dravik {

// Standard output goes out in large writes; everything else in the program
// (stderr lines) flushes it first so that the two streams stay in order.
struct Console {
    int fd = 1;
    int error_fd = 2;  // diagnostics, written unbuffered after a flush
    std::size_t used = 0;
    bool failed = false;  // a write failed; the run cannot claim success
    int error_number = 0;
    // Standard output is a terminal: names in the listing are shown escaped
    // (see append_escaped) so that none can move the cursor, retitle the
    // window or forge a line. Anywhere else they stay byte for byte.
    bool escape_names = false;
    char buffer[64 * 1024];
};

// Buffers `text`; writes it and what was buffered when they do not fit.
void console_write_slow(Console& out, const char* text, std::size_t length);
inline void console_write(Console& out, const char* text, std::size_t length) {
    if (length <= sizeof out.buffer - out.used) {
        std::memcpy(out.buffer + out.used, text, length);
        out.used += length;
        return;
    }
    console_write_slow(out, text, length);
}
void console_text(Console& out, const char* text);
// Writes out what is buffered; false once any write has failed.
bool console_flush(Console& out);
// Writes "dravik: `line`" to standard error, after whatever standard output
// has buffered, so that a failure follows its entry's listing line.
void report_line(Console& out, const std::string& line);

// The longest listing line without its name: "[d] offs[0x........] len[-2147483648] ".
inline constexpr std::size_t kListingPrefixMax = 40;

// Formats the part of the listing line that precedes the name,
// "[%s] offs[0x%08X] len[%08d] " with the kind and the stored words, into
// `dest` and returns its length.
std::size_t format_listing_prefix(char* dest, const Entry& entry);
// Writes the whole listing line for `entry`, name byte for byte as stored
// (escaped when `escape_names` is set).
void console_listing_line(Console& out, const Entry& entry);
// The same with `shown` in place of the name: a nested archive's entries
// are listed with their paths.
void console_listing_line(Console& out, const Entry& entry, std::string_view shown);

// Length of the valid UTF-8 sequence that starts at `s`, or 0 when it is not
// one (overlong forms, surrogates and code points past U+10FFFF included).
// Reads no further than a NUL.
std::size_t utf8_sequence(const unsigned char* s);

// Appends `name` to `dest` with every byte that could upset a terminal (C0
// and C1 controls, DEL, backslash, bytes that are not valid UTF-8) written
// as a \xHH escape.
void append_escaped(std::string& dest, const char* name);
// A path given on the command line, escaped as above, whole.
std::string escaped_path(const std::string& path);

// A name as a diagnostic shows it: escaped as above, and when longer than
// 256 bytes only its first 256, followed by "…(N bytes)".
std::string escaped(const char* name);
// Writes `name` escaped as above into the output buffer, in bounded memory.
void console_escaped(Console& out, const char* name);

}  // namespace dravik
