#include "lib/u8/u8_write_like.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "lib/u8/u8_format.h"

namespace dravik::u8 {

namespace {

// Moved and new data is aligned like ORIGINAL's: the largest power of two up
// to this that divides every file's offset. Guessing too high only costs
// padding; too low could break a reader that relies on the alignment.
constexpr std::uint32_t kMaxInferredAlignment = 4096;

struct Node {
    std::uint8_t type = 0;  // ORIGINAL's type byte; 1 for new directories
    std::uint32_t name_offset = 0;
    std::uint32_t word1 = 0;
    std::uint32_t word2 = 0;
    const char* name = "";
};

Node read_node(const ArchiveHandle& a, std::uint32_t i) {
    const std::uint8_t* n = node_at(a.table.data(), i);
    Node node;
    node.type = n[0];
    node.name_offset = node_name_offset(n);
    node.word1 = node_offset_word(n);
    node.word2 = node_size_word(n);
    node.name = reinterpret_cast<const char*>(a.table.data() + string_table_start(a.node_count) +
                                               node.name_offset);
    return node;
}

bool walkable(const ArchiveHandle& a) {
    return a.table_size >= kMinWalkableTableSize && a.node_count >= 2;
}

// One node of the new archive.
struct Out {
    std::int64_t old = -1;        // ORIGINAL's index, or -1 for a new entry
    std::uint32_t disk = kTopLevel;  // the folder's entry, when it has one
    bool directory = false;
    bool carried = false;         // not on disk: everything comes from ORIGINAL
    std::uint32_t parent = 0;     // new index of the enclosing folder
    std::uint32_t end = 0;        // directories: new index after the contents
    std::uint64_t size = 0;       // files
    std::uint64_t offset = 0;
};

}  // namespace

std::uint32_t walked_node_count(const ArchiveHandle& a) { return walkable(a) ? a.node_count : 1; }

LikeOutcome layout_like(const ArchiveHandle& a, const std::vector<std::uint8_t>& head,
                        const std::vector<NodePlace>& places, const std::vector<TreeEntry>& disk, const SameContent& same_content,
                        Plan& plan) {
    LikeOutcome outcome;
    plan = Plan();
    const std::uint32_t old_count = walked_node_count(a);
    if (places.size() != old_count) return {{LayoutError::bad_tree}, {}, 0};

    // The folder's paths.
    std::vector<std::string> disk_path(disk.size());
    for (std::uint32_t i = 0; i < disk.size(); ++i) {
        const std::uint32_t p = disk[i].parent;
        if (p != kTopLevel && p >= i) return {{LayoutError::bad_tree, i}, {}, 0};
        disk_path[i] = (p == kTopLevel ? std::string() : disk_path[p] + "/") + disk[i].name;
    }
    std::map<std::string, std::uint32_t> by_path;
    for (std::uint32_t i = 0; i < disk.size(); ++i) by_path.emplace(disk_path[i], i);

    // Which of ORIGINAL's nodes stay: written ones still on disk as the same
    // kind, and every one unpacking could not write. A folder that is gone
    // takes everything inside it along.
    std::vector<Out> olds(old_count);
    std::vector<bool> keep(old_count, true);
    std::vector<bool> used(disk.size(), false);
    std::vector<std::uint32_t> folder_of_path(disk.size(), kTopLevel);  // disk dir -> first node
    std::vector<std::uint32_t> end_of(old_count, old_count);
    {
        std::vector<std::uint32_t> stack{0};  // nodes of open directories
        end_of[0] = old_count;
        for (std::uint32_t i = 1; i < old_count; ++i) {
            while (stack.size() > 1 && i >= end_of[stack.back()]) stack.pop_back();
            const Node n = read_node(a, i);
            Out& o = olds[i];
            o.old = i;
            o.directory = n.type != 0;
            const bool parent_gone = !keep[stack.back()];
            if (o.directory) {
                std::uint32_t end = n.word2;
                if (end <= i || end > end_of[stack.back()]) end = end_of[stack.back()];
                end_of[i] = end;
                stack.push_back(i);
            } else {
                o.size = n.word2;
                o.offset = n.word1;
            }
            if (parent_gone) {
                keep[i] = false;
            } else if (!places[i].written) {
                o.carried = true;
            } else {
                const auto found = by_path.find(places[i].path);
                if (found == by_path.end() || disk[found->second].is_directory != o.directory ||
                    (!o.directory && used[found->second])) {
                    keep[i] = false;
                } else {
                    o.disk = found->second;
                    used[found->second] = true;
                    if (o.directory) {
                        if (folder_of_path[found->second] == kTopLevel)
                            folder_of_path[found->second] = i;
                    } else {
                        o.size = disk[found->second].size;
                    }
                }
            }
            if (!keep[i] && places[i].written && !parent_gone) outcome.dropped.push_back(places[i].path);
        }
    }

    // New entries of each folder (a disk directory's index, or kTopLevel),
    // in the default order.
    std::map<std::uint32_t, std::vector<std::uint32_t>> added;
    bool any_new = false;
    for (std::uint32_t i = 0; i < disk.size(); ++i) {
        if (used[i]) continue;
        added[disk[i].parent].push_back(i);
        any_new = true;
    }
    for (auto& [folder, list] : added)
        std::sort(list.begin(), list.end(),
                  [&disk](std::uint32_t x, std::uint32_t y) { return default_less(disk[x], disk[y]); });
    bool any_dropped = false;
    for (std::uint32_t i = 1; i < old_count; ++i) any_dropped = any_dropped || !keep[i];
    const bool same_nodes = !any_new && !any_dropped;

    // The new node order: ORIGINAL's kept nodes, each folder's new entries
    // just before its end.
    std::vector<Out> out;
    out.reserve(old_count + disk.size());
    std::vector<std::uint32_t> new_index(old_count, 0);
    out.push_back(Out{});
    out[0].old = 0;
    out[0].directory = true;
    std::vector<std::uint32_t> open{0};  // new indices of open folders
    std::vector<std::uint32_t> open_old{0};
    // Appends a disk folder's new entries below new node `parent`.
    std::function<void(std::uint32_t, std::uint32_t)> append_new = [&](std::uint32_t folder,
                                                                       std::uint32_t parent) {
        const auto found = added.find(folder);
        if (found == added.end()) return;
        for (std::uint32_t d : found->second) {
            Out o;
            o.disk = d;
            o.directory = disk[d].is_directory;
            o.parent = parent;
            o.size = o.directory ? 0 : disk[d].size;
            const auto at = static_cast<std::uint32_t>(out.size());
            out.push_back(o);
            if (o.directory) {
                append_new(d, at);
                out[at].end = static_cast<std::uint32_t>(out.size());
            }
        }
    };
    const auto close_level = [&]() {
        const std::uint32_t n = open.back();
        const std::uint32_t old = open_old.back();
        const std::uint32_t folder = old == 0 ? kTopLevel : olds[old].disk;
        // New entries attach to the first node of their folder's path.
        if (old == 0 || (keep[old] && folder != kTopLevel && folder_of_path[folder] == old))
            append_new(folder, n);
        out[n].end = static_cast<std::uint32_t>(out.size());
        open.pop_back();
        open_old.pop_back();
    };
    for (std::uint32_t i = 1; i < old_count; ++i) {
        while (open.size() > 1 && i >= end_of[open_old.back()]) close_level();
        if (!keep[i]) continue;
        Out o = olds[i];
        o.parent = open.back();
        new_index[i] = static_cast<std::uint32_t>(out.size());
        out.push_back(o);
        if (o.directory) {
            open.push_back(new_index[i]);
            open_old.push_back(i);
        }
    }
    while (!open.empty()) close_level();
    const auto count = static_cast<std::uint32_t>(out.size());

    // The table: names and node words. With the same nodes, ORIGINAL's names
    // stay byte for byte, offsets included.
    if (head.size() < kHeaderSize) return {{LayoutError::unusual_original}, {}, 0};
    const std::uint32_t table_offset = header_table_offset(head.data());
    if (table_offset < kHeaderSize || head.size() != table_offset)
        return {{LayoutError::unusual_original}, {}, 0};
    const std::uint64_t old_strings = string_table_start(old_count);
    std::vector<std::uint8_t> strings;
    std::vector<std::uint32_t> name_offset(count, 0);
    if (same_nodes) {
        strings.assign(a.table.begin() + static_cast<std::ptrdiff_t>(old_strings),
                       a.table.begin() + a.table_size);
        for (std::uint32_t k = 0; k < count; ++k)
            name_offset[k] = read_node(a, static_cast<std::uint32_t>(out[k].old)).name_offset;
    } else {
        for (std::uint32_t k = 0; k < count; ++k) {
            if (strings.size() > kMaxNameOffset) return {{LayoutError::names_too_large, out[k].disk}, {}, 0};
            name_offset[k] = static_cast<std::uint32_t>(strings.size());
            const char* name = out[k].old >= 0 ? read_node(a, static_cast<std::uint32_t>(out[k].old)).name
                                               : disk[out[k].disk].name.c_str();
            const std::size_t length =
                out[k].old >= 0 ? std::strlen(name) : disk[out[k].disk].name.size();
            strings.insert(strings.end(), name, name + length);
            strings.push_back(0);
        }
    }
    const std::uint64_t table_size = std::uint64_t{count} * kNodeSize + strings.size();
    const std::uint64_t table_end = std::uint64_t{table_offset} + table_size;
    if (table_end > kMaxOffset) return {{LayoutError::too_many_nodes}, {}, 0};
    const std::uint64_t old_table_end = std::uint64_t{table_offset} + a.table_size;
    const bool same_table_size = table_end == old_table_end;

    // Data, in ORIGINAL's data order: blocks that overlap or are shared form
    // one cluster, kept whole while every entry in it is unchanged.
    struct Block {
        std::uint64_t offset, size;
        std::uint32_t k;     // new index, or kTopLevel for a dropped entry
        std::uint32_t old;
    };
    // ORIGINAL's alignment comes from the same pass over its files.
    std::vector<Block> blocks;
    std::uint64_t old_data_end = old_table_end;
    std::uint32_t align = kMaxInferredAlignment;
    for (std::uint32_t i = 1; i < old_count; ++i) {
        const Node n = read_node(a, i);
        if (n.type != 0) continue;
        if (n.word2 == 0) {
            if (keep[i]) blocks.push_back(Block{n.word1, 0, new_index[i], i});
            continue;
        }
        while (align > 1 && n.word1 % align != 0) align /= 2;
        if (std::uint64_t{n.word1} + n.word2 > a.stream.size) continue;  // carried as stored
        blocks.push_back(Block{n.word1, n.word2, keep[i] ? new_index[i] : kTopLevel, i});
        old_data_end = std::max(old_data_end, std::uint64_t{n.word1} + n.word2);
    }
    outcome.alignment = align;
    // Empty files come first at their offset: they take no room.
    std::stable_sort(blocks.begin(), blocks.end(), [](const Block& x, const Block& y) {
        return x.offset != y.offset ? x.offset < y.offset : x.size < y.size;
    });

    // Where data may start: right after the table when it kept its size
    // (ORIGINAL's bytes in between), else after the new table, aligned when
    // it grew; a smaller table leaves the data where it was.
    std::uint64_t data_start = old_table_end;
    std::uint32_t data_offset_word = be32(head.data() + kHeaderDataOffset);
    if (!same_table_size) {
        data_start = table_end > old_table_end ? align_up(table_end, align) : table_end;
        if (table_end > old_table_end || data_offset_word < table_end)
            data_offset_word = static_cast<std::uint32_t>(align_up(table_end, align));
    }
    std::uint64_t cursor = data_start;
    bool moved = false;
    bool gap_original = same_table_size;  // the bytes since `cursor` are ORIGINAL's
    std::uint64_t written = table_end;  // everything before is in the head
    const auto fill = [&](std::uint64_t to, bool original) {
        if (to <= written) return;
        if (written < table_end) written = table_end;
        plan.pieces.push_back(Piece{original ? Piece::From::original : Piece::From::zeros, written,
                                    to - written, written});
        written = to;
    };
    const auto place = [&](std::uint64_t at, std::uint64_t size, Piece::From from, std::uint64_t key,
                           bool gap_from_original) -> bool {
        if (at + size > kMaxOffset + 1 || at > kMaxOffset) return false;
        if (size == 0) return true;
        fill(at, gap_from_original);
        plan.pieces.push_back(Piece{from, at, size, key});
        written = at + size;
        return true;
    };
    const auto source_of = [&](const Out& o) {
        return o.carried ? std::pair(Piece::From::original, o.offset)
                         : std::pair(Piece::From::file, disk[o.disk].key);
    };

    for (std::size_t b = 0; b < blocks.size();) {
        // The cluster: blocks overlapping the first one, transitively.
        std::size_t e = b + 1;
        std::uint64_t span_end = blocks[b].offset + blocks[b].size;
        if (blocks[b].size != 0)
            while (e < blocks.size() && blocks[e].offset < span_end) {
                span_end = std::max(span_end, blocks[e].offset + blocks[e].size);
                ++e;
            }
        const std::uint64_t start = blocks[b].offset;
        std::vector<Block> members(blocks.begin() + static_cast<std::ptrdiff_t>(b),
                                   blocks.begin() + static_cast<std::ptrdiff_t>(e));
        b = e;
        std::vector<Block> live;
        for (const Block& m : members)
            if (m.k != kTopLevel) live.push_back(m);
        if (live.size() != members.size()) gap_original = false;  // dropped data is not kept
        if (live.empty()) continue;

        if (members.size() == 1 && members[0].size == 0) {  // an empty file
            Out& o = out[live[0].k];
            if (o.size == 0) {
                o.offset = moved ? align_up(cursor, align) : start;
                continue;
            }
        }
        if (live.size() == 1) {
            Out& o = out[live[0].k];
            const bool fits = !moved && start >= cursor;
            const std::uint64_t at = fits ? start : align_up(cursor, align);
            if (!fits) moved = true;
            const auto [from, key] = source_of(o);
            if (!place(at, o.size, from, key, fits && gap_original))
                return {{LayoutError::offset_too_large, o.disk}, {}, 0};
            o.offset = at;
            if (o.size != 0) cursor = at + o.size;
            if (o.size != live[0].size) moved = true;
            gap_original = !moved;
            continue;
        }
        // A shared or overlapping cluster: the entries whose data is exactly
        // ORIGINAL's keep sharing it; any other gets a block of its own after.
        std::vector<Block> unchanged, changed;
        for (const Block& m : live) {
            const Out& o = out[m.k];
            const bool same =
                o.carried || (o.size == m.size && same_content(static_cast<std::uint32_t>(o.old),
                                                               disk[o.disk].key));
            (same ? unchanged : changed).push_back(m);
        }
        if (!unchanged.empty()) {
            const bool fits = !moved && start >= cursor;
            const std::uint64_t at = fits ? start : align_up(cursor, align);
            if (!fits) moved = true;
            if (!place(at, span_end - start, Piece::From::original, start, fits && gap_original))
                return {{LayoutError::offset_too_large}, {}, 0};
            for (const Block& m : unchanged) out[m.k].offset = at + (m.offset - start);
            cursor = at + (span_end - start);
            gap_original = !moved;
        }
        for (const Block& m : changed) {
            Out& o = out[m.k];
            const std::uint64_t at = align_up(cursor, align);
            const auto [from, key] = source_of(o);
            if (!place(at, o.size, from, key, false))
                return {{LayoutError::offset_too_large, o.disk}, {}, 0};
            o.offset = at;
            cursor = at + o.size;
            moved = true;
            gap_original = false;
        }
    }
    // New files: after the last block, in node order.
    for (std::uint32_t k = 1; k < count; ++k) {
        Out& o = out[k];
        if (o.old >= 0 || o.directory) continue;
        const std::uint64_t at = align_up(cursor, align);
        if (!place(at, o.size, Piece::From::file, disk[o.disk].key, false))
            return {{LayoutError::offset_too_large, o.disk}, {}, 0};
        o.offset = at;
        cursor = at + o.size;
        moved = true;
    }
    // ORIGINAL's bytes after its last block stay while nothing moved; a
    // padded end stays padded.
    const std::uint64_t data_end = std::max(cursor, written);
    if (!moved && gap_original && same_nodes) {
        fill(std::max(a.stream.size, data_end), true);
    } else if (a.stream.size > old_data_end) {
        fill(align_up(data_end, align), false);
    }
    plan.size = std::max(written, table_end);

    // The head: ORIGINAL's bytes up to the table, then the table.
    plan.head.assign(head.begin(), head.end());
    plan.head.resize(static_cast<std::size_t>(table_end), 0);
    std::uint8_t* h = plan.head.data();
    if (!same_table_size) {
        put_be32(h + kHeaderTableSize, static_cast<std::uint32_t>(table_size));
        put_be32(h + kHeaderDataOffset, data_offset_word);
    }
    std::uint8_t* t = h + table_offset;
    for (std::uint32_t k = 0; k < count; ++k) {
        const Out& o = out[k];
        std::uint8_t* n = t + std::size_t{k} * kNodeSize;
        const bool old = o.old >= 0;
        const Node raw = old ? read_node(a, static_cast<std::uint32_t>(o.old)) : Node{};
        const std::uint8_t type = old ? raw.type : (o.directory ? 1 : 0);
        put_be32(n, (std::uint32_t{type} << 24) | name_offset[k]);
        if (k == 0) {
            put_be32(n + 4, raw.word1);
            put_be32(n + 8, same_nodes ? raw.word2 : count);
        } else if (o.directory) {
            std::uint32_t parent = o.parent;
            std::uint32_t end = o.end;
            if (same_nodes) {
                parent = raw.word1;
                end = raw.word2;
            } else if (old && raw.word1 < old_count && keep[raw.word1] &&
                       (raw.word1 == 0 || new_index[raw.word1] != 0)) {
                parent = raw.word1 == 0 ? 0 : new_index[raw.word1];
            }
            put_be32(n + 4, parent);
            put_be32(n + 8, end);
        } else {
            const bool stored_as_is =
                old && raw.word2 != 0 && std::uint64_t{raw.word1} + raw.word2 > a.stream.size;
            put_be32(n + 4, stored_as_is ? raw.word1 : static_cast<std::uint32_t>(o.offset));
            put_be32(n + 8, stored_as_is ? raw.word2 : static_cast<std::uint32_t>(o.size));
        }
    }
    if (!strings.empty())
        std::memcpy(t + std::size_t{count} * kNodeSize, strings.data(), strings.size());
    // Table bytes of ORIGINAL past the nodes and names (a padded table size) stay.
    return outcome;
}

}  // namespace dravik::u8
