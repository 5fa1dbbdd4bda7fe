// Fuzz target: the reader on arbitrary bytes. Whatever the input, an open
// either fails with a reason or yields an archive whose entries 1 to N - 1
// each have a NUL-terminated name inside the loaded table, data reads that
// stay inside the archive, a place made of safe names, and names that come
// out of the escaping with nothing a terminal obeys.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "program/console.h"
#include "lib/u8/u8_read.h"
#include "fuzz_check.h"

namespace {

using dravik::Archive;
using dravik::Entry;

void check_name_in_table(const Archive& a, const Entry& e) {
    const char* begin = reinterpret_cast<const char*>(a.table.data());
    const char* end = begin + a.table.size();
    FUZZ_CHECK(e.name != nullptr);
    FUZZ_CHECK(e.name >= begin && e.name < end);
    FUZZ_CHECK(std::memchr(e.name, 0, static_cast<std::size_t>(end - e.name)) != nullptr);
}

// The escaped form holds no C0 or C1 control, no DEL, and a backslash only
// as the start of a \xHH escape.
void check_escaped(const char* name) {
    std::string s;
    dravik::append_escaped(s, name);
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        FUZZ_CHECK(c >= 0x20 && c != 0x7F);
        if (c == 0xC2 && i + 1 < s.size())
            FUZZ_CHECK(static_cast<unsigned char>(s[i + 1]) >= 0xA0);
        if (c == '\\') FUZZ_CHECK(i + 3 < s.size() && s[i + 1] == 'x');
    }
}

// Every path a placement gives to an entry it places is made of safe
// names, never climbs out, and is exactly as deep as it says.
void check_place(const Entry& e, const dravik::Place& p) {
    FUZZ_CHECK(p.depth <= p.nesting);
    FUZZ_CHECK(e.is_directory || p.name == e.name);
    if (!p.placeable) return;
    FUZZ_CHECK(dravik::name_is_safe(p.name));
    std::size_t components = 1;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= p.path.size(); ++i) {
        if (i < p.path.size() && p.path[i] != '/') continue;
        const std::string part(p.path.substr(start, i - start));
        if (i < p.path.size()) {
            FUZZ_CHECK(dravik::name_is_safe(part.c_str()));
            ++components;
        }
        start = i + 1;
    }
    FUZZ_CHECK(components == p.depth + 1);
    const std::size_t n = std::strlen(p.name);
    FUZZ_CHECK(p.path.size() >= n && p.path.substr(p.path.size() - n) == p.name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    dravik::OpenStatus status;
    dravik::ArchivePtr a = dravik::archive_open_borrowed(data, size, &status);
    if (!a) {
        FUZZ_CHECK(status.error != dravik::OpenError::none);
        return 0;
    }
    FUZZ_CHECK(status.error == dravik::OpenError::none);
    FUZZ_CHECK(a->table.size() == a->table_size);
    FUZZ_CHECK(a->table_size > 12);

    Entry e;
    dravik::Placement placement(*a);
    std::uint32_t last = 0;
    std::uint8_t byte = 0;
    for (std::uint32_t i = 1; dravik::archive_entry(*a, i, &e); ++i) {
        FUZZ_CHECK(i < a->node_count);
        FUZZ_CHECK(e.index == i);
        check_name_in_table(*a, e);
        FUZZ_CHECK(e.is_directory == (e.stored.type != 0));
        if (e.is_directory) {
            FUZZ_CHECK(e.parent == e.stored.offset && e.end == e.stored.size && e.data_size == 0);
        } else {
            FUZZ_CHECK(e.data_offset == e.stored.offset && e.data_size == e.stored.size);
            // A read inside the entry succeeds exactly when its data lies
            // inside the archive; one past its end never does.
            const bool inside = std::uint64_t{e.data_offset} + e.data_size <= dravik::archive_size(*a);
            if (e.data_size > 0) FUZZ_CHECK(dravik::archive_read(*a, e, e.data_size - 1, &byte, 1) == inside);
            FUZZ_CHECK(!dravik::archive_read(*a, e, e.data_size, &byte, 1));
        }
        check_place(e, placement.place(e));
        char prefix[dravik::kListingPrefixMax];
        FUZZ_CHECK(dravik::format_listing_prefix(prefix, e) <= sizeof prefix);
        check_escaped(e.name);
        last = i;
    }
    if (last != 0) FUZZ_CHECK(last == a->node_count - 1);  // the walk reached the end

    // Out-of-range indices are refused and leave the record alone.
    e.name = "untouched";
    FUZZ_CHECK(!dravik::archive_entry(*a, 0, &e));
    FUZZ_CHECK(!dravik::archive_entry(*a, a->node_count, &e));
    FUZZ_CHECK(!dravik::archive_entry(*a, 0xFFFFFFFFu, &e));
    FUZZ_CHECK(std::strcmp(e.name, "untouched") == 0);
    return 0;
}
