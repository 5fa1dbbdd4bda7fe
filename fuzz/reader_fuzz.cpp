// Fuzz target: the reader on arbitrary bytes. Whatever the input, an open
// either fails with a reason or yields a handle whose walk visits nodes 1 to
// N - 1 in order, each name a NUL-terminated string inside the loaded table,
// and whose names come out of the escaping with nothing a terminal obeys.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "program/console.h"
#include "lib/u8/u8_read.h"
#include "fuzz_check.h"

namespace {

using dravik::ArchiveEntry;
using dravik::ArchiveHandle;

void check_name_in_table(const ArchiveHandle& h, const ArchiveEntry& e) {
    const char* begin = reinterpret_cast<const char*>(h.table.data());
    const char* end = begin + h.table.size();
    FUZZ_CHECK(e.name != nullptr);
    FUZZ_CHECK(e.name >= begin && e.name < end);
    FUZZ_CHECK(std::memchr(e.name, 0, static_cast<std::size_t>(end - e.name)) != nullptr);
    FUZZ_CHECK(e.is_directory == 0 || e.is_directory == 1);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    dravik::OpenStatus status;
    std::unique_ptr<ArchiveHandle> h = dravik::archive_open_bytes(data, size, &status);
    if (!h) {
        FUZZ_CHECK(status.failure != dravik::OpenFailure::none);
        return 0;
    }
    FUZZ_CHECK(status.failure == dravik::OpenFailure::none);
    FUZZ_CHECK(h->table.size() == h->table_size);
    FUZZ_CHECK(h->table_size > 12);

    ArchiveEntry e;
    std::uint32_t last = 0;
    for (std::uint32_t i = dravik::archive_first(h.get(), &e); i != 0;
         i = dravik::archive_next(h.get(), &e, i)) {
        FUZZ_CHECK(i == last + 1);  // ascending, one node at a time, never back to 0
        FUZZ_CHECK(i < h->node_count);
        check_name_in_table(*h, e);
        ArchiveEntry node;
        FUZZ_CHECK(dravik::archive_node(h.get(), &node, i) == i);
        check_name_in_table(*h, node);
        FUZZ_CHECK(node.name == e.name && node.is_directory == e.is_directory);
        if (i == 1) {
            FUZZ_CHECK(e.offset == 0 && e.size == 0);
        } else {
            FUZZ_CHECK(node.offset == e.offset && node.size == e.size);
        }
        char prefix[dravik::kListingPrefixMax];
        FUZZ_CHECK(dravik::format_listing_prefix(prefix, e) <= sizeof prefix);
        check_escaped(e.name);
        last = i;
    }
    if (last != 0) FUZZ_CHECK(last == h->node_count - 1);  // the walk reached the end

    // Out-of-range indices are refused and leave the record alone.
    e.name = "untouched";
    FUZZ_CHECK(dravik::archive_node(h.get(), &e, 0) == 0);
    FUZZ_CHECK(dravik::archive_node(h.get(), &e, h->node_count) == 0);
    FUZZ_CHECK(dravik::archive_node(h.get(), &e, 0xFFFFFFFFu) == 0);
    FUZZ_CHECK(dravik::archive_next(h.get(), &e, 0xFFFFFFFFu) == 0);
    FUZZ_CHECK(std::strcmp(e.name, "untouched") == 0);
    return 0;
}
