#include "program/walk.h"

#include "program/extract.h"
#include "lib/u8/u8_format.h"

namespace dravik {

namespace {

bool is_root_directory(const ArchiveEntry& node, std::uint32_t index) {
    return node.is_directory && (index == 1 || node.offset == 0);
}

// Follows the nesting of the table as unpacking does: a directory holds
// the entries up to its end index (taken as its parent's end when it cannot
// be right), and a directory whose name cannot be created adds no folder,
// so its entries land in the enclosing one.
struct PathTracker {
    struct Level {
        std::uint32_t end = 0;
        std::size_t path_length = 0;
        bool included = false;
        bool excluded = false;
        std::uint32_t index = 0;
    };
    std::vector<Level> levels;
    std::string path;
    std::uint32_t root_directories = 0;
    // Without a use for paths, none is built: a name can be as long as the
    // table, and a copy of it would double what the run holds.
    bool build = true;

    PathTracker(const ArchiveHandle& handle, bool build_paths)
        : root_directories(archive_root_directories(handle)), build(build_paths) {
        levels.push_back(Level{archive_node_count(handle), 0, false, false, 0});
    }

    // Makes `path` the entry's path and returns its level's parent.
    const Level& enter(std::uint32_t index, const ArchiveEntry& node, std::string_view* name) {
        while (levels.size() > 1 && index >= levels.back().end) levels.pop_back();
        const char* shown =
            node.is_directory ? unpacked_directory_name(node, index, root_directories) : node.name;
        if (build) {
            path.resize(levels.back().path_length);
            path += shown;
        }
        *name = std::string_view(shown);
        return levels.back();
    }

    // `name` is what enter() gave for the directory: its name on disk.
    void push_directory(std::uint32_t index, const ArchiveEntry& node, std::string_view name,
                        bool included, bool excluded) {
        const std::uint32_t parent_end = levels.back().end;
        std::uint32_t end = node.size;
        if (end <= index || end > parent_end) end = parent_end;
        const bool entered = name_is_safe(name.data());
        const std::size_t length =
            entered && build ? path.size() + 1 : levels.back().path_length;
        if (entered && build) path += '/';
        levels.push_back(Level{end, length, included, excluded, index});
    }
};

}  // namespace

const char* unpacked_directory_name(const ArchiveEntry& node, std::uint32_t index,
                                    std::uint32_t root_directories) {
    if (!is_root_directory(node, index)) return node.name;
    if (root_directories <= 1 || !name_is_safe(node.name)) return u8::kRootDirectoryName;
    return node.name;
}

void walk_entries(const ArchiveHandle& handle, Selection& selection,
                  const std::function<void(const WalkEntry&)>& visit, bool want_paths) {
    // The node count is only trusted once the reader has found the table
    // walkable; before that it may be any word at all.
    ArchiveEntry probe;
    if (archive_first(&handle, &probe) == 0) return;
    const std::uint32_t n = archive_node_count(handle);
    const bool filters = selection_filters(selection);
    const bool includes = !selection.include.empty();

    // Whether an entry is selected on its own: its path or name matches,
    // or a directory above it was matched.
    auto decide = [&selection, includes](const PathTracker::Level& parent, std::string_view path,
                                         std::string_view name, bool* included, bool* excluded) {
        *included = parent.included || (includes && match_any(selection.include, path, name));
        *excluded = parent.excluded || match_any(selection.exclude, path, name);
    };

    // With --include, the directories that lead to a selected entry are
    // acted on too; which ones is known only after their contents, so a
    // first pass marks them.
    std::vector<std::uint8_t> act;
    if (includes) {
        act.assign(n, 0);
        PathTracker t(handle, true);
        ArchiveEntry node;
        for (std::uint32_t k = 1; k < n && archive_node(&handle, &node, k); ++k) {
            std::string_view name;
            const PathTracker::Level& parent = t.enter(k, node, &name);
            bool included = false, excluded = false;
            decide(parent, t.path, name, &included, &excluded);
            if (included && !excluded) {
                act[k] = 1;
                // Mark the enclosing directories up to one already marked.
                for (std::size_t l = t.levels.size(); l-- > 1 && !act[t.levels[l].index];)
                    act[t.levels[l].index] = 1;
            }
            if (node.is_directory) t.push_directory(k, node, name, included, excluded);
        }
    }

    // With --include the first pass has decided already; only --exclude
    // alone is decided here.
    const bool deciding = filters && !includes;
    PathTracker t(handle, want_paths || deciding);
    ArchiveEntry node;
    WalkEntry entry;
    for (std::uint32_t k = 1; k < n && archive_node(&handle, &node, k); ++k) {
        std::string_view name;
        const PathTracker::Level& parent = t.enter(k, node, &name);
        bool included = false, excluded = false;
        if (deciding) decide(parent, t.path, name, &included, &excluded);
        if (node.is_directory) t.push_directory(k, node, name, included, excluded);
        const bool acted = includes ? act[k] != 0 : !excluded;
        if (!acted) continue;
        entry.index = k;
        entry.node = node;
        entry.name = name.data();
        if (node.is_directory) {
            entry.path = std::string_view(t.path);
            if (!entry.path.empty() && entry.path.back() == '/') entry.path.remove_suffix(1);
        } else {
            entry.path = t.path;
        }
        visit(entry);
    }
}

}  // namespace dravik
