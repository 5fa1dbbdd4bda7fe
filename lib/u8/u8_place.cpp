// Where unpacking puts each entry: the one rule that the unpacker, the
// listing's paths, selection patterns and the like-layout's mapping share,
// so that a path said to be unpacked is exactly where the file is.
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lib/u8/u8_format.h"
#include "lib/u8/u8_read.h"

namespace dravik {

struct Placement::State {
    struct Level {
        std::uint32_t end = 0;          // first node index past this directory's contents
        std::size_t path_length = 0;    // its entries' paths start with this much of `path`
        std::uint32_t depth = 0;        // folders below the destination its entries land in
        std::uint32_t folder = 0;       // the directory whose folder they land in
    };
    std::vector<Level> levels;
    std::string path;
    std::uint32_t root_directories = 0;
    NameRule rule;
    bool build = true;
    bool last_was_entered_directory = false;
    Place place;
};

Placement::Placement(const Archive& archive, NameRule rule, bool build_paths)
    : state_(std::make_unique<State>()) {
    state_->levels.push_back(State::Level{archive.walked, 0, 0, 0});
    state_->root_directories = archive.root_directories;
    state_->rule = std::move(rule);
    state_->build = build_paths;
}

Placement::~Placement() = default;

const Place& Placement::place(const Entry& entry) {
    State& s = *state_;
    while (s.levels.size() > 1 && entry.index >= s.levels.back().end) s.levels.pop_back();
    // Copied: pushing this entry's level below may move the vector.
    const State::Level parent = s.levels.back();

    // A root folder is "arc" when it is alone, or when its own name could
    // not be a folder name; side by side, root folders keep their names so
    // that folders holding the same relative paths never merge.
    const char* name = entry.name;
    const bool root_folder = entry.is_directory && (entry.index == 1 || entry.parent == 0);
    if (root_folder && (s.root_directories <= 1 || !name_is_safe(name)))
        name = u8::kRootDirectoryName;
    const bool placeable = name_is_safe(name) && (!s.rule || s.rule(name));

    if (s.build) {
        s.path.resize(parent.path_length);
        s.path += name;
    }
    const std::size_t path_length = s.path.size();
    s.place.name = name;
    s.place.nesting = static_cast<std::uint32_t>(s.levels.size() - 1);
    s.place.depth = parent.depth;
    s.place.folder = parent.folder;
    s.place.placeable = placeable;
    s.last_was_entered_directory = false;
    if (entry.is_directory) {
        // An end that cannot be right (not past the directory itself, or past
        // the enclosing directory's end) is the enclosing directory's end.
        std::uint32_t end = entry.end;
        if (end <= entry.index || end > parent.end) end = parent.end;
        State::Level level{end, parent.path_length, parent.depth, parent.folder};
        if (placeable) {
            level.path_length = s.path.size() + 1;
            level.depth = parent.depth + 1;
            level.folder = entry.index;
            if (s.build) s.path += '/';
            s.last_was_entered_directory = true;
        }
        s.levels.push_back(level);
    }
    s.place.path = std::string_view(s.path.data(), s.build ? path_length : 0);
    return s.place;
}

void Placement::not_entered() {
    State& s = *state_;
    if (!s.last_was_entered_directory) return;
    State::Level& level = s.levels.back();
    const State::Level& parent = s.levels[s.levels.size() - 2];
    level.path_length = parent.path_length;
    level.depth = parent.depth;
    level.folder = parent.folder;
    s.last_was_entered_directory = false;
}

}  // namespace dravik

namespace dravik {

std::vector<UnpackedPlace> unpacked_places(const Archive& archive, const NameRule& rule) {
    std::vector<UnpackedPlace> places(archive.walked);
    places[0].written = true;
    // Where unpacking wrote, by folder and name (is it a folder): keyed so
    // rather than by whole paths, this stays linear in the entries at any
    // depth. The names are the places' own, which stay where they are.
    struct Spot {
        std::uint32_t folder;
        std::string_view name;
        bool operator==(const Spot& o) const { return folder == o.folder && name == o.name; }
    };
    struct SpotHash {
        std::size_t operator()(const Spot& s) const { return std::hash<std::string_view>()(s.name) * 31 + s.folder; }
    };
    struct Made {
        std::uint32_t node;  // the first entry written there
        bool is_directory;
    };
    std::unordered_map<Spot, Made, SpotHash> made;
    // Per directory: the first directory written at its path. A directory
    // whose path an earlier one took is entered again, so the two are one
    // folder on disk, and their entries are placed in the first.
    std::vector<std::uint32_t> same(places.size(), 0);
    Placement placement(archive, rule, false);
    std::vector<std::uint32_t> open;  // the directories enclosing the entry
    Entry e;
    for (std::uint32_t i = 1; archive_entry(archive, i, &e); ++i) {
        const Place& p = placement.place(e);
        UnpackedPlace& node = places[i];
        node.name = p.name;
        node.folder = same[p.folder];  // enclosing directories come first
        open.resize(p.nesting);
        node.enclosing = open.empty() ? 0 : open.back();
        if (e.is_directory) open.push_back(i);
        bool ok = p.placeable;
        const Spot spot{node.folder, node.name};
        const auto found = made.find(spot);
        if (e.is_directory) {
            ok = ok && (found == made.end() || found->second.is_directory);
            if (!ok) placement.not_entered();
            same[i] = ok && found != made.end() ? found->second.node : i;
        } else {
            ok = ok && found == made.end() &&
                 (e.data_size == 0 || std::uint64_t{e.data_offset} + e.data_size <= archive_size(archive));
        }
        if (ok) made.emplace(spot, Made{i, e.is_directory});
        node.written = ok;
    }
    return places;
}

std::string unpacked_path(const std::vector<UnpackedPlace>& places, std::uint32_t index) {
    std::vector<std::uint32_t> chain;
    for (std::uint32_t i = index; i != 0 && i < places.size(); i = places[i].folder) chain.push_back(i);
    std::string path;
    for (std::size_t k = chain.size(); k-- > 0;) {
        if (!path.empty()) path += '/';
        path += places[chain[k]].name;
    }
    return path;
}

}  // namespace dravik
