#include "program/console.h"

#include "program/disk/copy.h"


#include <cerrno>
#include <cstring>

namespace dravik {

namespace {

bool write_fully(int fd, const char* data, std::size_t length, int* error_number) {
    if (disk::write_all(fd, reinterpret_cast<const std::uint8_t*>(data), length)) return true;
    *error_number = errno;
    return false;
}

}  // namespace

bool console_flush(Console& out) {
    if (out.used > 0 && !out.failed) {
        if (!write_fully(out.fd, out.buffer, out.used, &out.error_number)) out.failed = true;
    }
    out.used = 0;
    return !out.failed;
}

void console_write_slow(Console& out, const char* text, std::size_t length) {
    if (length > sizeof out.buffer - out.used) {
        console_flush(out);
        if (length > sizeof out.buffer) {
            if (!out.failed && !write_fully(out.fd, text, length, &out.error_number))
                out.failed = true;
            return;
        }
    }
    std::memcpy(out.buffer + out.used, text, length);
    out.used += length;
}

void console_text(Console& out, const char* text) { console_write(out, text, std::strlen(text)); }

void report_line(Console& out, const std::string& line) {
    console_flush(out);
    const std::string text = "dravik: " + line + "\n";
    // Nothing useful can be done when standard error itself fails.
    disk::write_all(out.error_fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::size_t format_listing_prefix(char* dest, const Entry& entry) {
    static const char kHex[] = "0123456789ABCDEF";
    char* p = dest;
    std::memcpy(p, entry.is_directory ? "[d] offs[0x" : "[-] offs[0x", 11);
    p += 11;
    for (int shift = 28; shift >= 0; shift -= 4) *p++ = kHex[(entry.stored.offset >> shift) & 0xF];
    std::memcpy(p, "] len[", 6);
    p += 6;

    // The size is shown as a signed 32-bit number, zero-padded to eight
    // characters including any minus sign: what printf's "%08d" gives.
    const auto value = static_cast<std::int32_t>(entry.stored.size);
    std::uint32_t magnitude = value < 0 ? 0u - entry.stored.size : entry.stored.size;
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) *p++ = '-';
    for (int pad = 8 - count - (value < 0 ? 1 : 0); pad > 0; --pad) *p++ = '0';
    while (count > 0) *p++ = digits[--count];

    *p++ = ']';
    *p++ = ' ';
    return static_cast<std::size_t>(p - dest);
}

void console_listing_line(Console& out, const Entry& entry) {
    char prefix[kListingPrefixMax];
    console_write(out, prefix, format_listing_prefix(prefix, entry));
    if (out.escape_names) console_escaped(out, entry.name);
    else console_text(out, entry.name);
    console_write(out, "\n", 1);
}

void console_listing_line(Console& out, const Entry& entry, std::string_view shown) {
    char prefix[kListingPrefixMax];
    console_write(out, prefix, format_listing_prefix(prefix, entry));
    if (out.escape_names) {
        // Paths hold no NUL: each one is a run of names.
        const std::string copy(shown);
        console_escaped(out, copy.c_str());
    } else {
        console_write(out, shown.data(), shown.size());
    }
    console_write(out, "\n", 1);
}

std::size_t utf8_sequence(const unsigned char* s) {
    const unsigned char c = s[0];
    if (c >= 0xC2 && c <= 0xDF) return (s[1] & 0xC0) == 0x80 ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if ((s[1] & 0xC0) != 0x80 || (s[2] & 0xC0) != 0x80) return 0;
        if (c == 0xE0 && s[1] < 0xA0) return 0;
        if (c == 0xED && s[1] >= 0xA0) return 0;
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if ((s[1] & 0xC0) != 0x80 || (s[2] & 0xC0) != 0x80 || (s[3] & 0xC0) != 0x80) return 0;
        if (c == 0xF0 && s[1] < 0x90) return 0;
        if (c == 0xF4 && s[1] >= 0x90) return 0;
        return 4;
    }
    return 0;
}

namespace {

// Escapes the one character at `s` (not a NUL) into `dest`: as it is when it
// is printable and valid, else its first byte as \xHH. Returns the bytes of
// `s` consumed; `*written` (at most 4) says how many went to `dest`.
std::size_t escape_one(const unsigned char* s, char* dest, std::size_t* written) {
    static const char kHex[] = "0123456789abcdef";
    const unsigned char c = *s;
    if (c >= 0x20 && c < 0x7F && c != '\\') {
        dest[0] = static_cast<char>(c);
        *written = 1;
        return 1;
    }
    // A NUL ends the string, so a short sequence is caught by the
    // continuation-byte checks before anything past it is read.
    std::size_t n = c >= 0x80 ? utf8_sequence(s) : 0;
    // U+0080 to U+009F are the C1 controls, which some terminals obey.
    if (n == 2 && c == 0xC2 && s[1] < 0xA0) n = 0;
    if (n > 0) {
        std::memcpy(dest, s, n);
        *written = n;
        return n;
    }
    dest[0] = '\\';
    dest[1] = 'x';
    dest[2] = kHex[c >> 4];
    dest[3] = kHex[c & 0xF];
    *written = 4;
    return 1;
}

// The longest part of a name a diagnostic shows.
constexpr std::size_t kDiagnosticNameMax = 256;

}  // namespace

void append_escaped(std::string& dest, const char* name) {
    const auto* s = reinterpret_cast<const unsigned char*>(name);
    char piece[4];
    std::size_t written = 0;
    while (*s) {
        s += escape_one(s, piece, &written);
        dest.append(piece, written);
    }
}

std::string escaped_path(const std::string& path) {
    std::string s;
    append_escaped(s, path.c_str());
    return s;
}

std::string escaped(const char* name) {
    // Only the first bytes are copied, and only they are read beyond the
    // length: a name of any size costs the same memory.
    std::string dest;
    const std::size_t length = std::strlen(name);
    if (length <= kDiagnosticNameMax) {
        append_escaped(dest, name);
        return dest;
    }
    char head[kDiagnosticNameMax + 1];
    std::memcpy(head, name, kDiagnosticNameMax);
    head[kDiagnosticNameMax] = '\0';
    append_escaped(dest, head);  // a sequence cut at the end shows as \xHH
    dest += "\xe2\x80\xa6(" + std::to_string(length) + " bytes)";
    return dest;
}

void console_escaped(Console& out, const char* name) {
    const auto* s = reinterpret_cast<const unsigned char*>(name);
    while (*s) {
        if (sizeof out.buffer - out.used < 4) console_flush(out);
        std::size_t written = 0;
        s += escape_one(s, out.buffer + out.used, &written);
        out.used += written;
    }
}

}  // namespace dravik
