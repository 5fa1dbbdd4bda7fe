// Editing an archive (ORIGINAL): a new layout that keeps every byte of
// ORIGINAL the edit does not touch. Packing like an original is the same
// engine, with the edit read off an unpacked folder (u8_write_like.cpp).
//
// The layout goes in phases, each a function of EditLayout below:
//   nest          ORIGINAL's nesting: each node's enclosing directory
//   build_tree    the new tree: each folder's entries in their new order
//                 (ORIGINAL's kept ones, then the ones moved in, then the
//                 added ones), and which entries are still in it
//   order_nodes   the new node order, depth first over that tree
//   build_names   the names table: ORIGINAL's byte for byte when the
//                 nodes and names are the same, else rebuilt in node order
//   place_data    every file's data, in ORIGINAL's data order
//   write_head    ORIGINAL's bytes up to the table, then the new table
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "lib/u8/u8_format.h"
#include "lib/u8/u8_read.h"
#include "lib/u8/u8_write.h"

namespace dravik::u8 {

namespace {

// Moved and new data is aligned like ORIGINAL's: the largest power of two up
// to this that divides every file's offset. Guessing too high only costs
// padding; too low could break a reader that relies on the alignment.
constexpr std::uint32_t kMaxInferredAlignment = 4096;
// With no data to tell from, the default layout's alignment.
constexpr std::uint32_t kNothingToTell = 32;
constexpr std::uint32_t kNone = 0xFFFFFFFF;

// One node of the new archive.
struct Out {
    std::int64_t old = -1;         // ORIGINAL's index, or -1 for an added entry
    std::uint32_t added = kNone;   // Edit::added's index, for an added entry
    bool directory = false;
    bool replaced = false;         // a file whose data comes from the caller (`key`)
    bool moved = false;
    bool placed = false;           // its data has its place in the new archive
    std::uint32_t parent = 0;      // new index of the enclosing folder
    std::uint32_t end = 0;         // directories: new index after the contents
    std::uint64_t size = 0;        // files
    std::uint64_t offset = 0;      // ORIGINAL's offset until placed, then the new one
    std::uint64_t key = 0;
    std::uint32_t tag = kTopLevel;
};

// One of ORIGINAL's data blocks, in its data order.
struct Block {
    std::uint64_t offset, size;
    std::uint32_t k;  // new index, or kTopLevel for an entry that is gone
    std::uint32_t old;
};

const EditNode& unchanged_node() {
    static const EditNode kept;
    return kept;
}

class EditLayout {
public:
    EditLayout(const Archive& a, const Edit& edit, const SameContent& same, Plan& plan)
        : a_(a), edit_(edit), same_content_(same), plan_(plan), old_count_(a.walked) {}

    EditOutcome run();

private:
    const EditNode& node(std::uint32_t i) const {
        return i < edit_.nodes.size() ? edit_.nodes[i] : unchanged_node();
    }
    // Entries of the new tree are ids: ORIGINAL's node index, or old_count_
    // plus the index in Edit::added.
    bool folder_id(const EditFolder& folder, std::uint32_t* id) const;
    std::uint32_t new_parent(std::uint32_t id) const;
    void append(std::uint32_t folder, std::uint32_t id);
    LayoutResult build_tree();
    LayoutResult resolve(std::uint32_t id);
    void order_nodes();
    const char* name_of(const Out& o) const;
    LayoutResult build_names();
    LayoutResult place_data(EditOutcome& outcome);
    void collect_blocks(EditOutcome& outcome);
    LayoutResult place_cluster(const std::vector<Block>& members, std::uint64_t span_end);
    bool place(std::uint64_t at, std::uint64_t size, Piece::From from, std::uint64_t key,
               bool gap_from_original);
    void push(const Piece& piece);
    void fill(std::uint64_t to, bool original);
    void write_head();

    const Archive& a_;
    const Edit& edit_;
    const SameContent& same_content_;
    Plan& plan_;
    const std::uint32_t old_count_;

    // nest
    std::vector<std::uint32_t> enclosing_;
    // build_tree: each folder's entries as a list, and whether each entry is
    // still in the tree
    std::vector<std::uint32_t> first_, last_, next_, folder_of_;
    enum : std::uint8_t { kUnknown, kResolving, kAlive, kGone };
    std::vector<std::uint8_t> state_;
    bool same_nodes_ = true;
    // order_nodes
    std::vector<Out> out_;
    std::vector<std::uint32_t> new_index_, added_index_;
    std::uint32_t count_ = 0;
    // build_names
    std::vector<std::uint8_t> strings_;
    std::vector<std::uint32_t> name_offset_;
    std::uint32_t table_offset_ = 0;
    std::uint64_t table_size_ = 0, table_end_ = 0, old_table_end_ = 0;
    bool same_table_size_ = false;
    // place_data
    std::vector<Block> blocks_;
    std::uint64_t old_data_end_ = 0;
    std::uint32_t align_ = kMaxInferredAlignment;
    std::uint32_t data_offset_word_ = 0;
    std::uint64_t cursor_ = 0;
    bool moved_ = false;
    bool gap_original_ = false;  // the bytes since `cursor_` are ORIGINAL's
    std::uint64_t written_ = 0;  // everything before is in the head or a piece
};

bool EditLayout::folder_id(const EditFolder& folder, std::uint32_t* id) const {
    if (folder.added) {
        if (folder.index >= edit_.added.size() || !edit_.added[folder.index].is_directory) return false;
        *id = old_count_ + folder.index;
        return true;
    }
    if (folder.index >= old_count_ || (folder.index != 0 && archive_stored(a_, folder.index).type == 0))
        return false;
    *id = folder.index;
    return true;
}

std::uint32_t EditLayout::new_parent(std::uint32_t id) const { return folder_of_[id]; }

void EditLayout::append(std::uint32_t folder, std::uint32_t id) {
    folder_of_[id] = folder;
    if (first_[folder] == kNone) first_[folder] = id;
    else next_[last_[folder]] = id;
    last_[folder] = id;
}

// Whether entry `id` is still in the new tree: nothing on its way up to the
// root removed. Each entry is settled once, so this is linear overall; a way
// up that comes back to itself is a folder moved into itself.
LayoutResult EditLayout::resolve(std::uint32_t id) {
    std::vector<std::uint32_t> path;
    std::uint32_t x = id;
    while (state_[x] == kUnknown) {
        state_[x] = kResolving;
        path.push_back(x);
        x = new_parent(x);
    }
    if (state_[x] == kResolving) {
        const std::uint32_t tag = id < old_count_ ? node(id).tag : edit_.added[id - old_count_].tag;
        return {LayoutError::bad_tree, tag};
    }
    std::uint8_t above = state_[x];
    for (std::size_t p = path.size(); p-- > 0;) {
        const std::uint32_t y = path[p];
        const bool removed = y < old_count_ && node(y).remove;
        above = above == kAlive && !removed ? kAlive : kGone;
        state_[y] = above;
    }
    return {};
}

// ORIGINAL's nesting, then the new tree: in each folder, ORIGINAL's entries
// that stay in it, in their order; then the entries moved into it, in
// ORIGINAL's order; then the added ones, in the default order.
LayoutResult EditLayout::build_tree() {
    original_nesting(a_, enclosing_);
    const std::size_t total = std::size_t{old_count_} + edit_.added.size();
    first_.assign(total, kNone);
    last_.assign(total, kNone);
    next_.assign(total, kNone);
    folder_of_.assign(total, 0);
    for (std::uint32_t i = 1; i < old_count_; ++i) {
        const EditNode& n = node(i);
        if (n.remove || n.rename || n.move) same_nodes_ = false;
        if (!n.move) append(enclosing_[i], i);
    }
    for (std::uint32_t i = 1; i < old_count_; ++i) {
        const EditNode& n = node(i);
        if (!n.move) continue;
        std::uint32_t folder = 0;
        if (!folder_id(n.folder, &folder)) return {LayoutError::bad_tree, n.tag};
        append(folder, i);
    }
    std::vector<std::uint32_t> order(edit_.added.size());
    std::vector<std::uint32_t> folder_of_added(edit_.added.size());
    for (std::uint32_t k = 0; k < order.size(); ++k) {
        order[k] = k;
        if (!folder_id(edit_.added[k].folder, &folder_of_added[k]))
            return {LayoutError::bad_tree, edit_.added[k].tag};
        same_nodes_ = false;
    }
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
        if (folder_of_added[x] != folder_of_added[y]) return folder_of_added[x] < folder_of_added[y];
        const EditAdded& p = edit_.added[x];
        const EditAdded& q = edit_.added[y];
        return default_less(p.is_directory, p.name, q.is_directory, q.name);
    });
    for (std::uint32_t k : order) append(folder_of_added[k], old_count_ + k);

    state_.assign(total, kUnknown);
    state_[0] = kAlive;
    for (std::uint32_t id = 1; id < total; ++id) {
        const LayoutResult r = resolve(id);
        if (r.error != LayoutError::none) return r;
    }
    for (std::uint32_t i = 1; i < old_count_; ++i) same_nodes_ = same_nodes_ && state_[i] == kAlive;
    return {};
}

// The new node order: depth first over the new tree, without recursion.
void EditLayout::order_nodes() {
    const std::size_t total = state_.size();
    out_.reserve(total);
    new_index_.assign(old_count_, 0);
    added_index_.assign(edit_.added.size(), 0);
    out_.push_back(Out{});
    out_[0].old = 0;
    out_[0].directory = true;
    struct Open {
        std::uint32_t out;   // its new index
        std::uint32_t next;  // the next of its entries to visit
    };
    std::vector<Open> open{{0, first_[0]}};
    while (!open.empty()) {
        const std::uint32_t id = open.back().next;
        if (id == kNone) {
            out_[open.back().out].end = static_cast<std::uint32_t>(out_.size());
            open.pop_back();
            continue;
        }
        open.back().next = next_[id];
        if (state_[id] != kAlive) continue;
        Out o;
        o.parent = open.back().out;
        if (id < old_count_) {
            const StoredNode n = archive_stored(a_, id);
            const EditNode& e = node(id);
            o.old = id;
            o.directory = n.type != 0;
            o.moved = e.move;
            o.tag = e.tag;
            if (!o.directory) {
                o.offset = n.offset;
                o.size = n.size;
                if (e.replace) {
                    o.replaced = true;
                    o.size = e.size;
                    o.key = e.key;
                }
            }
        } else {
            const EditAdded& e = edit_.added[id - old_count_];
            o.added = id - old_count_;
            o.directory = e.is_directory;
            o.replaced = !e.is_directory;
            o.size = e.is_directory ? 0 : e.size;
            o.key = e.key;
            o.tag = e.tag;
        }
        const auto k = static_cast<std::uint32_t>(out_.size());
        if (id < old_count_) new_index_[id] = k;
        else added_index_[id - old_count_] = k;
        out_.push_back(o);
        if (o.directory) open.push_back(Open{k, first_[id]});
    }
    count_ = static_cast<std::uint32_t>(out_.size());
}

const char* EditLayout::name_of(const Out& o) const {
    if (o.old < 0) return edit_.added[o.added].name.c_str();
    const auto i = static_cast<std::uint32_t>(o.old);
    if (node(i).rename) return node(i).name.c_str();
    if (i != 0) return archive_node_name(a_, i);
    // Opening checks the entries' names only: the root's, which nothing
    // reads, may lie anywhere. It stays when it ends inside the table.
    const std::uint64_t strings = string_table_start(old_count_);
    const std::uint32_t at = archive_stored(a_, 0).name_offset;
    if (strings + at < a_.table_size &&
        std::memchr(a_.table.data() + strings + at, 0, a_.table_size - strings - at) != nullptr)
        return reinterpret_cast<const char*>(a_.table.data() + strings + at);
    return "";
}

// The names table: with the same nodes and names, ORIGINAL's names stay
// byte for byte, offsets included; otherwise they are written in node
// order.
LayoutResult EditLayout::build_names() {
    std::uint8_t header[kHeaderSize];
    if (!archive_read_bytes(a_, 0, header, sizeof header)) return {LayoutError::unusual_original};
    table_offset_ = header_table_offset(header);
    if (table_offset_ < kHeaderSize) return {LayoutError::unusual_original};
    name_offset_.assign(count_, 0);
    if (same_nodes_) {
        const std::uint64_t old_strings = string_table_start(old_count_);
        strings_.assign(a_.table.begin() + static_cast<std::ptrdiff_t>(old_strings),
                        a_.table.begin() + a_.table_size);
        for (std::uint32_t k = 0; k < count_; ++k)
            name_offset_[k] = archive_stored(a_, static_cast<std::uint32_t>(out_[k].old)).name_offset;
    } else {
        for (std::uint32_t k = 0; k < count_; ++k) {
            const Out& o = out_[k];
            const bool given = o.old < 0 || node(static_cast<std::uint32_t>(o.old)).rename;
            const std::string_view name =
                given ? std::string_view(o.old < 0 ? edit_.added[o.added].name
                                                   : node(static_cast<std::uint32_t>(o.old)).name)
                      : std::string_view(name_of(o));
            if (given && name.find('\0') != std::string_view::npos) return {LayoutError::bad_name, o.tag};
            if (strings_.size() > kMaxNameOffset) return {LayoutError::names_too_large, o.tag};
            name_offset_[k] = static_cast<std::uint32_t>(strings_.size());
            strings_.insert(strings_.end(), name.begin(), name.end());
            strings_.push_back(0);
        }
    }
    table_size_ = std::uint64_t{count_} * kNodeSize + strings_.size();
    table_end_ = std::uint64_t{table_offset_} + table_size_;
    if (table_end_ > kMaxOffset) return {LayoutError::too_many_nodes};
    old_table_end_ = std::uint64_t{table_offset_} + a_.table_size;
    same_table_size_ = table_end_ == old_table_end_;
    return {};
}

// ORIGINAL's blocks in its data order, and its alignment from the same pass.
void EditLayout::collect_blocks(EditOutcome& outcome) {
    old_data_end_ = old_table_end_;
    bool any_data = false;
    for (std::uint32_t i = 1; i < old_count_; ++i) {
        const StoredNode n = archive_stored(a_, i);
        if (n.type != 0) continue;
        const std::uint32_t k = state_[i] == kAlive ? new_index_[i] : kTopLevel;
        if (n.size == 0) {
            // One past the end is no place: given data, it goes with the new.
            if (k != kTopLevel && n.offset <= archive_size(a_)) blocks_.push_back(Block{n.offset, 0, k, i});
            continue;
        }
        any_data = true;
        while (align_ > 1 && n.offset % align_ != 0) align_ /= 2;
        // Data past the end is no block: it is stored as it was, or, when
        // replaced, placed with the new data.
        if (std::uint64_t{n.offset} + n.size > archive_size(a_)) continue;
        blocks_.push_back(Block{n.offset, n.size, k, i});
        old_data_end_ = std::max(old_data_end_, std::uint64_t{n.offset} + n.size);
    }
    if (!any_data) align_ = kNothingToTell;
    outcome.alignment = align_;
    // Empty files come first at their offset: they take no room.
    std::stable_sort(blocks_.begin(), blocks_.end(), [](const Block& x, const Block& y) {
        return x.offset != y.offset ? x.offset < y.offset : x.size < y.size;
    });
}

// ORIGINAL's bytes that continue the previous piece join it, so that a
// stretch nothing changed is copied in one go.
void EditLayout::push(const Piece& piece) {
    if (!plan_.pieces.empty()) {
        Piece& last = plan_.pieces.back();
        if (piece.from == Piece::From::original && last.from == piece.from &&
            last.at + last.size == piece.at && last.key + last.size == piece.key) {
            last.size += piece.size;
            return;
        }
    }
    plan_.pieces.push_back(piece);
}

void EditLayout::fill(std::uint64_t to, bool original) {
    if (to <= written_) return;
    if (written_ < table_end_) written_ = table_end_;
    // ORIGINAL's bytes as far as it has them (an empty file may stand past
    // its end), zeros after.
    const std::uint64_t kept = original ? std::min(to, std::max(archive_size(a_), written_)) : written_;
    if (kept > written_) push(Piece{Piece::From::original, written_, kept - written_, written_});
    if (to > kept) push(Piece{Piece::From::zeros, kept, to - kept, kept});
    written_ = to;
}

bool EditLayout::place(std::uint64_t at, std::uint64_t size, Piece::From from, std::uint64_t key,
                       bool gap_from_original) {
    if (at + size > kMaxOffset + 1 || at > kMaxOffset) return false;
    if (size == 0) return true;
    fill(at, gap_from_original);
    push(Piece{from, at, size, key});
    written_ = at + size;
    return true;
}

// One cluster: blocks that overlap or are shared, kept whole while every
// entry in it is unchanged.
LayoutResult EditLayout::place_cluster(const std::vector<Block>& members, std::uint64_t span_end) {
    const std::uint64_t start = members[0].offset;
    const auto source_of = [](const Out& o) {
        return o.replaced ? std::pair(Piece::From::file, o.key)
                          : std::pair(Piece::From::original, o.offset);
    };
    std::vector<Block> live;
    for (const Block& m : members)
        if (m.k != kTopLevel) live.push_back(m);
    if (live.size() != members.size()) gap_original_ = false;  // removed data is not kept
    if (live.empty()) return {};

    if (members.size() == 1 && members[0].size == 0) {  // an empty file
        Out& o = out_[live[0].k];
        if (o.size == 0) {
            o.offset = moved_ ? align_up(cursor_, align_) : start;
            o.placed = true;
            return {};
        }
    }
    if (live.size() == 1) {
        Out& o = out_[live[0].k];
        const bool fits = !moved_ && start >= cursor_;
        const std::uint64_t at = fits ? start : align_up(cursor_, align_);
        if (!fits) moved_ = true;
        const auto [from, key] = source_of(o);
        if (!place(at, o.size, from, key, fits && gap_original_))
            return {LayoutError::offset_too_large, o.tag};
        o.offset = at;
        o.placed = true;
        if (o.size != 0) cursor_ = at + o.size;
        if (o.size != live[0].size) moved_ = true;
        gap_original_ = !moved_;
        return {};
    }
    // A shared or overlapping cluster: the entries whose data is exactly
    // ORIGINAL's keep sharing it; any other gets a block of its own after.
    std::vector<Block> unchanged, changed;
    for (const Block& m : live) {
        const Out& o = out_[m.k];
        const bool same = !o.replaced || (o.size == m.size && same_content_ &&
                                          same_content_(static_cast<std::uint32_t>(o.old), o.key));
        (same ? unchanged : changed).push_back(m);
    }
    if (!unchanged.empty()) {
        const bool fits = !moved_ && start >= cursor_;
        const std::uint64_t at = fits ? start : align_up(cursor_, align_);
        if (!fits) moved_ = true;
        if (!place(at, span_end - start, Piece::From::original, start, fits && gap_original_))
            return {LayoutError::offset_too_large};
        for (const Block& m : unchanged) {
            out_[m.k].offset = at + (m.offset - start);
            out_[m.k].placed = true;
        }
        cursor_ = at + (span_end - start);
        gap_original_ = !moved_;
    }
    for (const Block& m : changed) {
        Out& o = out_[m.k];
        const std::uint64_t at = align_up(cursor_, align_);
        const auto [from, key] = source_of(o);
        if (!place(at, o.size, from, key, false)) return {LayoutError::offset_too_large, o.tag};
        o.offset = at;
        o.placed = true;
        cursor_ = at + o.size;
        moved_ = true;
        gap_original_ = false;
    }
    return {};
}

// Every file's data, in ORIGINAL's data order: a file keeps its offset while
// nothing before it moved; once something did, what follows is laid out
// again in that order and alignment; new data goes after the last block.
LayoutResult EditLayout::place_data(EditOutcome& outcome) {
    collect_blocks(outcome);
    // Where data may start: right after the table when it kept its size
    // (ORIGINAL's bytes in between), else after the new table, aligned when
    // it grew; a smaller table leaves the data where it was.
    std::uint8_t word[4];
    if (!archive_read_bytes(a_, kHeaderDataOffset, word, sizeof word)) return {LayoutError::unusual_original};
    data_offset_word_ = be32(word);
    std::uint64_t data_start = old_table_end_;
    if (!same_table_size_) {
        data_start = table_end_ > old_table_end_ ? align_up(table_end_, align_) : table_end_;
        if (table_end_ > old_table_end_ || data_offset_word_ < table_end_)
            data_offset_word_ = static_cast<std::uint32_t>(align_up(table_end_, align_));
    }
    cursor_ = data_start;
    gap_original_ = same_table_size_;
    written_ = table_end_;

    for (std::size_t b = 0; b < blocks_.size();) {
        // The cluster: blocks overlapping the first one, transitively.
        std::size_t e = b + 1;
        std::uint64_t span_end = blocks_[b].offset + blocks_[b].size;
        if (blocks_[b].size != 0)
            while (e < blocks_.size() && blocks_[e].offset < span_end) {
                span_end = std::max(span_end, blocks_[e].offset + blocks_[e].size);
                ++e;
            }
        const std::vector<Block> members(blocks_.begin() + static_cast<std::ptrdiff_t>(b),
                                         blocks_.begin() + static_cast<std::ptrdiff_t>(e));
        b = e;
        const LayoutResult r = place_cluster(members, span_end);
        if (r.error != LayoutError::none) return r;
    }
    // New data, in node order: added files, and replaced ones whose old
    // data lay past the end (they had no block).
    for (std::uint32_t k = 1; k < count_; ++k) {
        Out& o = out_[k];
        if (o.directory || o.placed || !o.replaced) continue;
        const std::uint64_t at = align_up(cursor_, align_);
        if (!place(at, o.size, Piece::From::file, o.key, false)) return {LayoutError::offset_too_large, o.tag};
        o.offset = at;
        o.placed = true;
        cursor_ = at + o.size;
        moved_ = true;
    }
    // ORIGINAL's bytes after its last block stay while nothing moved; a
    // padded end stays padded.
    const std::uint64_t data_end = std::max(cursor_, written_);
    if (!moved_ && gap_original_ && same_nodes_) {
        fill(std::max(archive_size(a_), data_end), true);
    } else if (archive_size(a_) > old_data_end_) {
        fill(align_up(data_end, align_), false);
    }
    // An empty file still points inside the archive (at its end, when the
    // data it stood behind went or its aligned place lies past the end),
    // unless ORIGINAL stored it past its end already.
    const std::uint64_t end = std::max(written_, table_end_);
    for (Out& o : out_) {
        if (o.directory || o.size != 0 || !o.placed || o.offset <= end) continue;
        const bool as_stored = o.old >= 0 && o.offset == archive_stored(a_, static_cast<std::uint32_t>(o.old)).offset &&
                               o.offset > archive_size(a_);
        if (!as_stored) o.offset = end;
    }
    plan_.size = std::max(written_, table_end_);
    return {};
}

// The head: ORIGINAL's bytes up to the table, then the table. Table bytes
// of ORIGINAL past the nodes and names (a padded table size) stay.
void EditLayout::write_head() {
    plan_.head.assign(static_cast<std::size_t>(table_end_), 0);
    archive_read_bytes(a_, 0, plan_.head.data(), table_offset_);
    std::uint8_t* h = plan_.head.data();
    if (!same_table_size_) {
        put_be32(h + kHeaderTableSize, static_cast<std::uint32_t>(table_size_));
        put_be32(h + kHeaderDataOffset, data_offset_word_);
    }
    std::uint8_t* t = h + table_offset_;
    for (std::uint32_t k = 0; k < count_; ++k) {
        const Out& o = out_[k];
        std::uint8_t* n = t + std::size_t{k} * kNodeSize;
        const bool old = o.old >= 0;
        const StoredNode raw = old ? archive_stored(a_, static_cast<std::uint32_t>(o.old)) : StoredNode{};
        const std::uint8_t type = old ? raw.type : (o.directory ? 1 : 0);
        put_be32(n, (std::uint32_t{type} << 24) | name_offset_[k]);
        if (k == 0) {
            put_be32(n + 4, raw.offset);
            put_be32(n + 8, same_nodes_ ? raw.size : count_);
        } else if (o.directory) {
            // A parent word that names a node still there keeps naming it
            // (some archives store words the nesting does not bear out);
            // a moved or added directory names its new parent.
            std::uint32_t parent = o.parent;
            std::uint32_t end = o.end;
            if (same_nodes_) {
                parent = raw.offset;
                end = raw.size;
            } else if (old && !o.moved && raw.offset < old_count_ && state_[raw.offset] == kAlive &&
                       (raw.offset == 0 || new_index_[raw.offset] != 0)) {
                parent = raw.offset == 0 ? 0 : new_index_[raw.offset];
            }
            put_be32(n + 4, parent);
            put_be32(n + 8, end);
        } else {
            const bool stored_as_is = old && !o.replaced && raw.size != 0 &&
                                      std::uint64_t{raw.offset} + raw.size > archive_size(a_);
            put_be32(n + 4, stored_as_is ? raw.offset : static_cast<std::uint32_t>(o.offset));
            put_be32(n + 8, stored_as_is ? raw.size : static_cast<std::uint32_t>(o.size));
        }
    }
    if (!strings_.empty())
        std::memcpy(t + std::size_t{count_} * kNodeSize, strings_.data(), strings_.size());
}

EditOutcome EditLayout::run() {
    EditOutcome outcome;
    plan_ = Plan();
    outcome.result = build_tree();
    if (outcome.result.error != LayoutError::none) return outcome;
    order_nodes();
    outcome.result = build_names();
    if (outcome.result.error != LayoutError::none) return outcome;
    outcome.result = place_data(outcome);
    if (outcome.result.error != LayoutError::none) {
        outcome.alignment = 0;
        return outcome;
    }
    write_head();
    outcome.node_index = std::move(new_index_);
    outcome.added_index = std::move(added_index_);
    return outcome;
}

}  // namespace

void original_nesting(const Archive& a, std::vector<std::uint32_t>& enclosing) {
    const std::uint32_t count = a.walked;
    enclosing.assign(count, 0);
    std::vector<std::uint32_t> end_of(count, count);
    std::vector<std::uint32_t> stack{0};  // open directories
    for (std::uint32_t i = 1; i < count; ++i) {
        while (stack.size() > 1 && i >= end_of[stack.back()]) stack.pop_back();
        enclosing[i] = stack.back();
        const StoredNode n = archive_stored(a, i);
        if (n.type == 0) continue;
        std::uint32_t end = n.size;
        if (end <= i || end > end_of[stack.back()]) end = end_of[stack.back()];
        end_of[i] = end;
        stack.push_back(i);
    }
}

EditOutcome layout_edit(const Archive& original, const Edit& edit, const SameContent& same_content,
                        Plan& plan) {
    return EditLayout(original, edit, same_content, plan).run();
}

}  // namespace dravik::u8
