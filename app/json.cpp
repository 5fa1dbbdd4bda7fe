#include "app/json.h"

#include <string>

namespace dravik {

namespace {

void key_of(JsonLine& line, const char* key) {
    out_write(line.out, line.first ? "{\"" : ", \"", line.first ? 2 : 3);
    line.first = false;
    out_text(line.out, key);
    out_write(line.out, "\": ", 3);
}

// Writes `bytes` as a JSON string; returns false when some bytes were not
// valid UTF-8 and were replaced.
bool quoted(Output& out, std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    bool exact = true;
    out_write(out, "\"", 1);
    std::size_t i = 0;
    // A NUL-terminated copy is not needed: utf8_sequence stops at a byte
    // that is not a continuation, and the view's end is checked first.
    while (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x80) {
            unsigned char seq[5] = {};
            const std::size_t avail = bytes.size() - i < 4 ? bytes.size() - i : 4;
            for (std::size_t k = 0; k < avail; ++k) seq[k] = static_cast<unsigned char>(bytes[i + k]);
            const std::size_t n = utf8_sequence(seq);
            if (n > 0) {
                out_write(out, bytes.data() + i, n);
                i += n;
            } else {
                out_write(out, "\xEF\xBF\xBD", 3);
                exact = false;
                ++i;
            }
            continue;
        }
        if (c == '"' || c == '\\') {
            const char esc[2] = {'\\', static_cast<char>(c)};
            out_write(out, esc, 2);
        } else if (c < 0x20 || c == 0x7F) {
            const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
            out_write(out, esc, 6);
        } else {
            out_write(out, bytes.data() + i, 1);
        }
        ++i;
    }
    out_write(out, "\"", 1);
    return exact;
}

}  // namespace

JsonLine json_begin(Output& out) { return JsonLine{out, true}; }

void json_end(JsonLine& line) { out_write(line.out, line.first ? "{}\n" : "}\n", line.first ? 3 : 2); }

void json_number(JsonLine& line, const char* key, std::uint64_t value) {
    key_of(line, key);
    const std::string digits = std::to_string(value);
    out_write(line.out, digits.data(), digits.size());
}

void json_text(JsonLine& line, const char* key, std::string_view value) {
    key_of(line, key);
    quoted(line.out, value);
}

void json_bytes(JsonLine& line, const char* key, std::string_view bytes) {
    key_of(line, key);
    if (quoted(line.out, bytes)) return;
    static const char kHex[] = "0123456789abcdef";
    out_write(line.out, ", \"", 3);
    out_text(line.out, key);
    out_write(line.out, "_hex\": \"", 8);
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        const char pair[2] = {kHex[c >> 4], kHex[c & 0xF]};
        out_write(line.out, pair, 2);
    }
    out_write(line.out, "\"", 1);
}

void json_text_list(JsonLine& line, const char* key, const char* const* items, int count) {
    key_of(line, key);
    out_write(line.out, "[", 1);
    for (int i = 0; i < count; ++i) {
        if (i > 0) out_write(line.out, ", ", 2);
        quoted(line.out, items[i]);
    }
    out_write(line.out, "]", 1);
}

}  // namespace dravik
