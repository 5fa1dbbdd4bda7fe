// Fuzz target: sequences of edits. The input is an archive (when it starts
// with the U8 magic: real and hostile tables alike, the edits then drawn
// from a generator seeded by its bytes) or describes a random tree and the
// edits. Each edit (entries removed, replaced, renamed, moved, added) is
// laid out by layout_edit, written, opened again and walked; the result
// must be the expected tree, in the expected order: kept entries in their
// old order, moved ones after them, added ones last in the default order,
// every name, kind and byte of data where the edit says. An edit that
// changes nothing gives the original's bytes back; one that moves a folder
// into itself is refused.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "dravik/archive.h"
#include "dravik/writer.h"
#include "fuzz_check.h"
#include "lib/u8/u8_read.h"
#include "lib/u8/u8_write.h"

namespace u8 = dravik::u8;

namespace {

// Where the edits come from: the input's bytes, or a generator.
struct Draw {
    const std::uint8_t* data;
    std::size_t size, at = 0;
    std::uint64_t state = 0;  // nonzero: a generator seeded by the input
    std::uint8_t next() {
        if (state) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            return static_cast<std::uint8_t>(state >> 24);
        }
        return at < size ? data[at++] : 0;
    }
    bool more() const { return state || at < size; }
    std::string bytes() {
        const std::size_t length = next() % 50;
        return std::string(length, static_cast<char>(next()));
    }
    std::string name() {
        std::string n;
        for (std::size_t k = 1 + next() % 6; k > 0; --k) n.push_back(static_cast<char>('a' + next() % 4));
        return n;
    }
};

// The expected tree: each node's name, kind, data and entries in order.
struct Node {
    std::string name;
    bool directory = false;
    bool readable = true;       // a file's data lies inside the archive
    std::string data;           // when readable
    dravik::StoredNode stored;  // when not: its words stay as they were
    std::vector<std::uint32_t> entries;
};

// The model of an archive: node 0 is the root; nesting as unpacking reads it.
std::vector<Node> model_of(const dravik::Archive& a) {
    std::vector<std::uint32_t> enclosing;
    u8::original_nesting(a, enclosing);
    std::vector<Node> nodes(enclosing.size());
    nodes[0].directory = true;
    dravik::Entry e;
    for (std::uint32_t i = 1; dravik::archive_entry(a, i, &e); ++i) {
        Node& n = nodes[i];
        n.name = e.name;
        n.directory = e.is_directory;
        n.stored = e.stored;
        if (!e.is_directory) {
            // An empty file is empty wherever its offset points.
            n.readable = e.data_size == 0 || std::uint64_t{e.data_offset} + e.data_size <= dravik::archive_size(a);
            if (n.readable) n.data.resize(e.data_size);
            n.readable = n.readable && (e.data_size == 0 || dravik::archive_read(a, e, 0, n.data.data(), n.data.size()));
        }
        nodes[enclosing[i]].entries.push_back(i);
    }
    return nodes;
}

void preorder(const std::vector<Node>& nodes, std::uint32_t at, std::vector<std::uint32_t>& out) {
    for (std::uint32_t k : nodes[at].entries) {
        out.push_back(k);
        if (nodes[k].directory) preorder(nodes, k, out);
    }
}

std::vector<std::uint8_t> random_archive(Draw& draw) {
    std::vector<u8::TreeEntry> tree;
    std::vector<std::string> data;
    std::vector<std::uint32_t> folders;
    for (std::size_t n = draw.next() % 24; n > 0; --n) {
        u8::TreeEntry e;
        e.is_directory = draw.next() & 1;
        const std::uint32_t pick = draw.next() % (folders.size() + 1);
        e.parent = pick == 0 ? u8::kTopLevel : folders[pick - 1];
        e.name = draw.name();
        const std::size_t length = e.is_directory ? 0 : draw.next() % 40;
        const std::string bytes(length, static_cast<char>(draw.next()));
        e.size = bytes.size();
        e.key = data.size();
        if (e.is_directory) folders.push_back(static_cast<std::uint32_t>(tree.size()));
        tree.push_back(e);
        data.push_back(bytes);
    }
    u8::Plan plan;
    if (u8::layout_default(tree, 1u << (draw.next() % 7), plan).error != u8::LayoutError::none) return {};
    return fixture::write_in_memory(plan, data);
}

// One edit of `original`, checked against the model. Returns the result's
// bytes, or nothing when the edit was refused as it had to be.
std::vector<std::uint8_t> edit_once(const std::vector<std::uint8_t>& original, Draw& draw, bool exact_words) {
    auto a = dravik::archive_open_borrowed(original.data(), original.size());
    FUZZ_CHECK(a != nullptr);
    std::vector<Node> model = model_of(*a);
    const auto count = static_cast<std::uint32_t>(model.size());
    std::vector<std::uint32_t> folder_of(count, 0);
    for (std::uint32_t i = 0; i < count; ++i)
        for (std::uint32_t k : model[i].entries) folder_of[k] = i;

    u8::Edit edit;
    edit.nodes.resize(count);
    std::vector<std::string> data;  // by key
    std::vector<std::uint32_t> moved;
    std::vector<std::uint32_t> folders{0};  // ids: node index, or count + added index
    for (std::uint32_t i = 1; i < count; ++i)
        if (model[i].directory) folders.push_back(i);
    const auto to_folder = [&](std::uint32_t id) {
        return id < count ? u8::EditFolder{false, id} : u8::EditFolder{true, id - count};
    };
    for (std::size_t ops = draw.next() % 5; ops > 0 && draw.more(); --ops) {
        const std::uint8_t op = draw.next() % 5;
        const std::uint32_t folder = folders[draw.next() % folders.size()];
        if (op == 4 || count == 1) {
            u8::EditAdded add;
            add.name = draw.name();
            add.is_directory = draw.next() & 1;
            add.folder = to_folder(folder);
            if (!add.is_directory) {
                add.key = data.size();
                data.push_back(draw.bytes());
                add.size = data.back().size();
            }
            if (add.is_directory) folders.push_back(count + static_cast<std::uint32_t>(edit.added.size()));
            edit.added.push_back(add);
            continue;
        }
        const std::uint32_t i = 1 + draw.next() % (count - 1);
        u8::EditNode& n = edit.nodes[i];
        if (op == 0) n.remove = true;
        if (op == 1 && !model[i].directory) {
            n.replace = true;
            n.key = data.size();
            data.push_back(draw.bytes());
            n.size = data.back().size();
        }
        if (op == 2) {
            n.rename = true;
            n.name = draw.name();
        }
        if (op == 3 && !n.move) {
            n.move = true;
            n.folder = to_folder(folder);
            moved.push_back(i);
        }
    }

    // The expected tree: moved entries after each folder's own, added ones
    // after those in the default order.
    std::vector<Node> expected = model;
    const auto id_count = count + static_cast<std::uint32_t>(edit.added.size());
    expected.resize(id_count);
    std::vector<std::uint32_t> parent(id_count, 0);
    for (std::uint32_t i = 1; i < count; ++i) {
        parent[i] = edit.nodes[i].move ? (edit.nodes[i].folder.added ? count + edit.nodes[i].folder.index
                                                                     : edit.nodes[i].folder.index)
                                       : folder_of[i];
        if (edit.nodes[i].rename) expected[i].name = edit.nodes[i].name;
        if (edit.nodes[i].replace) {
            expected[i].data = data[edit.nodes[i].key];
            expected[i].readable = true;
        }
    }
    for (auto& n : expected) n.entries.clear();
    for (std::uint32_t i = 1; i < count; ++i)
        if (!edit.nodes[i].move) expected[parent[i]].entries.push_back(i);
    std::sort(moved.begin(), moved.end());
    for (std::uint32_t i : moved) expected[parent[i]].entries.push_back(i);
    std::vector<std::uint32_t> added(edit.added.size());
    for (std::uint32_t k = 0; k < added.size(); ++k) {
        const u8::EditAdded& add = edit.added[k];
        Node& n = expected[count + k];
        n.name = add.name;
        n.directory = add.is_directory;
        if (!add.is_directory) n.data = data[add.key];
        parent[count + k] = add.folder.added ? count + add.folder.index : add.folder.index;
        added[k] = k;
    }
    std::stable_sort(added.begin(), added.end(), [&](std::uint32_t x, std::uint32_t y) {
        return u8::default_less(edit.added[x].is_directory, edit.added[x].name, edit.added[y].is_directory,
                                edit.added[y].name);
    });
    for (std::uint32_t k : added) expected[parent[count + k]].entries.push_back(count + k);
    // A folder moved into itself never reaches the root again.
    bool loop = false;
    for (std::uint32_t i : moved) {
        std::uint32_t x = parent[i];
        for (std::uint32_t steps = 0; x != 0 && x != i && steps <= id_count; ++steps) x = parent[x];
        loop = loop || x == i;
    }
    for (std::uint32_t i = 1; i < count; ++i)
        if (edit.nodes[i].remove) expected[i].entries.clear();

    u8::Plan plan;
    const u8::EditOutcome laid = u8::layout_edit(*a, edit, {}, plan);
    if (loop) {
        FUZZ_CHECK(laid.result.error == u8::LayoutError::bad_tree);
        return {};
    }
    if (laid.result.error == u8::LayoutError::unusual_original) return {};
    FUZZ_CHECK(laid.result.error == u8::LayoutError::none);
    std::vector<std::uint8_t> out;
    const bool written = u8::write_plan(
        plan,
        [&out](const std::uint8_t* p, std::size_t n) {
            out.insert(out.end(), p, p + n);
            return true;
        },
        [&data](const u8::Piece& piece, const dravik::ByteSink& sink) {
            return piece.size == data[piece.key].size() &&
                   sink(reinterpret_cast<const std::uint8_t*>(data[piece.key].data()), piece.size);
        },
        a.get());
    FUZZ_CHECK(written && out.size() == plan.size);
    const bool changed_nothing = std::all_of(edit.nodes.begin(), edit.nodes.end(), [](const u8::EditNode& n) {
        return !n.remove && !n.replace && !n.rename && !n.move;
    }) && edit.added.empty();
    // Data stored inside the header or the table is moved out of it; any
    // other archive comes back byte for byte.
    bool data_after_table = true;
    for (std::uint32_t i = 1; i < count; ++i)
        data_after_table = data_after_table && (model[i].directory || model[i].stored.size == 0 ||
                                                model[i].stored.offset >= a->table_offset + a->table_size);
    if (changed_nothing && data_after_table) FUZZ_CHECK(out == original);

    // Walk the result: the expected entries, in order, with removed ones
    // (and what they held) gone.
    std::vector<std::uint32_t> order;
    std::vector<std::uint32_t> all;
    preorder(expected, 0, all);
    for (std::uint32_t id : all) {
        bool gone = false;
        for (std::uint32_t x = id; x != 0 && !gone; x = parent[x]) gone = x < count && edit.nodes[x].remove;
        if (!gone) order.push_back(id);
    }
    auto b = dravik::archive_open_borrowed(out.data(), out.size());
    FUZZ_CHECK(b != nullptr);
    const std::vector<Node> result = model_of(*b);
    std::vector<std::uint32_t> walked;
    preorder(result, 0, walked);
    FUZZ_CHECK(walked.size() == order.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        const Node& want = expected[order[k]];
        const Node& got = result[walked[k]];
        FUZZ_CHECK(walked[k] == k + 1);  // nesting matches the node order
        FUZZ_CHECK(got.name == want.name && got.directory == want.directory);
        if (want.readable) FUZZ_CHECK(got.readable && got.data == want.data);
        else FUZZ_CHECK(got.stored.offset == want.stored.offset && got.stored.size == want.stored.size);
        FUZZ_CHECK(laid.node_index.size() == count);
        if (order[k] < count) FUZZ_CHECK(laid.node_index[order[k]] == k + 1);
        else FUZZ_CHECK(laid.added_index[order[k] - count] == k + 1);
    }
    // Directory words are written for the new tree once its nodes changed
    // (a replaced file alone keeps ORIGINAL's words, odd ones included).
    const bool nodes_changed = !edit.added.empty() || std::any_of(edit.nodes.begin(), edit.nodes.end(),
        [](const u8::EditNode& n) { return n.remove || n.rename || n.move; });
    if (nodes_changed) {
        FUZZ_CHECK(dravik::archive_node_count(*b) == order.size() + 1);
        std::vector<std::uint32_t> end(result.size());
        for (std::uint32_t k = static_cast<std::uint32_t>(result.size()); k-- > 0;)
            end[k] = result[k].entries.empty() ? k + 1 : end[result[k].entries.back()];
        dravik::Entry e;
        for (std::uint32_t k = 1; dravik::archive_entry(*b, k, &e); ++k) {
            if (!e.is_directory) continue;
            FUZZ_CHECK(e.end == end[k]);
            if (exact_words) FUZZ_CHECK(std::count(result[e.parent].entries.begin(), result[e.parent].entries.end(), k) == 1);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Draw draw{data, size};
    std::vector<std::uint8_t> archive;
    if (size >= 4 && data[0] == 0x55 && data[1] == 0xAA) {
        auto a = dravik::archive_open_borrowed(data, size);
        if (!a || !dravik::archive_carriers(*a).empty()) return 0;
        archive.assign(data, data + size);
        std::uint64_t seed = 1469598103934665603ull;
        for (std::size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 1099511628211ull;
        draw.state = seed | 1;
    } else {
        archive = random_archive(draw);
        if (archive.empty()) return 0;
    }
    // A generated archive's words are exact, and so must the edits' be; a
    // given one may hold odd parent words, which stay while they name a node.
    const bool exact_words = draw.state == 0;
    for (int step = 0; step < 4 && !archive.empty(); ++step) archive = edit_once(archive, draw, exact_words);
    return 0;
}
