// JSON Lines output: one object per line, written as the walk goes, always
// valid UTF-8 and valid JSON whatever bytes the archive's names hold.
#pragma once

#include <cstdint>
#include <string_view>

#include "dravik/archive.h"
#include "program/console.h"

namespace dravik {

struct JsonLine {
    Console& out;
    bool first = true;
};

JsonLine json_begin(Console& out);
void json_end(JsonLine& line);
void json_number(JsonLine& line, const char* key, std::uint64_t value);
void json_bool(JsonLine& line, const char* key, bool value);
void json_text(JsonLine& line, const char* key, std::string_view value);
// A byte string: valid UTF-8 is written as it is; anything else is written
// with U+FFFD for each bad byte under `key`, and exactly, in hexadecimal,
// under `key` + "_hex", so that no name is lost.
void json_bytes(JsonLine& line, const char* key, std::string_view bytes);
// `key`: [ "a", "b" ]
void json_text_list(JsonLine& line, const char* key, const char* const* items, int count);

// The first line: the archive, its carriers, its node count, and any
// checksum warnings.
void json_header(Console& out, const char* path, const OpenStatus& status, std::uint32_t count);
// The line before a nested archive's entries (with -r): the path of the
// file holding it, its level, carriers, node count and warnings; or, for
// one that was not opened, why ("not_opened").
void json_nested_header(Console& out, const NestedArchive& nested);
// {"error": ...}
void json_error(Console& out, const char* error);

// One entry of the listing, in a single line.
struct JsonEntry {
    std::uint32_t index = 0;
    bool directory = false;
    std::string_view name;
    std::string_view path;
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t level = 0;       // shown when inside a nested archive
    const char* status = nullptr;  // "unpacked" or "failed" when unpacking
    std::string_view reason;       // with "failed"
};
void json_entry(Console& out, const JsonEntry& entry);

}  // namespace dravik
