// Laying out a new archive like an existing one (ORIGINAL), so that
// unpacking an archive and packing the folder again gives the same bytes
// when nothing was changed, and as few changed bytes as possible when
// something was: the folder is read as an edit of ORIGINAL, and the edit
// laid out by layout_edit.
//
// The tree maps onto ORIGINAL by the path unpacking gave each node. A node
// the tree holds as the same kind stays, a file taking the tree's data; a
// node unpacking could not write is carried over as it is; any other goes,
// and a folder that goes takes everything inside it along. The tree's
// entries no node matched are added, each to the first node of its
// folder's path.
#include <map>
#include <string>
#include <vector>

#include "lib/u8/u8_read.h"
#include "lib/u8/u8_write.h"

namespace dravik::u8 {

LikeOutcome layout_like(const Archive& original, const std::vector<TreeEntry>& tree,
                        const NameRule& rule, const SameContent& same_content, Plan& plan) {
    LikeOutcome outcome;
    plan = Plan();
    std::vector<std::string> tree_path(tree.size());
    for (std::uint32_t i = 0; i < tree.size(); ++i) {
        const std::uint32_t p = tree[i].parent;
        if (p != kTopLevel && (p >= i || !tree[p].is_directory)) {
            outcome.result = {LayoutError::bad_tree, i};
            return outcome;
        }
        tree_path[i] = (p == kTopLevel ? std::string() : tree_path[p] + "/") + tree[i].name;
    }
    std::map<std::string, std::uint32_t> by_path;
    for (std::uint32_t i = 0; i < tree.size(); ++i) by_path.emplace(tree_path[i], i);

    const std::vector<UnpackedPlace> places = unpacked_places(original, rule);
    std::vector<std::uint32_t> enclosing;
    original_nesting(original, enclosing);
    const auto count = static_cast<std::uint32_t>(places.size());
    Edit edit;
    edit.nodes.resize(count);
    std::vector<bool> gone(count, false);
    std::vector<bool> used(tree.size(), false);                  // matched by a node that stays
    std::vector<std::uint32_t> folder_of_path(tree.size(), kTopLevel);  // tree folder -> its first node
    for (std::uint32_t i = 1; i < count; ++i) {
        const bool directory = archive_stored(original, i).type != 0;
        EditNode& node = edit.nodes[i];
        if (gone[enclosing[i]]) {
            gone[i] = true;
            continue;
        }
        if (!places[i].written) continue;  // carried over as it is
        const auto found = by_path.find(places[i].path);
        if (found == by_path.end() || tree[found->second].is_directory != directory ||
            (!directory && used[found->second])) {
            gone[i] = node.remove = true;
            outcome.dropped.push_back(places[i].path);
            continue;
        }
        used[found->second] = true;
        node.tag = found->second;
        if (directory) {
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
