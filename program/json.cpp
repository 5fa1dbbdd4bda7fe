#include "program/json.h"

#include <cstring>

#include "program/messages.h"

namespace dravik {

namespace {

// Bytes that go into a JSON string as they are.
constexpr struct PlainBytes {
    bool plain[256];
    constexpr PlainBytes() : plain() {
        for (unsigned c = 0x20; c < 0x7F; ++c) plain[c] = c != '"' && c != '\\';
    }
} kPlain;

bool all_plain(std::string_view s) {
    for (const char c : s)
        if (!kPlain.plain[static_cast<unsigned char>(c)]) return false;
    return true;
}

char* put(char* p, std::string_view s) {
    std::memcpy(p, s.data(), s.size());
    return p + s.size();
}

char* put_number(char* p, std::uint64_t value) {
    char digits[20];
    std::size_t n = 0;
    do {
        digits[sizeof digits - 1 - n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return put(p, std::string_view(digits + sizeof digits - n, n));
}


void key_of(JsonLine& line, const char* key) {
    // `{"key": ` or `, "key": ` in one piece.
    char buffer[64];
    const std::size_t n = std::strlen(key);
    if (n + 6 > sizeof buffer) {
        console_write(line.out, line.first ? "{\"" : ", \"", line.first ? 2 : 3);
        console_write(line.out, key, n);
        console_write(line.out, "\": ", 3);
    } else {
        std::size_t at = 0;
        if (!line.first) buffer[at++] = ',', buffer[at++] = ' ';
        else buffer[at++] = '{';
        buffer[at++] = '"';
        std::memcpy(buffer + at, key, n);
        at += n;
        buffer[at++] = '"', buffer[at++] = ':', buffer[at++] = ' ';
        console_write(line.out, buffer, at);
    }
    line.first = false;
}

// Writes `bytes` as a JSON string; returns false when some bytes were not
// valid UTF-8 and were replaced.
bool quoted(Console& out, std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    bool exact = true;
    console_write(out, "\"", 1);
    std::size_t i = 0;
    // A NUL-terminated copy is not needed: utf8_sequence stops at a byte
    // that is not a continuation, and the view's end is checked first.
    while (i < bytes.size()) {
        // Most names are plain ASCII: pass each run of it on in one piece.
        std::size_t run = i;
        while (run < bytes.size() && kPlain.plain[static_cast<unsigned char>(bytes[run])]) ++run;
        if (run > i) {
            console_write(out, bytes.data() + i, run - i);
            i = run;
            continue;
        }
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x80) {
            unsigned char seq[5] = {};
            const std::size_t avail = bytes.size() - i < 4 ? bytes.size() - i : 4;
            for (std::size_t k = 0; k < avail; ++k) seq[k] = static_cast<unsigned char>(bytes[i + k]);
            const std::size_t n = utf8_sequence(seq);
            if (n > 0) {
                console_write(out, bytes.data() + i, n);
                i += n;
            } else {
                console_write(out, "\xEF\xBF\xBD", 3);
                exact = false;
                ++i;
            }
            continue;
        }
        if (c == '"' || c == '\\') {
            const char esc[2] = {'\\', static_cast<char>(c)};
            console_write(out, esc, 2);
        } else if (c < 0x20 || c == 0x7F) {
            const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
            console_write(out, esc, 6);
        }
        ++i;
    }
    console_write(out, "\"", 1);
    return exact;
}

}  // namespace

JsonLine json_begin(Console& out) { return JsonLine{out, true}; }

void json_end(JsonLine& line) { console_write(line.out, line.first ? "{}\n" : "}\n", line.first ? 3 : 2); }

void json_number(JsonLine& line, const char* key, std::uint64_t value) {
    key_of(line, key);
    char digits[20];
    console_write(line.out, digits, static_cast<std::size_t>(put_number(digits, value) - digits));
}

void json_bool(JsonLine& line, const char* key, bool value) {
    key_of(line, key);
    console_text(line.out, value ? "true" : "false");
}

void json_text(JsonLine& line, const char* key, std::string_view value) {
    key_of(line, key);
    quoted(line.out, value);
}

void json_bytes(JsonLine& line, const char* key, std::string_view bytes) {
    key_of(line, key);
    if (quoted(line.out, bytes)) return;
    static const char kHex[] = "0123456789abcdef";
    console_write(line.out, ", \"", 3);
    console_text(line.out, key);
    console_write(line.out, "_hex\": \"", 8);
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        const char pair[2] = {kHex[c >> 4], kHex[c & 0xF]};
        console_write(line.out, pair, 2);
    }
    console_write(line.out, "\"", 1);
}

void json_text_list(JsonLine& line, const char* key, const char* const* items, int count) {
    key_of(line, key);
    console_write(line.out, "[", 1);
    for (int i = 0; i < count; ++i) {
        if (i > 0) console_write(line.out, ", ", 2);
        quoted(line.out, items[i]);
    }
    console_write(line.out, "]", 1);
}

void json_entry(Console& out, const JsonEntry& e) {
    // The usual entry, with plain ASCII names, is laid out in one buffer
    // and written once: the JSON listing costs little more than the text one.
    constexpr std::size_t kFixed = 256;
    constexpr std::size_t kMaxFast = 4096;
    const std::string_view status = e.status ? e.status : "";
    if (e.level == 0 && e.name.size() + e.path.size() + e.reason.size() + kFixed <= kMaxFast &&
        all_plain(e.name) && all_plain(e.path) && all_plain(e.reason)) {
        char buffer[kMaxFast];
        char* p = put(buffer, "{\"index\": ");
        p = put_number(p, e.index);
        p = put(p, e.directory ? ", \"type\": \"directory\", \"name\": \"" : ", \"type\": \"file\", \"name\": \"");
        p = put(p, e.name);
        p = put(p, "\", \"path\": \"");
        p = put(p, e.path);
        p = put(p, "\", \"offset\": ");
        p = put_number(p, e.offset);
        p = put(p, ", \"size\": ");
        p = put_number(p, e.size);
        if (e.status) {
            p = put(p, ", \"status\": \"");
            p = put(p, status);
            p = put(p, "\"");
            if (!e.reason.empty()) {
                p = put(p, ", \"reason\": \"");
                p = put(p, e.reason);
                p = put(p, "\"");
            }
        }
        p = put(p, "}\n");
        console_write(out, buffer, static_cast<std::size_t>(p - buffer));
        return;
    }
    JsonLine line = json_begin(out);
    json_number(line, "index", e.index);
    json_text(line, "type", e.directory ? "directory" : "file");
    json_bytes(line, "name", e.name);
    json_bytes(line, "path", e.path);
    json_number(line, "offset", e.offset);
    json_number(line, "size", e.size);
    if (e.level > 0) json_number(line, "level", e.level);
    if (e.status) {
        json_text(line, "status", status);
        if (!e.reason.empty()) json_text(line, "reason", e.reason);
    }
    json_end(line);
}

namespace {

void header_fields(JsonLine& line, std::string_view path, std::uint32_t level,
                   const OpenStatus& status) {
    json_bytes(line, "archive", path);
    if (level > 0) json_number(line, "level", level);
    const char* carriers[kMaxCarriers];
    int n = 0;
    for (CarrierKind kind : status.carriers)
        if (n < kMaxCarriers) carriers[n++] = carrier_name(kind);
    json_text_list(line, "carriers", carriers, n);
}

void header_warnings(JsonLine& line, const OpenStatus& status) {
    const char* warnings[2];
    int n = 0;
    for (Notice notice : {kNoticeImd5Mismatch, kNoticeImetMismatch})
        if (status.notices & notice) warnings[n++] = notice_json(notice);
    if (n > 0) json_text_list(line, "warnings", warnings, n);
}

}  // namespace

void json_header(Console& out, const char* path, const OpenStatus& status, std::uint32_t count) {
    JsonLine line = json_begin(out);
    header_fields(line, path, 0, status);
    json_number(line, "nodes", count);
    header_warnings(line, status);
    json_end(line);
}

void json_nested_header(Console& out, const NestedArchive& nested) {
    JsonLine line = json_begin(out);
    header_fields(line, nested.file->place.path, nested.level, nested.status);
    if (nested.archive) {
        json_number(line, "nodes", archive_node_count(*nested.archive));
        header_warnings(line, nested.status);
    } else {
        json_text(line, "not_opened", nest_refusal_text(nested));
    }
    json_end(line);
}

void json_error(Console& out, const char* error) {
    JsonLine line = json_begin(out);
    json_text(line, "error", error);
    json_end(line);
}

}  // namespace dravik
