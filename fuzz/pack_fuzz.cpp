// Fuzz target: the writer on a random tree. The input describes entries
// (kind, parent, name, data); the tree is laid out in the default order at
// a chosen alignment, written, and opened again with the reader, which must
// find every entry where the layout rule puts it: names and data byte for
// byte, directory words that nest exactly, data aligned and inside the
// archive.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "dravik/archive.h"
#include "dravik/writer.h"
#include "fuzz_check.h"

namespace u8 = dravik::u8;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    const auto next = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
    const std::uint32_t align = 1u << (next() % 17);
    std::vector<u8::TreeEntry> entries;
    std::vector<std::string> contents;
    std::vector<std::uint32_t> directories;
    while (at < size && entries.size() < 200) {
        const std::uint8_t head = next();
        u8::TreeEntry e;
        e.is_directory = head & 1;
        const std::uint32_t pick = head >> 1;
        e.parent = directories.empty() || pick % (directories.size() + 1) == 0
                       ? u8::kTopLevel
                       : directories[pick % (directories.size() + 1) - 1];
        for (std::size_t n = next() % 9; n > 0; --n)
            e.name.push_back(static_cast<char>(next() | 1));  // never NUL
        std::string bytes;
        if (!e.is_directory)
            for (std::size_t n = next() % 70; n > 0; --n) bytes.push_back(static_cast<char>(next()));
        e.size = bytes.size();
        e.key = contents.size();
        if (e.is_directory) directories.push_back(static_cast<std::uint32_t>(entries.size()));
        entries.push_back(e);
        contents.push_back(bytes);
    }

    u8::Plan plan;
    std::vector<std::uint32_t> order;
    FUZZ_CHECK(u8::layout_default(entries, align, plan, &order).error == u8::LayoutError::none);
    const std::vector<std::uint8_t> archive = fixture::write_in_memory(plan, contents);
    FUZZ_CHECK(archive.size() == plan.size);
    FUZZ_CHECK(order.size() == entries.size());

    std::vector<std::uint32_t> index(entries.size());
    for (std::uint32_t k = 0; k < order.size(); ++k) index[order[k]] = k + 1;
    // The subtree of each directory, to check its end word.
    std::vector<std::uint32_t> subtree(entries.size(), 1);
    for (std::size_t k = order.size(); k-- > 0;)
        if (entries[order[k]].parent != u8::kTopLevel) subtree[entries[order[k]].parent] += subtree[order[k]];

    if (entries.empty()) return 0;  // a root alone is a valid archive with nothing to walk
    auto handle = dravik::archive_open_borrowed(archive.data(), archive.size());
    FUZZ_CHECK(handle != nullptr);
    FUZZ_CHECK(dravik::archive_node_count(*handle) == entries.size() + 1);
    dravik::Entry node;
    for (std::uint32_t k = 1; k <= order.size(); ++k) {
        FUZZ_CHECK(dravik::archive_entry(*handle, k, &node));
        const u8::TreeEntry& e = entries[order[k - 1]];
        FUZZ_CHECK(node.name == e.name);
        FUZZ_CHECK(node.is_directory == e.is_directory);
        if (e.is_directory) {
            FUZZ_CHECK(node.parent == (e.parent == u8::kTopLevel ? 0 : index[e.parent]));
            FUZZ_CHECK(node.end == k + subtree[order[k - 1]]);
        } else {
            FUZZ_CHECK(node.data_size == e.size);
            FUZZ_CHECK(node.data_offset % align == 0);
            FUZZ_CHECK(std::uint64_t{node.data_offset} + node.data_size <= archive.size());
            FUZZ_CHECK(std::memcmp(archive.data() + node.data_offset, contents[e.key].data(), e.size) == 0);
        }
        // Files before folders, each group in order.
        if (k > 1 && e.parent == entries[order[k - 2]].parent) {
            const u8::TreeEntry& before = entries[order[k - 2]];
            FUZZ_CHECK(before.is_directory <= e.is_directory);
        }
    }
    return 0;
}
