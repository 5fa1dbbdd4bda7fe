// Laying out a new archive like an existing one (ORIGINAL), so that
// unpacking an archive and packing the folder again gives the same bytes
// when nothing was changed, and as few changed bytes as possible when
// something was.
//
// The layout goes in phases, each a function of LikeLayout below:
//   map_original    which of ORIGINAL's nodes the tree still holds, by the
//                   path unpacking gave each
//   collect_new     the tree's entries ORIGINAL lacks, per folder
//   order_nodes     the new node order: ORIGINAL's kept nodes, each
//                   folder's new entries just before its end
//   build_names     the names table: ORIGINAL's byte for byte when the
//                   nodes are the same, else rebuilt in node order
//   place_data      every file's data, in ORIGINAL's data order
//   write_head      ORIGINAL's bytes up to the table, then the new table
#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>
#include <unordered_map>
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

// A name in a folder: where an entry lands. `folder` is ORIGINAL's
// directory index for places in ORIGINAL (Place::folder), or the tree's
// entry index for places in the tree (kTopLevel for its top). Keyed by this
// rather than by whole paths, the mapping stays linear in the entries at
// any depth.
struct Spot {
    std::uint32_t folder;
    std::string_view name;
    bool operator==(const Spot& o) const { return folder == o.folder && name == o.name; }
};
struct SpotHash {
    std::size_t operator()(const Spot& s) const {
        return std::hash<std::string_view>()(s.name) * 31 + s.folder;
    }
};

// One node of the new archive.
struct Out {
    std::int64_t old = -1;           // ORIGINAL's index, or -1 for a new entry
    std::uint32_t tree = kTopLevel;  // the tree's entry, when it has one
    bool directory = false;
    bool carried = false;            // not in the tree: everything comes from ORIGINAL
    std::uint32_t parent = 0;        // new index of the enclosing folder
    std::uint32_t end = 0;           // directories: new index after the contents
    std::uint64_t size = 0;          // files
    std::uint64_t offset = 0;
};

// One of ORIGINAL's data blocks, in its data order.
struct Block {
    std::uint64_t offset, size;
    std::uint32_t k;  // new index, or kTopLevel for a dropped entry
    std::uint32_t old;
};

class LikeLayout {
public:
    LikeLayout(const Archive& a, const std::vector<TreeEntry>& tree, const SameContent& same, Plan& plan)
        : a_(a), tree_(tree), same_content_(same), plan_(plan), old_count_(a.walked) {}

    LikeOutcome run(const NameRule& rule);

private:
    bool map_original(const NameRule& rule, LikeOutcome& outcome);
    void collect_new();
    void order_nodes();
    void append_new(std::uint32_t folder, std::uint32_t parent);
    void close_level();
    LayoutResult build_names();
    LayoutResult place_data(LikeOutcome& outcome);
    void collect_blocks(LikeOutcome& outcome);
    LayoutResult place_cluster(const std::vector<Block>& members, std::uint64_t span_end);
    bool place(std::uint64_t at, std::uint64_t size, Piece::From from, std::uint64_t key,
               bool gap_from_original);
    void fill(std::uint64_t to, bool original);
    void write_head();

    const Archive& a_;
    const std::vector<TreeEntry>& tree_;
    const SameContent& same_content_;
    Plan& plan_;
    const std::uint32_t old_count_;

    // map_original
    std::vector<Out> olds_;
    std::vector<bool> keep_;
    std::vector<bool> used_;                     // per tree entry: matched by a kept node
    std::vector<std::uint32_t> folder_of_path_;  // tree folder -> its first kept node
    std::vector<std::uint32_t> nesting_;         // per ORIGINAL node: directories enclosing it
    // collect_new: per tree folder (or kTopLevel), its new entries in default order
    std::map<std::uint32_t, std::vector<std::uint32_t>> added_;
    bool same_nodes_ = true;
    // order_nodes
    std::vector<Out> out_;
    std::vector<std::uint32_t> new_index_;
    std::vector<std::uint32_t> open_, open_old_;  // the open folders, new and old indices
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

// Which of ORIGINAL's nodes stay: those unpacking wrote that are still in
// the tree as the same kind, and every one unpacking could not write (an
// unsafe or refused name, a second entry on one path, data past the end),
// which is carried over as it is. A folder that is gone takes everything
// inside it along. Where unpacking put each node is Placement's to say; a
// directory that lands on a file is not entered, as unpacking cannot enter
// it either.
bool LikeLayout::map_original(const NameRule& rule, LikeOutcome& outcome) {
    std::unordered_map<Spot, std::uint32_t, SpotHash> in_tree;
    for (std::uint32_t i = 0; i < tree_.size(); ++i) {
        const std::uint32_t p = tree_[i].parent;
        if (p != kTopLevel && p >= i) {
            outcome.result = {LayoutError::bad_tree, i};
            return false;
        }
        in_tree.emplace(Spot{p, tree_[i].name}, i);
    }

    olds_.assign(old_count_, Out{});
    keep_.assign(old_count_, true);
    used_.assign(tree_.size(), false);
    folder_of_path_.assign(tree_.size(), kTopLevel);
    nesting_.assign(old_count_, 0);
    std::vector<std::uint32_t> tree_of(old_count_, kTopLevel);  // a kept directory's tree folder
    std::unordered_map<Spot, bool, SpotHash> made;  // where unpacking wrote: is it a folder
    std::vector<std::uint32_t> stack{0};  // ORIGINAL's enclosing directories
    Placement placement(a_, rule);
    Entry e;
    for (std::uint32_t i = 1; archive_entry(a_, i, &e); ++i) {
        const Place& p = placement.place(e);
        nesting_[i] = p.nesting;
        stack.resize(p.nesting + 1);
        Out& o = olds_[i];
        o.old = i;
        o.directory = e.is_directory;
        if (!o.directory) {
            o.size = e.data_size;
            o.offset = e.data_offset;
        }
        const Spot spot{p.folder, p.name};
        const auto found = made.find(spot);
        bool written = p.placeable;
        if (o.directory) {
            written = written && (found == made.end() || found->second);
            if (!written) placement.not_entered();
        } else {
            written = written && found == made.end() &&
                      (e.data_size == 0 || std::uint64_t{e.data_offset} + e.data_size <= archive_size(a_));
        }
        if (written) made.emplace(spot, o.directory);

        const bool parent_gone = !keep_[stack.back()];
        if (o.directory) stack.push_back(i);
        if (parent_gone) {
            keep_[i] = false;
        } else if (!written) {
            o.carried = true;
        } else {
            const std::uint32_t parent = p.folder == 0 ? kTopLevel : tree_of[p.folder];
            const auto match = in_tree.find(Spot{parent, p.name});
            if (match == in_tree.end() || tree_[match->second].is_directory != o.directory ||
                (!o.directory && used_[match->second])) {
                keep_[i] = false;
                outcome.dropped.emplace_back(p.path);
            } else {
                o.tree = match->second;
                used_[match->second] = true;
                if (o.directory) {
                    tree_of[i] = match->second;
                    if (folder_of_path_[match->second] == kTopLevel) folder_of_path_[match->second] = i;
                } else {
                    o.size = tree_[match->second].size;
                }
            }
        }
    }
    return true;
}

// The tree's entries no kept node matched, per folder, in the default order.
void LikeLayout::collect_new() {
    for (std::uint32_t i = 0; i < tree_.size(); ++i) {
        if (used_[i]) continue;
        added_[tree_[i].parent].push_back(i);
        same_nodes_ = false;
    }
    for (auto& [folder, list] : added_)
        std::sort(list.begin(), list.end(),
                  [this](std::uint32_t x, std::uint32_t y) { return default_less(tree_[x], tree_[y]); });
    for (std::uint32_t i = 1; i < old_count_; ++i) same_nodes_ = same_nodes_ && keep_[i];
}

// Appends a tree folder's new entries below new node `parent`.
void LikeLayout::append_new(std::uint32_t folder, std::uint32_t parent) {
    const auto found = added_.find(folder);
    if (found == added_.end()) return;
    for (std::uint32_t d : found->second) {
        Out o;
        o.tree = d;
        o.directory = tree_[d].is_directory;
        o.parent = parent;
        o.size = o.directory ? 0 : tree_[d].size;
        const auto at = static_cast<std::uint32_t>(out_.size());
        out_.push_back(o);
        if (o.directory) {
            append_new(d, at);
            out_[at].end = static_cast<std::uint32_t>(out_.size());
        }
    }
}

void LikeLayout::close_level() {
    const std::uint32_t n = open_.back();
    const std::uint32_t old = open_old_.back();
    const std::uint32_t folder = old == 0 ? kTopLevel : olds_[old].tree;
    // New entries attach to the first node of their folder's path.
    if (old == 0 || (keep_[old] && folder != kTopLevel && folder_of_path_[folder] == old))
        append_new(folder, n);
    out_[n].end = static_cast<std::uint32_t>(out_.size());
    open_.pop_back();
    open_old_.pop_back();
}

// The new node order: ORIGINAL's kept nodes, each folder's new entries just
// before its end.
void LikeLayout::order_nodes() {
    out_.reserve(old_count_ + tree_.size());
    new_index_.assign(old_count_, 0);
    out_.push_back(Out{});
    out_[0].old = 0;
    out_[0].directory = true;
    open_ = {0};
    open_old_ = {0};
    for (std::uint32_t i = 1; i < old_count_; ++i) {
        if (!keep_[i]) continue;
        // Every directory enclosing a kept node is kept: close the deeper ones.
        while (open_.size() > std::size_t{nesting_[i]} + 1) close_level();
        Out o = olds_[i];
        o.parent = open_.back();
        new_index_[i] = static_cast<std::uint32_t>(out_.size());
        out_.push_back(o);
        if (o.directory) {
            open_.push_back(new_index_[i]);
            open_old_.push_back(i);
        }
    }
    while (!open_.empty()) close_level();
    count_ = static_cast<std::uint32_t>(out_.size());
}

// The names table: with the same nodes, ORIGINAL's names stay byte for
// byte, offsets included; otherwise they are written in node order.
LayoutResult LikeLayout::build_names() {
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
            if (strings_.size() > kMaxNameOffset) return {LayoutError::names_too_large, out_[k].tree};
            name_offset_[k] = static_cast<std::uint32_t>(strings_.size());
            if (out_[k].old >= 0) {
                const char* name = archive_node_name(a_, static_cast<std::uint32_t>(out_[k].old));
                strings_.insert(strings_.end(), name, name + std::strlen(name));
            } else {
                const std::string& name = tree_[out_[k].tree].name;
                strings_.insert(strings_.end(), name.begin(), name.end());
            }
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
void LikeLayout::collect_blocks(LikeOutcome& outcome) {
    old_data_end_ = old_table_end_;
    for (std::uint32_t i = 1; i < old_count_; ++i) {
        const StoredNode n = archive_stored(a_, i);
        if (n.type != 0) continue;
        if (n.size == 0) {
            if (keep_[i]) blocks_.push_back(Block{n.offset, 0, new_index_[i], i});
            continue;
        }
        while (align_ > 1 && n.offset % align_ != 0) align_ /= 2;
        if (std::uint64_t{n.offset} + n.size > archive_size(a_)) continue;  // carried as stored
        blocks_.push_back(Block{n.offset, n.size, keep_[i] ? new_index_[i] : kTopLevel, i});
        old_data_end_ = std::max(old_data_end_, std::uint64_t{n.offset} + n.size);
    }
    outcome.alignment = align_;
    // Empty files come first at their offset: they take no room.
    std::stable_sort(blocks_.begin(), blocks_.end(), [](const Block& x, const Block& y) {
        return x.offset != y.offset ? x.offset < y.offset : x.size < y.size;
    });
}

void LikeLayout::fill(std::uint64_t to, bool original) {
    if (to <= written_) return;
    if (written_ < table_end_) written_ = table_end_;
    plan_.pieces.push_back(Piece{original ? Piece::From::original : Piece::From::zeros, written_,
                                 to - written_, written_});
    written_ = to;
}

bool LikeLayout::place(std::uint64_t at, std::uint64_t size, Piece::From from, std::uint64_t key,
                       bool gap_from_original) {
    if (at + size > kMaxOffset + 1 || at > kMaxOffset) return false;
    if (size == 0) return true;
    fill(at, gap_from_original);
    plan_.pieces.push_back(Piece{from, at, size, key});
    written_ = at + size;
    return true;
}

// One cluster: blocks that overlap or are shared, kept whole while every
// entry in it is unchanged.
LayoutResult LikeLayout::place_cluster(const std::vector<Block>& members, std::uint64_t span_end) {
    const std::uint64_t start = members[0].offset;
    const auto source_of = [this](const Out& o) {
        return o.carried ? std::pair(Piece::From::original, o.offset)
                         : std::pair(Piece::From::file, tree_[o.tree].key);
    };
    std::vector<Block> live;
    for (const Block& m : members)
        if (m.k != kTopLevel) live.push_back(m);
    if (live.size() != members.size()) gap_original_ = false;  // dropped data is not kept
    if (live.empty()) return {};

    if (members.size() == 1 && members[0].size == 0) {  // an empty file
        Out& o = out_[live[0].k];
        if (o.size == 0) {
            o.offset = moved_ ? align_up(cursor_, align_) : start;
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
            return {LayoutError::offset_too_large, o.tree};
        o.offset = at;
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
        const bool same = o.carried || (o.size == m.size &&
                                         same_content_(static_cast<std::uint32_t>(o.old), tree_[o.tree].key));
        (same ? unchanged : changed).push_back(m);
    }
    if (!unchanged.empty()) {
        const bool fits = !moved_ && start >= cursor_;
        const std::uint64_t at = fits ? start : align_up(cursor_, align_);
        if (!fits) moved_ = true;
        if (!place(at, span_end - start, Piece::From::original, start, fits && gap_original_))
            return {LayoutError::offset_too_large};
        for (const Block& m : unchanged) out_[m.k].offset = at + (m.offset - start);
        cursor_ = at + (span_end - start);
        gap_original_ = !moved_;
    }
    for (const Block& m : changed) {
        Out& o = out_[m.k];
        const std::uint64_t at = align_up(cursor_, align_);
        const auto [from, key] = source_of(o);
        if (!place(at, o.size, from, key, false)) return {LayoutError::offset_too_large, o.tree};
        o.offset = at;
        cursor_ = at + o.size;
        moved_ = true;
        gap_original_ = false;
    }
    return {};
}

// Every file's data, in ORIGINAL's data order: a file keeps its offset while
// nothing before it moved; once something did, what follows is laid out
// again in that order and alignment; new files go after the last block.
LayoutResult LikeLayout::place_data(LikeOutcome& outcome) {
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
    for (std::uint32_t k = 1; k < count_; ++k) {
        Out& o = out_[k];
        if (o.old >= 0 || o.directory) continue;
        const std::uint64_t at = align_up(cursor_, align_);
        if (!place(at, o.size, Piece::From::file, tree_[o.tree].key, false))
            return {LayoutError::offset_too_large, o.tree};
        o.offset = at;
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
    plan_.size = std::max(written_, table_end_);
    return {};
}

// The head: ORIGINAL's bytes up to the table, then the table. Table bytes
// of ORIGINAL past the nodes and names (a padded table size) stay.
void LikeLayout::write_head() {
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
            std::uint32_t parent = o.parent;
            std::uint32_t end = o.end;
            if (same_nodes_) {
                parent = raw.offset;
                end = raw.size;
            } else if (old && raw.offset < old_count_ && keep_[raw.offset] &&
                       (raw.offset == 0 || new_index_[raw.offset] != 0)) {
                parent = raw.offset == 0 ? 0 : new_index_[raw.offset];
            }
            put_be32(n + 4, parent);
            put_be32(n + 8, end);
        } else {
            const bool stored_as_is =
                old && raw.size != 0 && std::uint64_t{raw.offset} + raw.size > archive_size(a_);
            put_be32(n + 4, stored_as_is ? raw.offset : static_cast<std::uint32_t>(o.offset));
            put_be32(n + 8, stored_as_is ? raw.size : static_cast<std::uint32_t>(o.size));
        }
    }
    if (!strings_.empty())
        std::memcpy(t + std::size_t{count_} * kNodeSize, strings_.data(), strings_.size());
}

LikeOutcome LikeLayout::run(const NameRule& rule) {
    LikeOutcome outcome;
    plan_ = Plan();
    if (!map_original(rule, outcome)) return outcome;
    collect_new();
    order_nodes();
    outcome.result = build_names();
    if (outcome.result.error != LayoutError::none) return {outcome.result, {}, 0};
    const LayoutResult placed = place_data(outcome);
    if (placed.error != LayoutError::none) return {placed, {}, 0};
    write_head();
    return outcome;
}

}  // namespace

LikeOutcome layout_like(const Archive& original, const std::vector<TreeEntry>& tree,
                        const NameRule& rule, const SameContent& same_content, Plan& plan) {
    return LikeLayout(original, tree, same_content, plan).run(rule);
}

}  // namespace dravik::u8
