// Laying out a new archive like an existing one (ORIGINAL), so that
// unpacking an archive and packing the folder again gives the same bytes
// when nothing was changed, and as few changed bytes as possible when
// something was: the folder is read as an edit of ORIGINAL, and the edit
// laid out by layout_edit.
//
// The tree maps onto ORIGINAL by where unpacking put each node (its folder
// and name, which is its path). A node
// the tree holds as the same kind stays, a file taking the tree's data; a
// node unpacking could not write is carried over as it is; any other goes,
// and a folder that goes takes everything inside it along. The tree's
// entries no node matched are added, each to the first node of its
// folder's path.
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lib/u8/u8_read.h"
#include "lib/u8/u8_write.h"

namespace dravik::u8 {

namespace {

// A name in a folder: where an entry lands. Keyed by this rather than by
// whole paths, the mapping stays linear in the entries at any depth.
struct Spot {
    std::uint32_t folder;  // the tree's folder entry, or kTopLevel for its top
    std::string_view name;
    bool operator==(const Spot& o) const { return folder == o.folder && name == o.name; }
};
struct SpotHash {
    std::size_t operator()(const Spot& s) const { return std::hash<std::string_view>()(s.name) * 31 + s.folder; }
};

}  // namespace

LikeOutcome layout_like(const Archive& original, const std::vector<TreeEntry>& tree,
                        const NameRule& rule, const SameContent& same_content, Plan& plan) {
    LikeOutcome outcome;
    plan = Plan();
    std::unordered_map<Spot, std::uint32_t, SpotHash> in_tree;
    for (std::uint32_t i = 0; i < tree.size(); ++i) {
        const std::uint32_t p = tree[i].parent;
        if (p != kTopLevel && (p >= i || !tree[p].is_directory)) {
            outcome.result = {LayoutError::bad_tree, i};
            return outcome;
        }
        in_tree.emplace(Spot{p, tree[i].name}, i);
    }

    const std::vector<UnpackedPlace> places = unpacked_places(original, rule);
    const auto count = static_cast<std::uint32_t>(places.size());
    Edit edit;
    edit.nodes.resize(count);
    std::vector<bool> gone(count, false);
    std::vector<bool> used(tree.size(), false);                  // matched by a node that stays
    std::vector<std::uint32_t> folder_of_path(tree.size(), kTopLevel);  // tree folder -> its first node
    std::vector<std::uint32_t> tree_of(count, kTopLevel);        // a kept directory's tree folder
    for (std::uint32_t i = 1; i < count; ++i) {
        const UnpackedPlace& place = places[i];
        const bool directory = archive_stored(original, i).type != 0;
        EditNode& node = edit.nodes[i];
        if (gone[place.enclosing]) {
            gone[i] = true;
            continue;
        }
        if (!place.written) continue;  // carried over as it is
        const std::uint32_t parent = place.folder == 0 ? kTopLevel : tree_of[place.folder];
        const auto found = in_tree.find(Spot{parent, place.name});
        if (found == in_tree.end() || tree[found->second].is_directory != directory ||
            (!directory && used[found->second])) {
            gone[i] = node.remove = true;
            outcome.dropped.push_back(unpacked_path(places, i));
            continue;
        }
        used[found->second] = true;
        node.tag = found->second;
        if (directory) {
            tree_of[i] = found->second;
            if (folder_of_path[found->second] == kTopLevel) folder_of_path[found->second] = i;
        } else {
            node.replace = true;
            node.size = tree[found->second].size;
            node.key = tree[found->second].key;
        }
    }
    std::vector<std::uint32_t> added_index(tree.size(), kTopLevel);
    for (std::uint32_t i = 0; i < tree.size(); ++i) {
        if (used[i]) continue;
        EditAdded a;
        a.name = tree[i].name;
        a.is_directory = tree[i].is_directory;
        a.size = tree[i].is_directory ? 0 : tree[i].size;
        a.key = tree[i].key;
        a.tag = i;
        const std::uint32_t p = tree[i].parent;
        if (p == kTopLevel) a.folder = EditFolder{false, 0};
        else if (folder_of_path[p] != kTopLevel) a.folder = EditFolder{false, folder_of_path[p]};
        else a.folder = EditFolder{true, added_index[p]};
        added_index[i] = static_cast<std::uint32_t>(edit.added.size());
        edit.added.push_back(std::move(a));
    }
    const EditOutcome laid = layout_edit(original, edit, same_content, plan);
    outcome.result = laid.result;
    outcome.alignment = laid.alignment;
    if (laid.result.error != LayoutError::none) outcome.dropped.clear();
    return outcome;
}

}  // namespace dravik::u8
