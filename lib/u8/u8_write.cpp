#include "lib/u8/u8_write.h"

#include <vector>

#include <algorithm>
#include <cstring>

#include "lib/u8/u8_format.h"

namespace dravik::u8 {

namespace {

constexpr std::uint32_t kFirstNode = 0x20;
constexpr std::size_t kZeroChunk = 64 * 1024;

unsigned char lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

}  // namespace

const char* layout_error_text(LayoutError error) {
    switch (error) {
        case LayoutError::none: break;
        case LayoutError::offset_too_large:
            return "the archive's data would pass 4 GiB - 1, which U8 offsets cannot reach";
        case LayoutError::names_too_large:
            return "the names would pass 16 MiB, which U8 name offsets cannot reach";
        case LayoutError::too_many_nodes: return "too many entries for a U8 table";
        case LayoutError::bad_alignment: return "the alignment must be a power of two from 1 to 65536";
        case LayoutError::bad_tree: return "the tree is not a tree (a folder inside itself)";
        case LayoutError::bad_name: return "a name holding a NUL byte cannot be stored";
        case LayoutError::unusual_original: return "the archive has its table inside its header";
    }
    return "cannot be laid out";
}

bool alignment_is_valid(std::uint32_t align) {
    return align >= 1 && align <= kMaxAlignment && (align & (align - 1)) == 0;
}

bool default_less(bool x_directory, std::string_view x, bool y_directory, std::string_view y) {
    if (x_directory != y_directory) return !x_directory;
    const std::size_t n = std::min(x.size(), y.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char a = lower(static_cast<unsigned char>(x[i]));
        const unsigned char b = lower(static_cast<unsigned char>(y[i]));
        if (a != b) return a < b;
    }
    if (x.size() != y.size()) return x.size() < y.size();
    return x < y;
}

bool default_less(const TreeEntry& x, const TreeEntry& y) {
    return default_less(x.is_directory, x.name, y.is_directory, y.name);
}

namespace {

// Node order of the default layout (or, unsorted, of the listed order), by
// list index, the root excluded. False when the parents do not form a tree.
bool default_order(const std::vector<TreeEntry>& entries, std::vector<std::uint32_t>& order,
                   bool sorted) {
    const std::size_t n = entries.size();
    // children[n] is the root's list.
    std::vector<std::vector<std::uint32_t>> children(n + 1);
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t p = entries[i].parent;
        if (p == kTopLevel) {
            children[n].push_back(i);
        } else {
            if (p >= n || !entries[p].is_directory) return false;
            children[p].push_back(i);
        }
    }
    if (sorted)
        for (auto& list : children)
            std::sort(list.begin(), list.end(), [&entries](std::uint32_t a, std::uint32_t b) {
                return default_less(entries[a], entries[b]);
            });
    order.clear();
    order.reserve(n);
    // Depth first without recursion: a stack of (list, position).
    std::vector<std::pair<std::uint32_t, std::size_t>> stack{{static_cast<std::uint32_t>(n), 0}};
    while (!stack.empty()) {
        auto& [list, at] = stack.back();
        if (at == children[list].size()) {
            stack.pop_back();
            continue;
        }
        const std::uint32_t i = children[list][at++];
        order.push_back(i);
        if (entries[i].is_directory) {
            if (stack.size() > n) return false;
            stack.emplace_back(i, 0);
        }
    }
    // Entries in a loop of parents are never reached from the root.
    return order.size() == n;
}

LayoutResult layout(const std::vector<TreeEntry>& entries, std::uint32_t align, bool sorted,
                    Plan& plan, std::vector<std::uint32_t>* order_out) {
    plan = Plan();
    if (!alignment_is_valid(align)) return {LayoutError::bad_alignment};
    std::vector<std::uint32_t> order;
    if (!default_order(entries, order, sorted)) return {LayoutError::bad_tree};
    if (!sorted)
        for (std::uint32_t k = 0; k < order.size(); ++k)
            if (order[k] != k) return {LayoutError::bad_tree, order[k]};
    if (entries.size() >= (kMaxOffset - kFirstNode) / kNodeSize) return {LayoutError::too_many_nodes};
    const auto count = static_cast<std::uint32_t>(entries.size() + 1);

    // Node index of each entry, and the index after each directory's contents.
    std::vector<std::uint32_t> index(entries.size());
    for (std::uint32_t k = 0; k < order.size(); ++k) index[order[k]] = k + 1;
    // Subtree sizes, children before parents (reverse node order).
    std::vector<std::uint32_t> subtree(entries.size(), 1);
    for (std::size_t k = order.size(); k-- > 0;) {
        const std::uint32_t p = entries[order[k]].parent;
        if (p != kTopLevel) subtree[p] += subtree[order[k]];
    }

    // Names, in node order, after the root's empty name.
    std::uint64_t strings = 1;
    std::vector<std::uint32_t> name_at(entries.size());
    for (std::uint32_t i : order) {
        if (entries[i].name.find('\0') != std::string::npos) return {LayoutError::bad_name, i};
        if (strings > kMaxNameOffset) return {LayoutError::names_too_large, i};
        name_at[i] = static_cast<std::uint32_t>(strings);
        strings += entries[i].name.size() + 1;
    }
    const std::uint64_t table_size = std::uint64_t{count} * kNodeSize + strings;
    const std::uint64_t table_end = kFirstNode + table_size;
    if (table_end > kMaxOffset) return {LayoutError::names_too_large};
    const std::uint64_t data_start = align_up(table_end, align);

    // Data in node order; every block aligned.
    std::vector<std::uint32_t> offset(entries.size(), 0);
    std::uint64_t cursor = data_start;
    plan.pieces.reserve(order.size() * 2);
    std::uint64_t written = table_end;
    std::uint64_t last_empty = 0;
    for (std::uint32_t i : order) {
        if (entries[i].is_directory) continue;
        const std::uint64_t at = align_up(cursor, align);
        if (at + entries[i].size > kMaxOffset + 1 || at > kMaxOffset)
            return {LayoutError::offset_too_large, i};
        offset[i] = static_cast<std::uint32_t>(at);
        cursor = at + entries[i].size;
        if (entries[i].size == 0) {
            last_empty = at;
            continue;
        }
        if (at > written) plan.pieces.push_back(Piece{Piece::From::zeros, written, at - written, 0});
        plan.pieces.push_back(Piece{Piece::From::file, at, entries[i].size, entries[i].key});
        written = cursor;
    }
    // An empty file's offset still points inside the archive.
    if (last_empty > written) {
        plan.pieces.push_back(Piece{Piece::From::zeros, written, last_empty - written, 0});
        written = last_empty;
    }
    plan.size = written;

    plan.head.assign(static_cast<std::size_t>(table_end), 0);
    std::uint8_t* h = plan.head.data();
    std::memcpy(h, kMagic, 4);
    put_be32(h + kHeaderTableOffset, kFirstNode);
    put_be32(h + kHeaderTableSize, static_cast<std::uint32_t>(table_size));
    put_be32(h + kHeaderDataOffset, static_cast<std::uint32_t>(data_start));
    std::uint8_t* node = h + kFirstNode;
    node[0] = 1;
    put_be32(node + 8, count);
    std::uint8_t* names = h + kFirstNode + std::size_t{count} * kNodeSize;
    for (std::uint32_t k = 0; k < order.size(); ++k) {
        const std::uint32_t i = order[k];
        const TreeEntry& e = entries[i];
        std::uint8_t* n = h + kFirstNode + std::size_t{k + 1} * kNodeSize;
        put_be32(n, (e.is_directory ? 0x01000000u : 0u) | name_at[i]);
        if (e.is_directory) {
            put_be32(n + 4, e.parent == kTopLevel ? 0 : index[e.parent]);
            put_be32(n + 8, index[i] + subtree[i]);
        } else {
            put_be32(n + 4, offset[i]);
            put_be32(n + 8, static_cast<std::uint32_t>(e.size));
        }
        std::memcpy(names + name_at[i], e.name.data(), e.name.size());
    }
    if (order_out) *order_out = std::move(order);
    return {};
}

}  // namespace

LayoutResult layout_default(const std::vector<TreeEntry>& entries, std::uint32_t align, Plan& plan,
                            std::vector<std::uint32_t>* order) {
    return layout(entries, align, true, plan, order);
}

LayoutResult layout_in_order(const std::vector<TreeEntry>& entries, std::uint32_t align, Plan& plan) {
    return layout(entries, align, false, plan, nullptr);
}

bool write_plan(const Plan& plan, const ByteSink& sink, const DataSource& files,
                const Archive* original) {
    if (!plan.head.empty() && !sink(plan.head.data(), plan.head.size())) return false;
    static const std::uint8_t zeros[kZeroChunk] = {};
    std::vector<std::uint8_t> chunk;
    for (const Piece& piece : plan.pieces) {
        switch (piece.from) {
            case Piece::From::zeros:
                for (std::uint64_t left = piece.size; left > 0;) {
                    const std::size_t n = left < kZeroChunk ? static_cast<std::size_t>(left) : kZeroChunk;
                    if (!sink(zeros, n)) return false;
                    left -= n;
                }
                break;
            case Piece::From::file:
                if (!files || !files(piece, sink)) return false;
                break;
            case Piece::From::original:
                if (!original) {
                    if (!files || !files(piece, sink)) return false;
                    break;
                }
                if (const std::uint8_t* bytes = archive_bytes(*original)) {
                    if (piece.key > archive_size(*original) ||
                        piece.size > archive_size(*original) - piece.key ||
                        !sink(bytes + piece.key, static_cast<std::size_t>(piece.size)))
                        return false;
                    break;
                }
                chunk.resize(kZeroChunk);
                for (std::uint64_t done = 0; done < piece.size;) {
                    const std::uint64_t left = piece.size - done;
                    const std::size_t n = left < kZeroChunk ? static_cast<std::size_t>(left) : kZeroChunk;
                    if (!archive_read_bytes(*original, piece.key + done, chunk.data(), n) ||
                        !sink(chunk.data(), n))
                        return false;
                    done += n;
                }
                break;
        }
    }
    return true;
}

}  // namespace dravik::u8
